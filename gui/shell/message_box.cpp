#include "gui/shell/message_box.h"

#include <QDesktopServices>
#include <QMessageBox>
#include <QUrl>

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
    return QDesktopServices::openUrl(QUrl(url));
}

}  // namespace gui
