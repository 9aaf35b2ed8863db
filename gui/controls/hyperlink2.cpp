#include "gui/controls/hyperlink2.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFontMetrics>
#include <QMessageBox>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QProcess>
#include <QStyleOption>
#include <QStandardPaths>
#include <QTextStream>

#include <utility>

#include "gui/controls/hover.h"
#include "gui/controls/link_open.h"

namespace {

std::function<void(const QString&)>& MessageBoxHook()
{
    static std::function<void(const QString&)> hook;
    return hook;
}

std::function<bool(const QUrl&)>& UrlOpener()
{
    static std::function<bool(const QUrl&)> opener;
    return opener;
}

std::function<bool(const QStringList&)>& CommandRunner()
{
    static std::function<bool(const QStringList&)> runner;
    return runner;
}

QString EnvOr(const char* name, const QString& fallback)
{
    const QByteArray value = qgetenv(name);
    return value.isEmpty() ? fallback : QString::fromLocal8Bit(value);
}

QStringList SplitDirs(const QString& list)
{
    QStringList dirs;
    for (const QString& dir : list.split(QLatin1Char(':'), Qt::SkipEmptyParts))
        dirs << dir;
    return dirs;
}

QStringList DataDirs()
{
    QStringList dirs;
    dirs << EnvOr("XDG_DATA_HOME", QDir::homePath() + QStringLiteral("/.local/share"));
    dirs << SplitDirs(EnvOr("XDG_DATA_DIRS", QStringLiteral("/usr/local/share:/usr/share")));
    return dirs;
}

// The value of `key` in group `group` of an ini-style XDG file; "" when absent.
QString IniValue(const QString& path, const QString& group, const QString& key)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QTextStream in(&file);
    bool inGroup = false;
    const QString header = QLatin1Char('[') + group + QLatin1Char(']');
    while (!in.atEnd()) {
        const QString line = in.readLine().trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inGroup = line == header;
            continue;
        }
        if (!inGroup)
            continue;
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq > 0 && line.left(eq).trimmed() == key)
            return line.mid(eq + 1).trimmed();
    }
    return {};
}

// Where the handler's part of the command ends: the first quoted URL/file field code, else the
// first bare one, else the whole line.
std::size_t ExecCut(const std::string& exec)
{
    static const char kCodes[] = {'u', 'U', 'f', 'F'};
    std::size_t quoted = std::string::npos;
    std::size_t bare = std::string::npos;
    for (char c : kCodes) {
        const std::string code = std::string("%") + c;
        quoted = std::min(quoted, exec.find("\"" + code + "\""));
        bare = std::min(bare, exec.find(code));
    }
    if (quoted != std::string::npos)
        return quoted;
    if (bare != std::string::npos)
        return bare;
    return exec.size();
}

}  // namespace

CHyperLink2::CHyperLink2(const QString& text, QWidget* parent) : QLabel(text, parent), m_hover(new CHoverTracker(this))
{
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setTextFormat(Qt::PlainText);
    m_normalFont = font();
    m_underlineFont = m_normalFont;
    m_underlineFont.setUnderline(true);
    setCursor(Qt::PointingHandCursor);
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Button));
    setPalette(pal);

    connect(m_hover, &CHoverTracker::entered, this, [this] {
        ApplyFont();
        ApplyColour();
        update();
    });
    connect(m_hover, &CHoverTracker::left, this, [this] {
        ApplyFont();
        ApplyColour();
        update(rect().adjusted(0, 0, 0, 10));
    });

    // A link made from its text opens that text; one made from a URL shows it.
    if (m_url.isEmpty())
        m_url = text;
    ApplyFont();
    ApplyColour();
    AdjustToFit();
    setToolTip(m_url);
}

void CHyperLink2::SetURL(const QString& url)
{
    m_url = url;
    if (text().isEmpty())
        setText(url);
    AdjustToFit();
    setToolTip(m_url);
}

void CHyperLink2::SetUnderline(int mode)
{
    m_underline = mode;
    ApplyFont();
    AdjustToFit();
}

void CHyperLink2::SetAutoSize(bool adjust)
{
    m_adjustToFit = adjust;
    AdjustToFit();
}

void CHyperLink2::SetColours(const QColor& link, const QColor& visited, const QColor& hover)
{
    m_linkColour = link;
    m_visitedColour = visited;
    m_hoverColour = hover;
    ApplyColour();
}

