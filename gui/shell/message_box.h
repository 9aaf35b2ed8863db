#pragma once
// The GUI's own message boxes and its "open this page" calls, with a process-wide hook so that
// tests can see them without anything modal appearing.

#include <QString>

#include <functional>

namespace gui {

// Replaces the message box by `hook` (text of the box); an empty function restores the box.
void SetMessageBoxHook(std::function<void(const QString&)> hook);

// A box with the text and an OK button, titled "Morvane"; returns when it is dismissed.
void ShowMessageBox(const QString& text);

// Opens a web page in the user's browser as the link control does (QDesktopServices, then the
// default text/html handler); a failure beeps and shows the link control's message box.
bool OpenUrl(const QString& url);

}  // namespace gui
