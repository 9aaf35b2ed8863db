#pragma once
// The three pages of the main window's tab control, as the main window sees them. Each page sends
// its own requests through the channel it is given; the main window routes the service's replies
// to the operations below.

#include <QWidget>

#include <array>
#include <cstdint>
#include <functional>
#include <string>

class CDnsListener;
class CDomainListEx;
class CMapPortList;
class COutPutCtrl;
class CHyperLink2;
class QBoxLayout;
class QLabel;
class QPushButton;
class QComboBox;
class QLineEdit;
class QGroupBox;

// Told of every request that expects an answer, so that one nobody answers within a few seconds
// can be undone on screen and reported. The main window implements it; pages work without one.
class IRequestWatch {
public:
    virtual ~IRequestWatch() = default;
    // `command`: the request's command; `failedLine`: the output line written when no answer comes
    // (none when empty); `output`: the page index of that line; `undo`: turns back what the page
    // already changed.
    virtual void Expect(uint16_t command, const QString& failedLine, int output, std::function<void()> undo) = 0;
};

// Tab 0, "动态域名管理": the account's domains with their switches, the public address and the
// network type, and an output list.
class CDomainlstSheet : public QWidget {
    Q_OBJECT
public:
    CDomainlstSheet(CDnsListener* channel, QWidget* parent = nullptr);
    ~CDomainlstSheet() override;

    // Label 1026: the address in dotted form, most significant byte first.
    void SetPublicIp(uint32_t address);
    // The IPv6 address, on a line under the IPv4 address: shown only while the service reports one
    // (an account that keeps IPv6 names); all zero bytes = none now.
    void SetPublicIpv6(bool reported, const std::array<uint8_t, 16>& address);
    // Label 1027: the network-type text; empty for an unknown code. With the provider's `location`
    // (where the address came from, or the network's name), that too.
    void SetNetType(int code, const QString& location = {});
    // Appends a line to the output list and scrolls to it.
    void AppendOutput(const QString& line);
    CDomainListEx* List();

    // "添加": opens the provider's page where domains are added (the user guide's section on it when
    // the site does not answer).
    void OnAdd();
    // "更新": asks the service for the domain list again (nothing without a channel socket).
    void OnUpdate();

    CDnsListener* Channel() const { return m_channel; }
    void SetRequestWatch(IRequestWatch* watch) { m_watch = watch; }
    IRequestWatch* RequestWatch() const { return m_watch; }
    COutPutCtrl* Output() const { return m_output; }
    QLabel* IpLabel() const { return m_ip; }
    QLabel* Ipv6Label() const { return m_ip6; }
    QLabel* NetTypeLabel() const { return m_netType; }
    QPushButton* AddButton() const { return m_add; }
    QPushButton* UpdateButton() const { return m_update; }
    CHyperLink2* HelpLink() const { return m_help; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Puts the address, the network and the help link on as few rows as the width allows.
    void PlaceStatus();

    QBoxLayout* m_statusRows[3] = {};
    int m_statusPlacement = -1;
    CDnsListener* m_channel;
    IRequestWatch* m_watch = nullptr;
    CDomainListEx* m_list;
    QPushButton* m_add;
    QPushButton* m_update;
    QLabel* m_ipCaption;
    QLabel* m_ip;
    QLabel* m_ip6;
    QLabel* m_netTypeCaption;
    QLabel* m_netType;
    CHyperLink2* m_help;
    COutPutCtrl* m_output;
};

// The domain list: one row per domain, keyed by host id.
class CDomainListEx;  // defined in gui/pages/domain_page.h:
//   void AddDomainRow(const std::string& name, uint32_t hostid, uint8_t enabled);
//   void SetDomainState(uint32_t hostid, uint8_t enabled);
//   void ClearDomains();

// Tab 1, "高级选项": router port mappings and an output list.
class CMorvaneMapportDlg : public QWidget {
    Q_OBJECT
public:
    CMorvaneMapportDlg(CDnsListener* channel, QWidget* parent = nullptr);
    ~CMorvaneMapportDlg() override;

    void AppendOutput(const QString& line);
    CMapPortList* List();

    // "添加端口" (or Return in the port field): adds the port of the edit with the chosen protocol and
    // asks for its mapping.
    void OnAddPort();
    // A choice in the service combo: a well-known service puts its port into the edit.
    void OnServiceChanged(int index);

    CDnsListener* Channel() const { return m_channel; }
    void SetRequestWatch(IRequestWatch* watch) { m_watch = watch; }
    IRequestWatch* RequestWatch() const { return m_watch; }
    COutPutCtrl* Output() const { return m_output; }
    QComboBox* ServiceCombo() const { return m_service; }
    QLineEdit* PortEdit() const { return m_port; }
    QComboBox* ProtocolCombo() const { return m_protocol; }
    QPushButton* AddPortButton() const { return m_addPort; }
    CHyperLink2* HelpLink() const { return m_help; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    CDnsListener* m_channel;
    IRequestWatch* m_watch = nullptr;
    // A refused keystroke was reported and the field has not changed since: the next is not.
    bool m_refusalShown = false;
    QComboBox* m_service;
    QLineEdit* m_port;
    QComboBox* m_protocol;
    QPushButton* m_addPort;
    CMapPortList* m_list;
    COutPutCtrl* m_output;
    CHyperLink2* m_help;
};

// The port list, defined in gui/pages/port_page.h:
//   int AddPortRow(uint16_t port, uint8_t type, uint8_t op, uint8_t allow);   // 1 added, -1 duplicate
//   void UpdatePortRow(uint16_t port, uint8_t op, uint8_t type, uint8_t allow, bool ok);

// Tab 2, "关于Morvane": description, version, "检查更新".
class CMorvaneAbout : public QWidget {
    Q_OBJECT
public:
    explicit CMorvaneAbout(QWidget* parent = nullptr);
    ~CMorvaneAbout() override;

    // "检查更新": starts the updater visibly, or brings its window forward; says so when there is
    // no updater to start.
    void OnCheckUpdate();

    // The version label's text for the executable at `path`: "当前版本:" and its product
    // version. False (the label shows the version the program was built as) when it has no version
    // block, the block is larger than 2000 bytes, or it has no translation entry.
    static bool ReadVersionText(const std::string& path, QString& text);
    // "\StringFileInfo\<key as 8 lowercase hex digits>\<name>", key = language << 16 | code page.
    static std::string VersionSubBlock(uint32_t key, const char* name);
    // What "检查更新" runs, true when an updater was started or asked to show; tests replace it. An
    // empty function restores the updater launch.
    static void SetUpdateLauncher(std::function<bool()> launcher);

    // What "检查更新" says when no updater can be started.
    static QString NoUpdaterText();

    QLabel* VersionLabel() const { return m_version; }
    QLabel* Description() const { return m_description; }
    QGroupBox* Group() const { return m_group; }
    QPushButton* CheckButton() const { return m_check; }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    QGroupBox* m_group;
    QLabel* m_description;
    QLabel* m_version;
    QPushButton* m_check;
};
