#pragma once
// The GUI's own message boxes and questions, and its "open this page" calls, with process-wide
// hooks so that tests can see and answer them without anything modal appearing.

#include <QString>
#include <QStringList>

#include <functional>

namespace gui {

// Replaces the message box by `hook` (text of the box); an empty function restores the box.
void SetMessageBoxHook(std::function<void(const QString&)> hook);
// Replaces the question box by `hook`, which returns the index of the chosen button.
void SetQuestionHook(std::function<int(const QString& text, const QStringList& buttons)> hook);

// A box with the text and an OK button, titled "Morvane"; returns when it is dismissed.
void ShowMessageBox(const QString& text);
// A box with the text and one button per entry of `buttons`, the first the default; the index of
// the button chosen, or the last one (the way out) when the box is closed.
int AskQuestion(const QString& text, const QStringList& buttons);

// Opens a web page in the user's browser as the link control does (QDesktopServices, then the
// default text/html handler); a failure beeps and says, in the user's language, that nothing could
// open it, with the address.
bool OpenUrl(const QString& url);

}  // namespace gui
