#include "gui/controls/link_open.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>
#include <utility>

#include "gui/controls/hyperlink2.h"

namespace gui {

namespace {

QStringList& GuideDirectories()
{
    static QStringList dirs;
    return dirs;
}

std::function<bool(const QUrl&)>& SiteProbe()
{
    static std::function<bool(const QUrl&)> probe;
    return probe;
}

bool IsWebPage(const QUrl& url)
{
    return url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https");
}

// Opens `url` as a link does; reports `shown` (the address, by default) and returns false when
// nothing could.
bool OpenNow(const QString& url, const QString& shown = {})
{
    const int code = CHyperLink2::GotoURL(url);
    if (code > 32)
        return true;
    CHyperLink2::ReportError(code, shown.isEmpty() ? url : shown);
    return false;
}

}  // namespace

void SetGuideDirectories(const QStringList& dirs)
{
    GuideDirectories() = dirs;
}

QString GuideUrl(const QString& section)
{
    QStringList dirs = GuideDirectories();
    if (dirs.isEmpty()) {
        const QString program = QCoreApplication::applicationDirPath();
        dirs << program + QStringLiteral("/doc") << program + QStringLiteral("/../../share/morvane/doc");
    }
    for (const QString& dir : dirs) {
        const QFileInfo guide(dir + QStringLiteral("/user-guide.html"));
        if (!guide.isFile())
            continue;
        QUrl url = QUrl::fromLocalFile(guide.canonicalFilePath());
        if (!section.isEmpty())
            url.setFragment(section);
        return url.toString(QUrl::FullyEncoded);
    }
    return {};
}

void SetSiteProbe(std::function<bool(const QUrl&)> probe)
{
    SiteProbe() = std::move(probe);
}

void ProbeSite(const QUrl& url, int ms, std::function<void(bool)> done)
{
    if (SiteProbe()) {
        done(SiteProbe()(url));
        return;
    }
    // One socket per question, gone with its answer; whichever of connection, error or deadline comes
    // first answers, the others find nothing left to do.
    auto* socket = new QTcpSocket;
    auto answer = std::make_shared<std::function<void(bool)>>(std::move(done));
    auto finish = [socket, answer](bool reachable) {
        if (!*answer)
            return;
        auto call = std::move(*answer);
        *answer = nullptr;
        socket->abort();
        socket->deleteLater();
        call(reachable);
    };
    QObject::connect(socket, &QTcpSocket::connected, socket, [finish] { finish(true); });
    QObject::connect(socket, &QTcpSocket::errorOccurred, socket, [finish] { finish(false); });
    QTimer::singleShot(ms, socket, [finish] { finish(false); });
    const int port = url.port(url.scheme() == QLatin1String("https") ? 443 : 80);
    socket->connectToHost(url.host(), static_cast<quint16>(port));
}

void OpenPage(const QString& url, const QString& section, std::function<void(bool)> done)
{
    auto report = [done = std::move(done)](bool opened) {
        if (done)
            done(opened);
    };
    const QUrl target(url, QUrl::TolerantMode);
    if (section.isEmpty() || !IsWebPage(target)) {
        report(OpenNow(url));
        return;
    }
    ProbeSite(target, kSiteProbeMs, [url, section, report](bool reachable) {
        const QString guide = reachable ? QString() : GuideUrl(section);
        if (guide.isEmpty())
            report(OpenNow(url));
        else  // both places, so the user can take either elsewhere
            report(OpenNow(guide, url + QLatin1Char('\n') + QUrl(guide).toLocalFile()));
    });
}

QString CannotOpenText(const QString& url)
{
    return CHyperLink2::ErrorText(CHyperLink2::kNoAssociation, url);
}

}  // namespace gui
