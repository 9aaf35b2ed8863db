#pragma once
// Opening the program's links: a page of the provider's web site when the site answers, the user
// guide installed with the program when it does not, and a message in the user's language naming the
// address when nothing on the machine can open it.

#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>

namespace gui {

// Sections of the user guide the links fall back to (the anchors of its headings).
inline constexpr const char* kGuideFirstLogin = "first-login";
inline constexpr const char* kGuideAddingDomains = "adding-domains";
inline constexpr const char* kGuideDomains = "switching-domains-on-and-off";
inline constexpr const char* kGuidePorts = "port-mapping";

// How long the site has to accept a connection before the guide is opened instead.
inline constexpr int kSiteProbeMs = 1500;

// The installed guide as a file URL with `section` as its fragment; empty when none is found. Looked
// for as doc/user-guide.html beside the program (a build tree) and in the installed
// share/morvane/doc.
QString GuideUrl(const QString& section);
// Tests point the lookup elsewhere; an empty list restores the default places.
void SetGuideDirectories(const QStringList& dirs);

// Whether the site answers: `done(true)` once a TCP connection to the URL's host and port is made,
// `done(false)` when it is refused, the name does not resolve, or `ms` pass. Runs in the event loop;
// `done` is called exactly once. Tests replace the check with a function of their own.
void ProbeSite(const QUrl& url, int ms, std::function<void(bool)> done);
void SetSiteProbe(std::function<bool(const QUrl&)> probe);

// Opens `url`. With a `section`, a web page whose site does not answer is replaced by that section of
// the guide (the page itself when there is no guide). When nothing opens, the user is told, with the
// address, and `done(false)`; otherwise `done(true)`. `done` may be empty.
void OpenPage(const QString& url, const QString& section, std::function<void(bool)> done = {});

// The message shown when nothing could open `url`.
QString CannotOpenText(const QString& url);

}  // namespace gui
