#include "gui/shell/message_box.h"

#include <QApplication>
#include <QMessageBox>
#include <QUrl>

#include "gui/controls/hyperlink2.h"

namespace gui {

namespace {

std::function<void(const QString&)>& Hook()
{
    static std::function<void(const QString&)> hook;
    return hook;
}

}  // namespace

void SetMessageBoxHook(std::function<void(const QString&)> hook)
{
    Hook() = std::move(hook);
}

void ShowMessageBox(const QString& text)
{
    if (Hook()) {
        Hook()(text);
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Morvane"), text, QMessageBox::Ok);
    box.exec();
}

bool OpenUrl(const QString& url)
{
    // Every link of the program fails the same way: a beep and the link control's message box.
    const int code = CHyperLink2::GotoURL(url);
    if (code > 32)
        return true;
    QApplication::beep();
    CHyperLink2::ReportError(code);
    return false;
}

}  // namespace gui
