#pragma once
// The main window: a tab control with the domain page, the port-mapping page and the about page,
// the login page over it while logging in, and the GUI's end of the control channel. Replies and
// notifications of the service arrive on the channel's receive thread and are handed to the UI
// thread as queued calls; every listener operation below runs on the UI thread.
//
// Where the desktop has a system tray, the program's icon sits there (CMorvaneTray) and closing the
// logged-in window only hides it; the tray's menu ends the program. Ctrl+Tab and Ctrl+Shift+Tab (or
// Ctrl+PgDown, Ctrl+PgUp) change pages.

#include <QDialog>
#include <QWidget>

#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "gui/pages/pages.h"
#include "shared/channel/dns_listener.h"

class CAccountPage;
class CDomainlstSheet;
class CMorvaneAbout;
class CMorvaneLogon;
class CMorvaneMainLogOnDlg;
class CMorvaneMapportDlg;
class CMorvaneTray;
class CServiceWatch;
class QLabel;
class QSocketNotifier;
class QTabBar;
class QTimer;

namespace platform {
class CWindowEndpoint;
}

// The tab control (control 1008): tab bar plus the three pages placed below it.
class CTabCrtlEx : public QWidget {
    Q_OBJECT
public:
    // Tab indexes.
    enum Page { kDomainPage = 0, kPortPage = 1, kAboutPage = 2, kAccountPage = 3 };
    // Output lists by AppendOutput's page index (the about page has none).
    enum Output { kDomainOutput = 0, kPortOutput = 2 };

    CTabCrtlEx(CDnsListener* channel, QWidget* parent);
    ~CTabCrtlEx() override;

    // Inserts the tabs and places the pages; the domain page shows, tab 0 is selected.
    void InitPages();
    // Page index 0: the domain page's output list; 2: the port page's; any other: dropped.
    void AppendOutput(const QString& text, int pageIndex);
    // Clears the domain list and adds the records in order; nothing without records.
    void FillDomainList(const std::vector<DomainRecord>* records);
    // Shows the page of the selected tab and hides the others; other indexes change nothing.
    void OnSelChange(int index);
    // The next (+1) or previous (-1) page, round the end.
    void StepPage(int step);
    // Places the pages for the current size.
    void PlacePages();

    QTabBar* TabBar() const { return m_bar; }
    CDomainlstSheet* DomainPage() const { return m_domainPage; }
    CMorvaneMapportDlg* PortPage() const { return m_portPage; }
    CMorvaneAbout* AboutPage() const { return m_aboutPage; }
    CAccountPage* AccountPage() const { return m_accountPage; }
    // Whether the service answers, shown beside the tabs.
    void SetServiceState(bool reachable);
    QLabel* ServiceState() const { return m_state; }

signals:
    // The account page was chosen: its contents are asked for again.
    void accountPageShown();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QTabBar* m_bar;
    QLabel* m_state;
    QString m_stateText;
    QString m_stateDot;
    CDomainlstSheet* m_domainPage;
    CMorvaneAbout* m_aboutPage;
    CMorvaneMapportDlg* m_portPage;
    CAccountPage* m_accountPage;
};

class CArrivalRelay;

class CMorvaneMainDlg : public QDialog, public CDnsListener, public IRequestWatch {
    Q_OBJECT
public:
    static constexpr int kWidth = 410;  // wide enough for the port list's four columns
    static constexpr int kHeight = 565;
    // Small enough for a 900-pixel screen at twice the scale, large enough for the pages.
    static constexpr int kMinWidth = 330;
    static constexpr int kMinHeight = 340;
    static constexpr const char* kWindowClass = "MORVANEWND";
    static constexpr unsigned kPingMessage = 0xBD1;
    // Sent by a second start: the window comes to the front.
    static constexpr unsigned kActivateMessage = 0xBD2;
    // How long a request waits for its answer, and how often a lost service is looked for.
    // Longer than the service's own deadline for a provider call (40 s): a slow provider is not a lost
    // service. A service that is not there at all is known at once (nobody holds its port).
    static constexpr int kReplyTimeoutMs = 45000;
    static constexpr int kProbeIntervalMs = 3000;

    // Tests shorten the waits; 0 restores the defaults.
    static void SetTimeouts(int replyMs, int probeMs);

    // `userFile`: user.xml beside the GUI (remembered login, the service's port).
    explicit CMorvaneMainDlg(const std::string& userFile, QWidget* parent = nullptr);
    ~CMorvaneMainDlg() override;