bool CHyperLink2::Over() const
{
    return m_hover->Over();
}

bool CHyperLink2::TimerRunning() const
{
    return m_hover->TimerRunning();
}

QColor CHyperLink2::CurrentColour() const
{
    if (m_hover->Over())
        return m_hoverColour;
    return m_visited ? m_visitedColour : m_linkColour;
}

void CHyperLink2::ApplyColour()
{
    QPalette pal = palette();
    pal.setColor(QPalette::WindowText, CurrentColour());
    setPalette(pal);
}

void CHyperLink2::ApplyFont()
{
    bool underline = false;
    if (m_underline == kUnderlineAlways)
        underline = true;
    else if (m_underline == kUnderlineHover)
        underline = m_hover->Over();
    setFont(underline ? m_underlineFont : m_normalFont);
}

void CHyperLink2::AdjustToFit()
{
    if (!m_adjustToFit)
        return;
    const QFontMetrics metrics(m_underlineFont);
    const QMargins margins = contentsMargins();
    const int frame = 2 * frameWidth();
    const QSize text = metrics.size(Qt::TextSingleLine, this->text());
    const QSize size(text.width() + margins.left() + margins.right() + frame,
                     text.height() + margins.top() + margins.bottom() + frame);
    const QRect old = geometry();
    int x = old.left();
    int y = old.top();
    const Qt::Alignment align = alignment();
    if (align & Qt::AlignVCenter)
        y = old.top() + (old.height() - size.height()) / 2;
    if (align & Qt::AlignHCenter)
        x = old.left() + (old.width() - size.width()) / 2;
    else if (align & Qt::AlignRight)
        x = old.right() + 1 - size.width();
    setGeometry(x, y, size.width(), size.height());
}

void CHyperLink2::OnClick()
{
    m_hover->Reset();
    if (!m_section.isEmpty()) {
        QPointer<CHyperLink2> self(this);
        gui::OpenPage(m_url, m_section, [self](bool opened) {
            if (!self)
                return;
            self->m_visited = opened;
            self->ApplyColour();
            self->update();
        });
        return;
    }
    const int code = GotoURL(m_url);
    m_visited = code > 32;
    ApplyColour();
    if (m_visited) {
        update();
        return;
    }
    ReportError(code, m_url);
}

void CHyperLink2::keyPressEvent(QKeyEvent* event)
{
    const int key = event->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space) {
        event->accept();
        OnClick();
        return;
    }
    QLabel::keyPressEvent(event);
}

void CHyperLink2::paintEvent(QPaintEvent* event)
{
    QLabel::paintEvent(event);
    if (!hasFocus())
        return;
    // Where the keyboard is: the style's focus frame around the text.
    QPainter painter(this);
    QStyleOptionFocusRect focus;
    focus.initFrom(this);
    focus.backgroundColor = palette().color(QPalette::Window);
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, this);
}

void CHyperLink2::mouseMoveEvent(QMouseEvent* event)
{
    m_hover->OnMouseMove();
    QLabel::mouseMoveEvent(event);
}

void CHyperLink2::mousePressEvent(QMouseEvent* event)
{
    m_hover->OnMousePress(event);
    QLabel::mousePressEvent(event);
}

void CHyperLink2::mouseReleaseEvent(QMouseEvent* event)
{
    const bool click = m_hover->OnMouseRelease(event);
    QLabel::mouseReleaseEvent(event);
    if (click)
        OnClick();
}

// ---- opening ----

int CHyperLink2::GotoURL(const QString& url)
{
    if (url.isEmpty())
        return kFileNotFound;
    const QUrl target(url, QUrl::TolerantMode);
    const bool opened = UrlOpener() ? UrlOpener()(target) : QDesktopServices::openUrl(target);
    if (opened)
        return kOpened;

    const int code = kNoAssociation;
    const std::string handler = DefaultHtmlHandler();
    if (handler.empty())
        return code;
    const std::string exec = DesktopExec(handler);
    if (exec.empty())
        return code;
    const std::string urlBytes = url.toStdString();
    std::string command;
    if (!BuildCommand(exec, urlBytes, command))
        return code;
    // No shell: the handler's words, then the URL as one argument of its own.
    QStringList argv = QProcess::splitCommand(QString::fromStdString(exec.substr(0, ExecCut(exec))));
    if (argv.isEmpty())
        return code;
    argv << url;
    const bool started = CommandRunner() ? CommandRunner()(argv) : QProcess::startDetached(argv.front(), argv.mid(1));
    return started ? kOpened : kFileNotFound;
}

