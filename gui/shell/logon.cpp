#include "gui/shell/logon.h"

#include <QCheckBox>
#include <QBoxLayout>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QUrl>

#include <algorithm>
#include <cstdio>

#include "gui/controls/hyperlink2.h"
#include "gui/controls/link_open.h"
#include "gui/controls/static_ex.h"
#include "gui/shell/main_dlg.h"
#include "gui/shell/message_box.h"
#include "gui/shell/resources.h"
#include "gui/strings.h"
#include "shared/base/md5.h"
#include "shared/xml/data_files.h"

namespace gui {

std::string PasswordDigest(const QString& password)
{
    const QByteArray bytes = password.toUtf8();
    std::string digest;
    if (!PasswordDigestGb2312(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())), digest))
        return std::string();  // a character GB2312 lacks: refused by the callers
    return digest;
}

QString UnrepresentablePasswordText()
{
    return QString::fromUtf8("密码含有无法用GB2312表示的字符");
}

QString RecoveryUrl(const QString& account)
{
    return QString::fromUtf8(SiteUrl()) + QStringLiteral("index.php?action=takeback&username=") +
           QString::fromLatin1(QUrl::toPercentEncoding(account));
}

QString RegisterUrl()
{
    return QString::fromUtf8(SiteUrl()) + QStringLiteral("index.php?action=reg");
}

}  // namespace gui

namespace {

using gui::Text;

// The remembered pair, when both halves are there.
bool ReadRemembered(const std::string& userFile, std::string& account, std::string& digest)
{
    std::string user, pwd;
    if (!datafile::ReadLogin(userFile, user, pwd) || user.empty() || pwd.empty())
        return false;
    account = user;
    digest = pwd;
    return true;
}

}  // namespace

// ---------------------------------------------------------------- login dialog

CMorvaneLogon::CMorvaneLogon(const std::string& userFile, QWidget* parent) : QDialog(parent)
{
    setWindowTitle(tr("登录"));
    setWindowIcon(gui::AppIcon());

    auto* banner = new QLabel(this);
    banner->setPixmap(gui::BannerPixmap(330, 60));
    banner->setFixedHeight(60);

    auto* accountLabel = new QLabel(tr("账号:"), this);
    m_accountBox = new QComboBox(this);
    m_accountBox->setEditable(true);  // only the edit text is used; the list stays empty
    m_accountBox->setMinimumWidth(160);
    m_register = new CHyperLink2(tr("注册新用户"), this);
    m_register->SetURL(gui::RegisterUrl());
    m_register->SetGuideSection(QString::fromLatin1(gui::kGuideFirstLogin));

    auto* passwordLabel = new QLabel(tr("密码:"), this);
    m_password = new QLineEdit(this);
    m_password->setEchoMode(QLineEdit::Password);
    m_recover = new CStaticEx(tr("找回密码"), this);
    connect(m_recover, &CStaticEx::clicked, this, [this] { OnRecoverPassword(); });

    // Part of the dialog's design, never shown and never read.
    m_remember = new QCheckBox(tr("记住密码"), this);
    m_remember->setGeometry(80, 140, 80, 20);
    m_remember->hide();
    m_autoLogin = new QCheckBox(tr("自动登录"), this);
    m_autoLogin->setGeometry(170, 140, 80, 20);
    m_autoLogin->hide();

    m_error = new QLabel(this);
    QPalette red = m_error->palette();
    red.setColor(QPalette::WindowText, QColor(255, 0, 0));
    m_error->setPalette(red);
    m_error->hide();

    m_ok = new QPushButton(tr("确定"), this);
    m_ok->setMinimumWidth(75);
    m_ok->setDefault(true);
    m_cancel = new QPushButton(tr("取消"), this);
    m_cancel->setMinimumWidth(75);
    connect(m_ok, &QPushButton::clicked, this, [this] { OnOK(); });
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);

    // The banner across the top, the fields with their links, the error line, the buttons.
    auto* fields = new QGridLayout;
    fields->setContentsMargins(30, 16, 20, 0);
    fields->setHorizontalSpacing(6);
    fields->setVerticalSpacing(10);
    fields->addWidget(accountLabel, 0, 0);
    fields->addWidget(m_accountBox, 0, 1);
    fields->addWidget(m_register, 0, 2);
    fields->addWidget(passwordLabel, 1, 0);
    fields->addWidget(m_password, 1, 1);
    fields->addWidget(m_recover, 1, 2);
    fields->addWidget(m_error, 2, 0, 1, 3);
    fields->setColumnStretch(1, 1);
    auto* buttons = new QHBoxLayout;
    buttons->setContentsMargins(0, 0, 20, 18);
    buttons->addStretch(1);
    buttons->addWidget(m_ok);
    buttons->addWidget(m_cancel);
    auto* dialog = new QVBoxLayout(this);
    dialog->setContentsMargins(0, 0, 0, 0);
    dialog->addWidget(banner);
    dialog->addLayout(fields);
    dialog->addStretch(1);
    dialog->addLayout(buttons);
    // The usual 330 x 240, wider when the texts need it.
    setFixedSize(dialog->minimumSize().expandedTo(QSize(330, 240)));
    banner->setPixmap(gui::BannerPixmap(width(), 60));

    if (ReadRemembered(userFile, m_account, m_digest)) {
        m_accountBox->setEditText(QString::fromStdString(m_account));
        m_password->setText(QString::fromLatin1(gui::kRememberedPassword));
    }
}

