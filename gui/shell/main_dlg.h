#pragma once
// The main window: a tab control with the domain page, the port-mapping page and the about page,
// the login page over it while logging in, and the GUI's end of the control channel. Replies and
// notifications of the service arrive on the channel's receive thread and are handed to the UI
// thread as queued calls; every listener operation below runs on the UI thread.

#include <QDialog>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>

#include "shared/channel/dns_listener.h"

class CDomainlstSheet;
class CMorvaneAbout;
class CMorvaneLogon;
class CMorvaneMainLogOnDlg;
class CMorvaneMapportDlg;
class QSocketNotifier;
class QTabBar;

namespace platform {
class CWindowEndpoint;
}

// The tab control (control 1008): tab bar plus the three pages placed below it.
class CTabCrtlEx : public QWidget {
    Q_OBJECT
public:
    // Tab indexes.
    enum Page { kDomainPage = 0, kPortPage = 1, kAboutPage = 2 };
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
    // Places the pages for the current size.
    void PlacePages();

    QTabBar* TabBar() const { return m_bar; }
    CDomainlstSheet* DomainPage() const { return m_domainPage; }
    CMorvaneMapportDlg* PortPage() const { return m_portPage; }
    CMorvaneAbout* AboutPage() const { return m_aboutPage; }

protected:
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QTabBar* m_bar;
    CDomainlstSheet* m_domainPage;
    CMorvaneAbout* m_aboutPage;
    CMorvaneMapportDlg* m_portPage;
};

class CArrivalRelay;

class CMorvaneMainDlg : public QDialog, public CDnsListener {
    Q_OBJECT
public:
    static constexpr int kWidth = 410;  // wide enough for the port list's four columns
    static constexpr int kHeight = 565;
    static constexpr const char* kWindowClass = "MORVANEWND";
    static constexpr unsigned kPingMessage = 0xBD1;

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
    // The login page in `mode` over the whole client area; tab control and pages hidden.
    void ShowLoginPage(int mode);

    // ---- listener operations ----
    void OnNetInfo(const NetInfo& info) override;
    void OnDomainFlags(const std::map<uint32_t, uint8_t>& flags, uint8_t ok) override;
    void OnMapResult(const std::vector<PortMapEntry>& entries, bool ok) override;
    void OnDomainList(const std::vector<DomainRecord>* records, bool ok) override;
    void OnLogin(const std::vector<DomainRecord>* records, bool ok) override;
    void OnIpChanged(uint32_t address) override;
    void OnMapPortList(const std::vector<PortMapEntry>& entries) override;

    // Answer to a message sent to the "MORVANEWND" endpoint.
    intptr_t OnWindowMessage(uint32_t msg);

    // The output line of one port result entry.
    static QString MapResultLine(const PortMapEntry& entry, bool ok);

    void AppendOutput(const QString& text, int pageIndex);
    CTabCrtlEx* Tab() const { return m_tab; }
    CMorvaneMainLogOnDlg* LoginPage() const { return m_logon; }
    const std::string& UserFile() const { return m_userFile; }
    bool EndpointRegistered() const;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void OnInitDialog();

    std::string m_userFile;
    CTabCrtlEx* m_tab;
    CMorvaneMainLogOnDlg* m_logon = nullptr;
    // Outlives the channel (a child object, deleted after the listener part has stopped the
    // receive thread), so an arrival announced during destruction never meets a dead object.
    CArrivalRelay* m_relay;
    std::unique_ptr<platform::CWindowEndpoint> m_endpoint;
    QSocketNotifier* m_notifier = nullptr;
};
