#pragma once
// CHyperLink2: a text that looks and behaves like a web link and opens its URL in the browser.
//
// Opening goes through QDesktopServices first; when that fails, through the desktop's default
// text/html handler (its .desktop Exec line, cut at the first URL/file field code, then a space
// and the URL), started detached. Failures are reported with ReportError. A link with a guide
// section opens that section of the local user guide instead when its web site does not answer.
// The link takes keyboard focus; Return or Space opens it.

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <string>

class CHoverTracker;

class CHyperLink2 : public QLabel {
    Q_OBJECT
public:
    // Underline modes.
    static constexpr int kUnderlineHover = -1;
    static constexpr int kUnderlineAlways = 1;
    static constexpr int kUnderlineNever = 0;

    // The longest fallback command we run; anything longer is refused, not cut.
    static constexpr std::size_t kMaxCommand = 4096;

    // Shell-style result codes: above 32 means the link was opened.
    static constexpr int kOpened = 33;
    static constexpr int kFileNotFound = 2;
    static constexpr int kNoAssociation = 31;

    explicit CHyperLink2(const QString& text = QString(), QWidget* parent = nullptr);

    void SetURL(const QString& url);
    QString URL() const { return m_url; }
    // The section of the user guide opened when the URL's site does not answer; empty: none.
    void SetGuideSection(const QString& section) { m_section = section; }
    QString GuideSection() const { return m_section; }
    void SetUnderline(int mode);
    int Underline() const { return m_underline; }
    void SetAutoSize(bool adjust);
    void SetColours(const QColor& link, const QColor& visited, const QColor& hover);

    bool Over() const;
    bool Visited() const { return m_visited; }
    bool TimerRunning() const;
    // The colour the text is drawn in now.
    QColor CurrentColour() const;
    bool Underlined() const { return font().underline(); }

    // What a click does: open the URL, remember whether it worked, report a failure.
    void OnClick();
    // Resizes the control to its text (measured with the underlined font).
    void AdjustToFit();

    static int GotoURL(const QString& url);
    // Tells the user, in their language, that nothing could open `url`, and shows it.
    static void ReportError(int code, const QString& url);
    // The message ReportError shows.
    static QString ErrorText(int code, const QString& url);

    // ---- the fallback through the default text/html handler ----
    // The desktop file id of the default text/html handler ("" when none is known): `xdg-mime
    // query default text/html` when the tool exists, otherwise the mimeapps.list files.
    static std::string DefaultHtmlHandler();
    // The Exec line of a desktop file id, looked up in the XDG application directories.
    static std::string DesktopExec(const std::string& desktopId);
    // Cuts `exec` at its first URL/file field code (quoted first, then bare) and appends a space
    // and the URL. False, and `command` left empty, when the result would exceed kMaxCommand.
    static bool BuildCommand(const std::string& exec, const std::string& url, std::string& command);

    // ---- injection points, process-wide; an empty function restores the default ----
    static void SetMessageBoxHook(std::function<void(const QString&)> hook);
    static void SetUrlOpener(std::function<bool(const QUrl&)> opener);
    // Starts a program detached: argv[0] and its arguments.
    static void SetCommandRunner(std::function<bool(const QStringList&)> runner);

protected:
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void ApplyColour();
    void ApplyFont();

    CHoverTracker* m_hover;
    QColor m_linkColour{0, 0, 238};
    QColor m_visitedColour{85, 26, 139};
    QColor m_hoverColour{255, 0, 0};
    bool m_visited = false;
    int m_underline = kUnderlineHover;
    bool m_adjustToFit = true;
    QString m_url;
    QString m_section;
    QFont m_normalFont;
    QFont m_underlineFont;
};