std::string CHyperLink2::DefaultHtmlHandler()
{
    const QString tool = QStandardPaths::findExecutable(QStringLiteral("xdg-mime"));
    if (!tool.isEmpty()) {
        QProcess query;
        query.start(tool, {QStringLiteral("query"), QStringLiteral("default"), QStringLiteral("text/html")});
        if (query.waitForFinished(3000) && query.exitStatus() == QProcess::NormalExit && query.exitCode() == 0) {
            const QString id = QString::fromLocal8Bit(query.readAllStandardOutput()).trimmed();
            if (!id.isEmpty())
                return id.toStdString();
        } else {
            query.kill();
            query.waitForFinished(1000);
        }
    }

    // The same lookup by hand: mimeapps.list from the most to the least specific directory.
    QStringList lists;
    lists << EnvOr("XDG_CONFIG_HOME", QDir::homePath() + QStringLiteral("/.config")) + QStringLiteral("/mimeapps.list");
    for (const QString& dir : SplitDirs(EnvOr("XDG_CONFIG_DIRS", QStringLiteral("/etc/xdg"))))
        lists << dir + QStringLiteral("/mimeapps.list");
    for (const QString& dir : DataDirs()) {
        lists << dir + QStringLiteral("/applications/mimeapps.list");
        lists << dir + QStringLiteral("/applications/defaults.list");
    }
    for (const QString& path : lists) {
        const QString value = IniValue(path, QStringLiteral("Default Applications"), QStringLiteral("text/html"));
        for (const QString& id : value.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
            if (!DesktopExec(id.trimmed().toStdString()).empty())
                return id.trimmed().toStdString();
        }
    }
    return {};
}

std::string CHyperLink2::DesktopExec(const std::string& desktopId)
{
    // An id is a file name, never a path.
    if (desktopId.empty() || desktopId.find('/') != std::string::npos)
        return {};
    const QString id = QString::fromStdString(desktopId);
    for (const QString& dir : DataDirs()) {
        const QString path = dir + QStringLiteral("/applications/") + id;
        if (!QFile::exists(path))
            continue;
        const QString exec = IniValue(path, QStringLiteral("Desktop Entry"), QStringLiteral("Exec"));
        if (!exec.isEmpty())
            return exec.toStdString();
    }
    return {};
}

bool CHyperLink2::BuildCommand(const std::string& exec, const std::string& url, std::string& command)
{
    command.clear();
    const std::size_t cut = ExecCut(exec);
    // Sizes are checked before anything is joined, so no length can overflow or be cut.
    if (cut > kMaxCommand || url.size() > kMaxCommand || cut + 1 + url.size() > kMaxCommand)
        return false;
    command.reserve(cut + 1 + url.size());
    command.append(exec, 0, cut);
    command.push_back(' ');
    command.append(url);
    return true;
}

// ---- errors ----

QString CHyperLink2::ErrorText(int code, const QString& url)
{
    QString why;
    if (code == kNoAssociation)
        why = tr("这台电脑上没有设置网页浏览器。");
    else if (code == kFileNotFound)
        why = tr("网页浏览器无法启动。");
    else
        why = tr("错误码 %1。").arg(code);
    return tr("没有程序能打开这个链接。") + QLatin1Char(' ') + why + QStringLiteral("\n\n") +
           tr("请在浏览器中打开这个地址:") + QStringLiteral("\n") + url;
}

void CHyperLink2::ReportError(int code, const QString& url)
{
    QApplication::beep();
    const QString text = ErrorText(code, url);
    if (MessageBoxHook()) {
        MessageBoxHook()(text);
        return;
    }
    // The address can be selected and copied from the box.
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Morvane"), text, QMessageBox::Ok);
    box.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    box.exec();
}

void CHyperLink2::SetMessageBoxHook(std::function<void(const QString&)> hook)
{
    MessageBoxHook() = std::move(hook);
}

void CHyperLink2::SetUrlOpener(std::function<bool(const QUrl&)> opener)
{
    UrlOpener() = std::move(opener);
}

void CHyperLink2::SetCommandRunner(std::function<bool(const QStringList&)> runner)
{
    CommandRunner() = std::move(runner);
}
