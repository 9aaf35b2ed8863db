// The small controls: output list, hover texts, links and their fallback browser launch.

#include <QApplication>
#include <QFile>
#include <QMouseEvent>
#include <QTextStream>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "gui/controls/hover.h"
#include "gui/controls/hyperlink2.h"
#include "gui/controls/list_head_ctrl.h"
#include "gui/controls/output_ctrl.h"
#include "gui/controls/static_ex.h"
#include "tests/support/gui_env.h"

namespace {

void MoveMouse(QWidget* w, QPoint local)
{
    QMouseEvent move(QEvent::MouseMove, QPointF(local), QPointF(w->mapToGlobal(local)), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QApplication::sendEvent(w, &move);
}

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream(path) << text;
}

// Hooks are process-wide; every test leaves them as it found them.
struct HookReset {
    ~HookReset()
    {
        CHoverTracker::SetCursorSource({});
        CHyperLink2::SetUrlOpener({});
        CHyperLink2::SetCommandRunner({});
    }
};

}  // namespace

TEST(OutputCtrl, AppendsInOrderSelectsTheLastAndClearsFromTheMenu)
{
    COutPutCtrl out;
    for (int i = 0; i <= COutPutCtrl::kMaxLines; ++i)
        out.AppendLine(QString::number(i - 1));  // the oldest goes once the list is full
    EXPECT_EQ(out.Lines().front(), QStringLiteral("0"));
    // Each line shows the time it came, before it.
    EXPECT_EQ(out.item(0)->text(), out.Times()[0].toString(QStringLiteral("HH:mm:ss")) + QStringLiteral("  0"));
    out.OnMenuCommand(COutPutCtrl::kClearCommand);
    out.AppendLine(QStringLiteral("one"));
    out.AppendLine(QStringLiteral("two"));
    EXPECT_EQ(out.Lines(), QStringList({"one", "two"}));
    EXPECT_EQ(out.currentRow(), 1);

    out.OnMenuCommand(1);  // not ours
    EXPECT_EQ(out.count(), 2);
    out.OnMenuCommand(COutPutCtrl::kClearCommand);
    EXPECT_EQ(out.count(), 0);
    out.AppendLine(QStringLiteral("three"));
    EXPECT_EQ(out.Lines(), QStringList({"three"}));
    EXPECT_EQ(out.currentRow(), 0);
}

TEST(ListHeadCtrl, IsTwelvePixelsInACjkFace)
{
    const QFont font = CListHeadCtrl::HeaderFont();
    EXPECT_EQ(font.pixelSize(), 12);
    // With only fontconfig's substitutes the Chinese header texts would come out as boxes.
    EXPECT_TRUE(QFontMetrics(font).inFont(QChar(0x57DF)));  // 域
}

TEST(HoverCtrl, StaticTextUnderlinesWhileOverAndNoticesTheCursorLeaving)
{
    HookReset reset;
    CStaticEx text(QString::fromUtf8("找回密码"));
    text.resize(80, 20);
    text.show();
    EXPECT_EQ(text.TextColour(), QColor(0, 0, 238));
    EXPECT_EQ(text.palette().color(QPalette::WindowText), QColor(0, 0, 238));

    QPoint cursor = text.mapToGlobal(QPoint(5, 5));
    CHoverTracker::SetCursorSource([&cursor] { return cursor; });
    MoveMouse(&text, QPoint(5, 5));
    EXPECT_TRUE(text.Over());
    EXPECT_TRUE(text.font().underline());
    EXPECT_TRUE(text.TimerRunning());

    Pump(250);  // still over: the timer keeps the underline
    EXPECT_TRUE(text.font().underline());

    // The cursor leaves the window altogether; no leave event arrives, the timer notices.
    cursor = text.mapToGlobal(QPoint(4000, 4000));
    Pump(250);
    EXPECT_FALSE(text.Over());
    EXPECT_FALSE(text.font().underline());
    EXPECT_FALSE(text.TimerRunning());

    int clicks = 0;
    QObject::connect(&text, &CStaticEx::clicked, [&clicks] { ++clicks; });
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(text.mapToGlobal(QPoint(5, 5))), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(5, 5), QPointF(text.mapToGlobal(QPoint(5, 5))),
                        Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(&text, &press);
    QApplication::sendEvent(&text, &release);
    EXPECT_EQ(clicks, 1);
}