bool CMorvaneLogon::OnOK()
{
    const QString account = m_accountBox->currentText();
    const QString password = m_password->text();
    if (account.isEmpty() || password.isEmpty()) {
        m_error->setText(Text(gui::IDS_EMPTY_CREDENTIALS));
        m_error->show();
        return false;
    }
    const std::string name = account.toStdString();
    if (name != m_account || password != QLatin1String(gui::kRememberedPassword)) {
        std::string digest = gui::PasswordDigest(password);
        if (digest.empty()) {
            m_error->setText(gui::UnrepresentablePasswordText());
            m_error->show();
            return false;
        }
        m_account = name;
        m_digest = digest;
    }
    accept();
    return true;
}

void CMorvaneLogon::OnRecoverPassword()
{
    gui::OpenPage(gui::RecoveryUrl(m_accountBox->currentText()), QString::fromLatin1(gui::kGuideFirstLogin));
}

void CMorvaneLogon::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (qEnvironmentVariableIsSet("MORVANE_TRACE_STARTUP")) {
        std::fputs("startup: login dialog shown\n", stderr);
        std::fflush(stderr);
    }
}

// ---------------------------------------------------------------- login page

namespace {

// The smallest group box and fields; they grow with their texts.
constexpr QSize kGroupSize(250, 100);
constexpr int kFieldWidth = 158;
constexpr int kRowHeight = 24;
constexpr int kButtonWidth = 75;
constexpr QSize kProgressSize(140, 32);

}  // namespace

CMorvaneMainLogOnDlg::CMorvaneMainLogOnDlg(const std::string& userFile, CMorvaneMainDlg* owner)
    : QWidget(owner), m_owner(owner)
{
    m_group = new QGroupBox(tr("登录"), this);
    m_accountLabel = new QLabel(tr("账号:"), this);
    m_accountBox = new QComboBox(this);
    m_accountBox->setEditable(true);
    m_passwordLabel = new QLabel(tr("密码:"), this);
    m_password = new QLineEdit(this);
    m_password->setEchoMode(QLineEdit::Password);
    m_ok = new QPushButton(tr("确定"), this);
    m_cancel = new QPushButton(tr("取消"), this);
    m_progress = new QPushButton(tr("正在登录..."), this);
    m_progress->setFocusPolicy(Qt::NoFocus);
    m_provider = new QPushButton(tr("服务商..."), this);
    connect(m_provider, &QPushButton::clicked, this, [this] {
        if (m_owner)
            m_owner->ShowAccountPage();
    });
    connect(m_ok, &QPushButton::clicked, this, [this] { OnOK(); });
    connect(m_cancel, &QPushButton::clicked, this, [this] { OnCancel(); });

    if (ReadRemembered(userFile, m_account, m_digest)) {
        m_accountBox->setEditText(QString::fromStdString(m_account));
        m_password->setText(QString::fromLatin1(gui::kRememberedPassword));
    }
    m_rememberedAccount = m_account;
    m_rememberedDigest = m_digest;
    Layout();
}

void CMorvaneMainLogOnDlg::SetAttempt(const std::string& account, const std::string& digest, bool refused)
{
    // The fields show the account that was tried. "***" stands for its digest where it can be tried
    // again as it was (nobody refused it, or it is the remembered pair); a refused password is typed
    // again.
    m_accountBox->setEditText(QString::fromStdString(account));
    const bool remembered = !account.empty() && account == m_rememberedAccount && digest == m_rememberedDigest;
    const bool keep = !digest.empty() && (remembered || !refused);
    m_password->setText(keep ? QString::fromLatin1(gui::kRememberedPassword) : QString());
    m_account = account;
    m_digest = keep ? digest : std::string();
}

