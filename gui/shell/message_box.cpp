#include "gui/shell/message_box.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>

#include "gui/controls/hyperlink2.h"

namespace gui {

namespace {

std::function<void(const QString&)>& Hook()
{
    static std::function<void(const QString&)> hook;
    return hook;
}

std::function<int(const QString&, const QStringList&)>& QuestionHook()
{
    static std::function<int(const QString&, const QStringList&)> hook;
    return hook;
}

}  // namespace

void SetMessageBoxHook(std::function<void(const QString&)> hook)
{
    Hook() = std::move(hook);
}

void SetQuestionHook(std::function<int(const QString&, const QStringList&)> hook)
{
    QuestionHook() = std::move(hook);
}

int AskQuestion(const QString& text, const QStringList& buttons)
{
    if (buttons.isEmpty())
        return -1;
    if (QuestionHook())
        return QuestionHook()(text, buttons);
    QMessageBox box(QMessageBox::Question, QStringLiteral("Morvane"), text);
    QList<QAbstractButton*> added;
    for (qsizetype i = 0; i < buttons.size(); ++i)
        added << box.addButton(buttons[i], i + 1 == buttons.size() ? QMessageBox::RejectRole : QMessageBox::AcceptRole);
    box.setDefaultButton(qobject_cast<QPushButton*>(added.front()));
    box.setEscapeButton(added.back());
    box.exec();
    const qsizetype chosen = added.indexOf(box.clickedButton());
    return static_cast<int>(chosen < 0 ? buttons.size() - 1 : chosen);
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
    CHyperLink2::ReportError(code, url);
    return false;
}

}  // namespace gui