    // What runs the login dialog; the default shows it modally. Tests fill it in and call OnOK.
    // The function returns QDialog::Accepted or Rejected.
    static void SetLogonRunner(std::function<int(CMorvaneLogon&)> runner);

    // The login dialog, then the login page (posted to itself after initialisation).
    void OnLogonRequest();
    // Stores the account and digest, sends the login request and shows the waiting page.
    void BeginLogin(const std::string& account, const std::string& digest);
    // The login page in `mode` over the whole client area; tab control and pages hidden. A
    // failed page shows `caption` (empty: "用户名和密码出错").
    void ShowLoginPage(int mode, const QString& caption = QString());

    // ---- IRequestWatch ----
    void Expect(uint16_t command, const QString& failedLine, int output, std::function<void()> undo) override;
    // Whether the service answered the last request (or sent anything since).
    bool ServiceReachable() const { return m_reachable; }
    int PendingRequests() const { return static_cast<int>(m_pending.size()); }
    // Brings the window (or the login dialog over it) to the front, restored, also out of the tray.
    void BringToFront();
    // Ends the program (the tray's "退出"), whether the window is shown or not.
    void Quit();

    CMorvaneTray* Tray() const { return m_tray; }
    CServiceWatch* ServiceWatch() const { return m_watch; }

    // ---- listener operations ----
    void OnNetInfo(const NetInfo& info) override;
    void OnDomainFlags(const std::map<uint32_t, uint8_t>& flags, uint8_t ok) override;
    void OnMapResult(const std::vector<PortMapEntry>& entries, bool ok) override;
    void OnDomainList(const std::vector<DomainRecord>* records, bool ok) override;
    void OnLogin(const std::vector<DomainRecord>* records, bool ok) override;
    void OnIpChanged(uint32_t address) override;
    void OnMapPortList(const std::vector<PortMapEntry>& entries) override;
    void OnDomainStatus(const std::vector<HostStatus>& list) override;
    void OnAccount(bool loggedIn, const std::string& user, bool readable, const ProviderSettings& settings) override;
    void OnLoggedOut(bool ok) override;
    void OnProviderSet(bool ok, const std::string& problem) override;
    void OnProviderTest(bool ok, const std::string& words) override;

    // The pages with the account page chosen (also before a login: the provider is set up there).
    void ShowAccountPage();
    // Back from the login page to the pages, when logged in (a switch of account given up).
    void ShowPages();
    // "退出登录": asks, then tells the service to forget the account.
    void OnLogOut();

    // Answer to a message sent to the "MORVANEWND" endpoint.
    intptr_t OnWindowMessage(uint32_t msg);

    // The output line of one port result entry; `removed`: its row was deleted with the request.
    QString MapResultLine(const PortMapEntry& entry, bool ok, bool removed) const;

    void AppendOutput(const QString& text, int pageIndex);
    CTabCrtlEx* Tab() const { return m_tab; }
    CMorvaneMainLogOnDlg* LoginPage() const { return m_logon; }
    const std::string& UserFile() const { return m_userFile; }
    bool EndpointRegistered() const;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    struct Pending {
        uint16_t command;
        qint64 deadline;
        QString failedLine;
        int output;
        std::function<void()> undo;
    };
    void OnInitDialog();
    // A datagram came from the service: it is there.
    void OnArrival();
    // The oldest request waiting for `command` was answered.
    void Answered(uint16_t command);
    void CheckDeadlines();
    void SetReachable(bool reachable);
    void Probe();
    // The tray shows the service's state and the account.
    void ShowState();
    // A line that also goes to the tray as a notification (failures with the warning icon).
    void Report(const QString& line, int output, bool failure);
    QString LoginFailureText() const;
    QString MapFailureText() const;

    std::string m_userFile;
    CTabCrtlEx* m_tab;
    CMorvaneMainLogOnDlg* m_logon = nullptr;
    // Outlives the channel (a child object, deleted after the listener part has stopped the
    // receive thread), so an arrival announced during destruction never meets a dead object.
    CArrivalRelay* m_relay;
    std::unique_ptr<platform::CWindowEndpoint> m_endpoint;
    QSocketNotifier* m_notifier = nullptr;
    std::deque<Pending> m_pending;
    QTimer* m_deadlines;
    QTimer* m_probe;
    CMorvaneTray* m_tray;
    CServiceWatch* m_watch;
    bool m_reachable = true;
    bool m_fitted = false;
    bool m_quitting = false;

    friend class CArrivalRelay;
};