TEST(HoverCtrl, LinkTurnsRedAndUnderlinedThenRestoresItsFontInUnderlineModes)
{
    HookReset reset;
    CHyperLink2 link(QString::fromUtf8("域名管理帮助"));
    link.SetURL(QStringLiteral("http://127.0.0.1/help"));
    link.show();
    EXPECT_EQ(link.toolTip(), QStringLiteral("http://127.0.0.1/help"));
    EXPECT_EQ(link.CurrentColour(), QColor(0, 0, 238));
    EXPECT_FALSE(link.Underlined());

    QPoint cursor = link.mapToGlobal(QPoint(2, 2));
    CHoverTracker::SetCursorSource([&cursor] { return cursor; });
    MoveMouse(&link, QPoint(2, 2));
    EXPECT_EQ(link.CurrentColour(), QColor(255, 0, 0));
    EXPECT_EQ(link.palette().color(QPalette::WindowText), QColor(255, 0, 0));
    EXPECT_TRUE(link.Underlined());
    cursor = link.mapToGlobal(QPoint(-50, -50));
    Pump(250);
    EXPECT_FALSE(link.Over());
    EXPECT_FALSE(link.Underlined());
    EXPECT_EQ(link.CurrentColour(), QColor(0, 0, 238));

    // Always underlined: leaving keeps the underline. Never: hovering does not add it.
    link.SetUnderline(CHyperLink2::kUnderlineAlways);
    EXPECT_TRUE(link.Underlined());
    cursor = link.mapToGlobal(QPoint(2, 2));
    MoveMouse(&link, QPoint(2, 2));
    cursor = link.mapToGlobal(QPoint(-50, -50));
    Pump(250);
    EXPECT_TRUE(link.Underlined());
    link.SetUnderline(CHyperLink2::kUnderlineNever);
    cursor = link.mapToGlobal(QPoint(2, 2));
    MoveMouse(&link, QPoint(2, 2));
    EXPECT_FALSE(link.Underlined());
}

TEST(HyperLink, TakesItsTextAsUrlFitsItsTextAndTurnsVisitedAfterAnOpen)
{
    const auto before = CGuiEnvironment::Urls().size();
    CHyperLink2 link(QStringLiteral("http://127.0.0.1/reg"));
    EXPECT_EQ(link.URL(), QStringLiteral("http://127.0.0.1/reg"));
    const QFontMetrics metrics(link.font());
    EXPECT_GE(link.width(), metrics.horizontalAdvance(link.text()));
    EXPECT_LT(link.width(), metrics.horizontalAdvance(link.text()) + 20);

    link.OnClick();
    ASSERT_EQ(CGuiEnvironment::Urls().size(), before + 1);
    EXPECT_EQ(CGuiEnvironment::Urls().back(), QUrl(QStringLiteral("http://127.0.0.1/reg")));
    EXPECT_TRUE(link.Visited());
    EXPECT_EQ(link.CurrentColour(), QColor(85, 26, 139));
}

TEST(HyperLink, ErrorTextsSayWhyInTheUsersLanguageWithTheAddress)
{
    const QString url = QStringLiteral("http://127.0.0.1/index.php?action=reg");
    for (int code : {CHyperLink2::kNoAssociation, CHyperLink2::kFileNotFound, -7}) {
        const QString text = CHyperLink2::ErrorText(code, url);
        EXPECT_TRUE(text.startsWith(QString::fromUtf8("没有程序能打开这个链接。")) && text.endsWith("\n" + url));
    }
    EXPECT_NE(CHyperLink2::ErrorText(CHyperLink2::kNoAssociation, url), CHyperLink2::ErrorText(2, url));

    CGuiEnvironment::Messages().clear();
    CHyperLink2::ReportError(2, url);
    EXPECT_EQ(CGuiEnvironment::Messages(), QStringList({CHyperLink2::ErrorText(2, url)}));
}

TEST(HyperLinkFallback, CommandIsCutAtTheFirstFieldCodeAndLongCommandsAreRefused)
{
    std::string cmd;
    ASSERT_TRUE(CHyperLink2::BuildCommand("firefox %u", "http://127.0.0.1/", cmd));
    EXPECT_EQ(cmd, "firefox  http://127.0.0.1/");
    // A quoted code is cut with its quotes, even when a bare one comes first.
    ASSERT_TRUE(CHyperLink2::BuildCommand("b %F --x \"%U\" %u", "u", cmd));
    EXPECT_EQ(cmd, "b %F --x  u");
    ASSERT_TRUE(CHyperLink2::BuildCommand("/opt/web --new-window %U --flag", "u", cmd));
    EXPECT_EQ(cmd, "/opt/web --new-window  u");
    // No field code: the whole line, a space and the URL.
    ASSERT_TRUE(CHyperLink2::BuildCommand("lynx -dump", "http://127.0.0.1/", cmd));
    EXPECT_EQ(cmd, "lynx -dump http://127.0.0.1/");

    // Exactly at the limit is fine; one byte more is refused, never cut.
    const std::string exec = "viewer ";
    std::string url(CHyperLink2::kMaxCommand - exec.size() - 1, 'a');
    ASSERT_TRUE(CHyperLink2::BuildCommand(exec, url, cmd));
    EXPECT_EQ(cmd.size(), CHyperLink2::kMaxCommand);
    url.push_back('a');
    EXPECT_FALSE(CHyperLink2::BuildCommand(exec, url, cmd));
    EXPECT_TRUE(cmd.empty());
    EXPECT_FALSE(CHyperLink2::BuildCommand(std::string(100000, 'x'), "u", cmd));
}