void CMorvaneMainLogOnDlg::SetRemembered(const std::string& account, const std::string& digest)
{
    m_rememberedAccount = account;
    m_rememberedDigest = digest;
}

void CMorvaneMainLogOnDlg::SetMode(int mode, const QString& caption)
{
    m_mode = mode;
    if (mode == kFailed) {
        m_group->setTitle(caption.isEmpty() ? Text(gui::IDS_BAD_CREDENTIALS) : caption);
        // Return retries the login from either field.
        m_ok->setDefault(true);
    } else {
        m_ok->setDefault(false);
    }
    Layout();
}

void CMorvaneMainLogOnDlg::Layout()
{
    QWidget* fields[] = {m_group,    m_accountLabel, m_accountBox, m_passwordLabel,
                         m_password, m_ok,           m_cancel,     m_provider};
    if (m_mode == kWaiting) {
        for (QWidget* w : fields)
            w->hide();
        const QSize progress = kProgressSize.expandedTo(m_progress->sizeHint());
        m_progress->setGeometry((width() - progress.width()) / 2, (height() - progress.height()) / 2, progress.width(),
                                progress.height());
        m_progress->show();
    } else if (m_mode == kFailed) {
        m_progress->hide();
        // Sized for the texts of either language: labels as wide as the wider one, the group as wide
        // as its fields or its caption (which carries the reason), within the page.
        const int label = std::max(m_accountLabel->sizeHint().width(), m_passwordLabel->sizeHint().width());
        const int row = std::max({kRowHeight, m_accountBox->sizeHint().height(), m_password->sizeHint().height()});
        const int caption = m_group->fontMetrics().horizontalAdvance(m_group->title()) + 40;
        const int groupWidth = std::min(std::max({kGroupSize.width(), 20 + label + 4 + kFieldWidth + 20, caption}),
                                        std::max(0, width() - 8));
        const int field = groupWidth - 20 - label - 4 - 20;
        const int groupHeight = std::max(kGroupSize.height(), 28 + 2 * row + 10 + 14);
        const QPoint origin((width() - groupWidth) / 2, (height() - groupHeight) / 2);
        m_group->setGeometry(QRect(origin, QSize(groupWidth, groupHeight)));
        m_accountLabel->setGeometry(origin.x() + 20, origin.y() + 28, label, row);
        m_accountBox->setGeometry(origin.x() + 24 + label, origin.y() + 28, field, row);
        m_passwordLabel->setGeometry(origin.x() + 20, origin.y() + 38 + row, label, row);
        m_password->setGeometry(origin.x() + 24 + label, origin.y() + 38 + row, field, row);
        const int button = std::max({kButtonWidth, m_ok->sizeHint().width(), m_cancel->sizeHint().width()});
        const int buttonHeight = std::max(26, m_ok->sizeHint().height());
        const int right = origin.x() + groupWidth - 10;
        const int top = origin.y() + groupHeight + 12;
        m_cancel->setGeometry(right - button, top, button, buttonHeight);
        m_ok->setGeometry(right - 2 * button - 10, top, button, buttonHeight);
        const int provider = std::max(kButtonWidth, m_provider->sizeHint().width());
        m_provider->setGeometry(std::max(origin.x() + 10 - 10, right - 2 * button - 20 - provider), top, provider,
                                buttonHeight);
        for (QWidget* w : fields)
            w->show();
        m_group->lower();
    }
}

bool CMorvaneMainLogOnDlg::OnOK()
{
    const QString account = m_accountBox->currentText();
    const QString password = m_password->text();
    if (account.isEmpty() || password.isEmpty()) {
        m_group->setTitle(Text(gui::IDS_EMPTY_CREDENTIALS));
        return false;
    }
    const std::string name = account.toStdString();
    if (password != QLatin1String(gui::kRememberedPassword) || m_digest.empty() || name != m_account) {
        // "***" stands for the digest of the account shown only when there is one; otherwise, and for
        // another account, it is a password like any other.
        std::string digest = gui::PasswordDigest(password);
        if (digest.empty()) {
            m_group->setTitle(gui::UnrepresentablePasswordText());
            return false;
        }
        m_digest = digest;
    }
    m_account = name;
    if (m_owner)
        m_owner->BeginLogin(m_account, m_digest);
    return true;
}

void CMorvaneMainLogOnDlg::OnCancel()
{
    if (m_owner && m_owner->LoggedIn()) {
        m_owner->ShowPages();
        return;
    }
    if (m_owner)
        QMetaObject::invokeMethod(m_owner, &QWidget::close, Qt::QueuedConnection);
}

void CMorvaneMainLogOnDlg::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    Layout();
}

void CMorvaneMainLogOnDlg::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}