TEST(HyperLinkFallback, DefaultHtmlHandlerStartsWithTheUrlWhenTheDesktopCannotOpenIt)
{
    HookReset reset;
    CHyperLink2::SetUrlOpener([](const QUrl&) { return false; });
    const std::string config = std::string(getenv("XDG_CONFIG_HOME"));
    const std::string apps = std::string(getenv("XDG_DATA_HOME")) + "/applications";
    mkdir(config.c_str(), 0700);
    mkdir(getenv("XDG_DATA_HOME"), 0700);
    mkdir(apps.c_str(), 0700);

    // Nothing registered: the shell's failure is what is reported.
    ::unlink((config + "/mimeapps.list").c_str());
    EXPECT_EQ(CHyperLink2::DefaultHtmlHandler(), "");
    EXPECT_EQ(CHyperLink2::GotoURL(QStringLiteral("http://127.0.0.1/a")), CHyperLink2::kNoAssociation);

    // A handler registered but its desktop file missing: skipped for the next one listed.
    WriteFile(config + "/mimeapps.list", "[Added Associations]\ntext/html=other.desktop;\n"
                                         "[Default Applications]\ntext/html=gone.desktop;web.desktop;\n");
    const std::string dir = CGuiEnvironment::ScratchDir();
    const std::string script = dir + "/browser.sh";
    const std::string out = dir + "/args";
    WriteFile(script, "#!/bin/sh\nprintf '%s|' \"$@\" > " + out + ".tmp && mv " + out + ".tmp " + out + "\n");
    chmod(script.c_str(), 0700);
    WriteFile(apps + "/web.desktop", "[Desktop Entry]\nName=Web\nExec=" + script +
                                         " --new-window %U\n"
                                         "[Desktop Action x]\nExec=wrong\n");
    EXPECT_EQ(CHyperLink2::DefaultHtmlHandler(), "web.desktop");
    EXPECT_EQ(CHyperLink2::DesktopExec("web.desktop"), script + " --new-window %U");
    EXPECT_EQ(CHyperLink2::DesktopExec("../web.desktop"), "");

    // The real detached start: the URL arrives as one argument, spaces and quotes included.
    const QString url = QStringLiteral("http://127.0.0.1/a b'\"c");
    EXPECT_EQ(CHyperLink2::GotoURL(url), CHyperLink2::kOpened);
    for (int i = 0; i < 100 && !QFile::exists(QString::fromStdString(out)); ++i)
        Pump(20);
    std::ifstream in(out);
    std::string args((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(args, "--new-window|" + url.toStdString() + "|");

    // A handler that cannot be started, and a command too long to run.
    QStringList started;
    CHyperLink2::SetCommandRunner([&started](const QStringList& argv) {
        started = argv;
        return false;
    });
    EXPECT_EQ(CHyperLink2::GotoURL(QStringLiteral("http://127.0.0.1/b")), CHyperLink2::kFileNotFound);
    EXPECT_EQ(started, QStringList({QString::fromStdString(script), "--new-window", "http://127.0.0.1/b"}));
    started.clear();
    const QString huge = QStringLiteral("http://127.0.0.1/") + QString(5000, QLatin1Char('x'));
    EXPECT_EQ(CHyperLink2::GotoURL(huge), CHyperLink2::kNoAssociation);
    EXPECT_TRUE(started.isEmpty());

    // A click that fails shows the unvisited colour and one message box.
    CGuiEnvironment::Messages().clear();
    CHyperLink2 link(QStringLiteral("http://127.0.0.1/c"));
    link.OnClick();
    EXPECT_FALSE(link.Visited());
    EXPECT_EQ(link.CurrentColour(), QColor(0, 0, 238));
    EXPECT_EQ(CGuiEnvironment::Messages(),
              QStringList({CHyperLink2::ErrorText(CHyperLink2::kFileNotFound, QStringLiteral("http://127.0.0.1/c"))}));
    ::unlink((config + "/mimeapps.list").c_str());
}
