// The requests the pages send, captured on a socket that stands in for the service.

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "shared/channel/dns_listener.h"
#include "gui/controls/output_ctrl.h"
#include "gui/pages/account_page.h"
#include "gui/pages/domain_page.h"
#include "gui/pages/pages.h"
#include "gui/pages/port_page.h"
#include "shared/packet/packet.h"
#include "shared/packet/commands.h"
#include "shared/packet/records.h"
#include "shared/packet/status_records.h"
#include "shared/xml/data_files.h"
#include "tests/support/gui_env.h"

namespace {

// The channel binds the GUI's fixed ports: a network of its own, without which nothing here can run.
static ::testing::Environment* const g_env = ::testing::AddGlobalTestEnvironment(
    new CGuiEnvironment({.privateNetwork = true, .networkRequired = true, .privateDesktop = true}));

QString U(const char* text)
{
    return QString::fromUtf8(text);
}

struct Request {
    uint16_t command = 0;
    std::vector<uint8_t> body;

    std::vector<PortMapEntry> Ports() const
    {
        InPacket in;
        in.SetData(body.data(), static_cast<int>(body.size()));
        return ReadPortList(in);
    }
    std::map<uint32_t, uint8_t> Flags() const
    {
        InPacket in;
        in.SetData(body.data(), static_cast<int>(body.size()));
        std::map<uint32_t, uint8_t> flags;
        for (int n = in.ReadU16Host(); n > 0; --n) {
            const uint32_t host = in.ReadU32Host();
            flags[host] = in.ReadU8();
        }
        return flags;
    }
};

class PagesOverChannel : public testing::Test {
protected:
    void SetUp() override
    {
        m_socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(m_socket, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        socklen_t len = sizeof addr;
        getsockname(m_socket, reinterpret_cast<sockaddr*>(&addr), &len);
        const std::string userFile = CGuiEnvironment::ScratchDir() + "/user.xml";
        ASSERT_TRUE(datafile::WritePort(userFile, ntohs(addr.sin_port)));
        m_channel = std::make_unique<CDnsListener>(ChannelOptions{userFile, 6666, true});  // UDP: a socket stands in
        ASSERT_TRUE(m_channel->HasSender());
    }
    void TearDown() override
    {
        m_channel.reset();
        close(m_socket);
    }

    std::optional<Request> Next(int ms = 2000)
    {
        pollfd pfd{m_socket, POLLIN, 0};
        if (poll(&pfd, 1, ms) <= 0)
            return std::nullopt;
        uint8_t bytes[2048];
        const ssize_t n = recv(m_socket, bytes, sizeof bytes, 0);
        if (n < kPacketHeaderSize)
            return std::nullopt;
        InPacket in;
        in.SetData(bytes, static_cast<int>(n));
        PacketHeader header;
        header.Read(in);
        return Request{header.command, std::vector<uint8_t>(bytes + kPacketHeaderSize, bytes + n)};
    }
    // Every request sent so far, in order.
    std::vector<Request> Drain()
    {
        std::vector<Request> all;
        while (auto r = Next(100))
            all.push_back(*r);
        return all;
    }

    int m_socket = -1;
    std::unique_ptr<CDnsListener> m_channel;
};

}  // namespace

TEST_F(PagesOverChannel, DomainSwitchAndUpdateSendTheirRequests)
{
    CDomainlstSheet page(m_channel.get());
    CDomainListEx& list = *page.List();
    list.AddDomainRow("a.example.org", 11, 0);
    list.AddDomainRow("b.example.org", 12, 1);

    list.OnClick(1, CDomainListEx::kColumnSwitch);
    auto r = Next();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->command, 1);
    EXPECT_EQ(r->Flags(), (std::map<uint32_t, uint8_t>{{12, 0}}));
    EXPECT_EQ(list.Row(1)->enabled, 0);

    list.OnClick(0, CDomainListEx::kColumnSwitch);
    r = Next();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->Flags(), (std::map<uint32_t, uint8_t>{{11, 1}}));
    EXPECT_EQ(list.item(0, 1)->text(), U("停止解析"));
    // The reply failed: the main window sets the opposite of what was asked.
    list.SetDomainState(11, 0);
    EXPECT_EQ(list.item(0, 1)->text(), U("开始解析"));

    list.OnClick(0, CDomainListEx::kColumnName);  // opens a page, sends nothing
    page.UpdateButton()->click();
    r = Next();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->command, 2);
    EXPECT_TRUE(r->body.empty());
    EXPECT_TRUE(Drain().empty());
    EXPECT_EQ(page.Output()->Lines(),
              QStringList({U("请求域名操作请等待..."), U("请求域名操作请等待..."), U("请求更新域名列表")}));
}

TEST_F(PagesOverChannel, AddingAPortStoresItThenMapsIt)
{
    CMorvaneMapportDlg page(m_channel.get());
    CMapPortList& list = *page.List();
    page.PortEdit()->setText(QStringLiteral("8080"));
    page.AddPortButton()->click();
    auto sent = Drain();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].command, 6);
    EXPECT_EQ(sent[0].Ports(), (std::vector<PortMapEntry>{{8080, 0, 0, 0}}));
    EXPECT_EQ(sent[1].command, 4);
    EXPECT_EQ(sent[1].Ports(), (std::vector<PortMapEntry>{{8080, 1, 0, 1}}));
    EXPECT_EQ(page.Output()->Lines(), QStringList({U("请求-8080(TCP)-端口映射请等待...")}));
    ASSERT_EQ(list.RowCount(), 1);
    EXPECT_FALSE(list.Checked(0));
    EXPECT_EQ(list.item(0, 3)->text(), U("TCP没有映射"));

    // The same pair again: "重复数据", nothing sent. UDP is another row.
    page.AddPortButton()->click();
    EXPECT_TRUE(Drain().empty());
    EXPECT_EQ(page.Output()->Lines().back(), U("重复数据"));
    page.ProtocolCombo()->setCurrentIndex(1);
    page.AddPortButton()->click();
    sent = Drain();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].Ports(), (std::vector<PortMapEntry>{{8080, 1, 1, 1}}));
    EXPECT_EQ(page.Output()->Lines().back(), U("请求-8080(UDP)-端口映射请等待..."));
    EXPECT_EQ(list.RowCount(), 2);

    // Not a port: refused with a line saying why; never cut to 16 bits.
    int lines = page.Output()->count();
    for (const char* text : {"", "80a", "-1", " 80", "+80"}) {
        page.PortEdit()->setText(QString::fromUtf8(text));
        page.AddPortButton()->click();
        EXPECT_EQ(page.Output()->Lines().back(), U(*text ? "端口只能是数字" : "请输入端口号")) << text;
    }
    EXPECT_GE(page.Output()->count(), lines + 5);
    // Typing: the field takes digits only and says so.
    page.PortEdit()->clear();
    lines = page.Output()->count();
    for (QChar c : QStringLiteral("8a0")) {
        QKeyEvent key(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(page.PortEdit(), &key);
    }
    EXPECT_EQ(page.PortEdit()->text(), QStringLiteral("80"));
    EXPECT_EQ(page.Output()->count(), lines + 1);
    EXPECT_EQ(page.Output()->Lines().back(), U("端口只能是数字"));
    lines = page.Output()->count();
    for (const char* text : {"65616", "0", "99999999999999999999999"}) {
        page.PortEdit()->setText(QString::fromUtf8(text));
        page.AddPortButton()->click();
    }
    EXPECT_EQ(page.Output()->count(), lines + 3);
    EXPECT_TRUE(Drain().empty());
    EXPECT_EQ(list.RowCount(), 2);
    page.PortEdit()->setText(QStringLiteral("65535"));
    page.AddPortButton()->click();
    EXPECT_EQ(Drain().size(), 2u);
}

TEST_F(PagesOverChannel, MenuCommandsSendTheirRequests)
{
    CMorvaneMapportDlg page(m_channel.get());
    CMapPortList& list = *page.List();
    list.AddPortRow(80, 0, 1, 1);  // mapped, kept
    list.AddPortRow(21, 1, 0, 0);  // not mapped, not kept
    list.AddPortRow(443, 0, 0, 1);

    // Asking for the state a row already has writes a line and sends nothing.
    list.selectRow(0);
    list.OnMenuCommand(CMapPortList::kStartMapping);
    list.selectRow(1);
    list.OnMenuCommand(CMapPortList::kCancelMapping);
    EXPECT_TRUE(Drain().empty());
    EXPECT_EQ(page.Output()->Lines(), QStringList({U("已经有此状态"), U("已经有此状态")}));

    // "取消启用" stores the setting; no unmap.
    list.selectRow(0);
    list.OnMenuCommand(CMapPortList::kDisable);
    auto sent = Drain();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].command, 9);
    EXPECT_EQ(sent[0].Ports(), (std::vector<PortMapEntry>{{80, 1, 0, 0}}));
    EXPECT_FALSE(list.Checked(0));
    EXPECT_EQ(list.Entry(0)->allow, 0);

    // "启用" on an unmapped row stores the setting and maps it now.
    list.selectRow(1);
    list.OnMenuCommand(CMapPortList::kEnable);
    sent = Drain();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].command, 8);
    EXPECT_EQ(sent[0].Ports(), (std::vector<PortMapEntry>{{21, 0, 1, 1}}));
    EXPECT_EQ(sent[1].command, 4);
    EXPECT_EQ(sent[1].Ports(), (std::vector<PortMapEntry>{{21, 1, 1, 1}}));
    EXPECT_EQ(page.Output()->Lines().back(), U("请求-21(UDP)-端口映射请等待..."));
    EXPECT_TRUE(list.Checked(1));

    // Unmap now.
    list.selectRow(0);
    list.OnMenuCommand(CMapPortList::kCancelMapping);
    sent = Drain();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].command, 4);
    EXPECT_EQ(sent[0].Ports(), (std::vector<PortMapEntry>{{80, 0, 0, 0}}));
    EXPECT_EQ(page.Output()->Lines().back(), U("请求-80(TCP)-删除端口映射请等待..."));

    // Deleting a mapped port: unmap, then remove; the row is gone before any reply.
    list.UpdatePortRow(80, 1, 0, 1, false);  // the unmap failed: still mapped, allow as stored
    list.selectRow(0);
    list.OnMenuCommand(CMapPortList::kDelete);
    sent = Drain();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].command, 4);
    EXPECT_EQ(sent[0].Ports(), (std::vector<PortMapEntry>{{80, 0, 0, 0}}));
    EXPECT_EQ(sent[1].command, 7);
    EXPECT_EQ(sent[1].Ports(), (std::vector<PortMapEntry>{{80, 0, 0, 0}}));
    EXPECT_EQ(list.RowCount(), 2);
    EXPECT_EQ(list.FindRow(80, 0), -1);
    list.UpdatePortRow(80, 0, 0, 1, true);  // the late reply finds nothing
    EXPECT_EQ(list.RowCount(), 2);

    // Nothing selected: nothing happens.
    list.clearSelection();
    list.OnMenuCommand(CMapPortList::kDelete);
    EXPECT_TRUE(Drain().empty());
    EXPECT_EQ(list.RowCount(), 2);
}

TEST_F(PagesOverChannel, MapResultsKeepTheMenuInStepWithTheCheckBox)
{
    CMorvaneMapportDlg page(m_channel.get());
    CMapPortList& list = *page.List();
    page.PortEdit()->setText(QStringLiteral("8080"));
    page.AddPortButton()->click();
    Drain();
    // The service mapped it and keeps it: the check box is set, and the menu offers to undo that.
    list.UpdatePortRow(8080, 1, 0, 1, true);
    ASSERT_TRUE(list.Checked(0));
    list.selectRow(0);
    const auto items = list.ContextMenuItems();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[1].second, U("取消启用"));
    list.OnMenuCommand(items[1].first);
    const auto sent = Drain();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].command, 9);
    EXPECT_FALSE(list.Checked(0));
}

TEST_F(PagesOverChannel, CheckBoxClicksStoreTheSettingAndMapUnmappedPorts)
{
    CMorvaneMapportDlg page(m_channel.get());
    CMapPortList& list = *page.List();
    list.AddPortRow(3000, 0, 0, 0);
    list.AddPortRow(3001, 0, 1, 0);

    // What the view does on a click on the check box.
    list.item(0, 0)->setCheckState(Qt::Checked);
    auto sent = Drain();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].command, 8);
    EXPECT_EQ(sent[0].Ports(), (std::vector<PortMapEntry>{{3000, 0, 0, 1}}));
    EXPECT_EQ(sent[1].command, 4);
    EXPECT_EQ(sent[1].Ports(), (std::vector<PortMapEntry>{{3000, 1, 0, 1}}));
    EXPECT_EQ(list.Entry(0)->allow, 1);

    list.item(1, 0)->setCheckState(Qt::Checked);  // already mapped: only stored
    sent = Drain();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].Ports(), (std::vector<PortMapEntry>{{3001, 1, 0, 1}}));

    list.item(0, 0)->setCheckState(Qt::Unchecked);  // off: stored, never unmapped
    sent = Drain();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].command, 9);
    EXPECT_EQ(list.Entry(0)->allow, 0);

    // Results and new rows set check boxes without sending anything.
    list.UpdatePortRow(3000, 1, 0, 1, true);
    list.AddPortRow(3002, 0, 0, 1);
    EXPECT_TRUE(Drain().empty());
}

// The provider page: a stored password never comes back and is kept by an empty field for the same
// account only; a kind without an account sends no account fields; the address source decides what
// goes; a request that left is reported to the window.
TEST_F(PagesOverChannel, ProviderPageSendsTheFormAndNeverShowsThePassword)
{
    CAccountPage page(m_channel.get());
    std::vector<int> sent;
    QObject::connect(&page, &CAccountPage::sent, [&](int command) { sent.push_back(command); });
    ProviderSettings stored;
    stored.kind = "dyndns2";
    stored.server = "https://127.0.0.1:8443/nic/update";
    stored.user = "alice";
    stored.passwordStored = true;
    stored.hosts = {"a.example.test", "b.example.test"};
    stored.interfaceName = "eth0";
    stored.router = false;
    page.ShowSettings(true, stored);
    EXPECT_TRUE(page.PasswordEdit()->text().isEmpty());
    EXPECT_EQ(page.PasswordEdit()->echoMode(), QLineEdit::Password);
    EXPECT_EQ(page.SourceCombo()->currentIndex(), CAccountPage::kSourceInterface);
    EXPECT_FALSE(page.CheckIpEdit()->isVisibleTo(&page));

    page.OnSave();  // same account, empty field: the stored password is kept
    auto r = Next();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->command, CMD_SET_PROVIDER);
    InPacket in;
    in.SetData(r->body.data(), static_cast<int>(r->body.size()));
    ProviderSettings got = ReadProviderSettings(in);
    EXPECT_EQ(got.kind, "dyndns2");
    EXPECT_EQ(got.password, "");
    EXPECT_EQ(got.hosts, stored.hosts);
    EXPECT_EQ(got.interfaceName, "eth0");

    page.UserEdit()->setText("bob");  // another account needs its password: nothing leaves
    page.OnSave();
    EXPECT_FALSE(Next(200));
    EXPECT_EQ(page.ResultLabel()->text(), U("请输入这个账户的密码。"));
    page.PasswordEdit()->setText("pw");
    page.SourceCombo()->setCurrentIndex(CAccountPage::kSourceCheckIp);
    page.CheckIpEdit()->setText("https://127.0.0.1:1/ip, https://127.0.0.1:2/ip");
    page.RouterBox()->setChecked(true);
    got = page.Settings();
    EXPECT_EQ(got.password, "pw");
    EXPECT_EQ(got.interfaceName, "");
    EXPECT_EQ(got.checkIp, (std::vector<std::string>{"https://127.0.0.1:1/ip", "https://127.0.0.1:2/ip"}));
    page.ShowSaveResult(true, {});
    EXPECT_TRUE(page.PasswordEdit()->text().isEmpty()) << "a saved password stays in the field";

    page.KindCombo()->setCurrentIndex(0);  // the web service: no account fields go
    EXPECT_FALSE(page.ServerEdit()->isVisibleTo(&page));
    got = page.Settings();
    EXPECT_EQ(got.kind, "web-service");
    EXPECT_EQ(got.user, "");
    page.ShowSaveResult(false, "not a host name: 'x y'");
    EXPECT_EQ(page.ResultLabel()->text(), U("没有保存: not a host name: 'x y'"));
    // Every kind has its entry; an nsupdate key is kept by an empty secret only under the same key name.
    EXPECT_EQ(page.KindCombo()->count(), static_cast<int>(std::size(kProviderKinds)));
    ProviderSettings ns;
    ns.kind = "nsupdate";
    ns.server = "127.0.0.1:53";
    ns.zone = "example.test";
    ns.keyName = "ddns";
    ns.keyAlgorithm = "hmac-sha512";
    ns.passwordStored = true;
    ns.ttl = 60;
    ns.hosts = {"a.example.test"};
    page.ShowSettings(true, ns);
    EXPECT_TRUE(page.ZoneEdit()->isVisibleTo(&page) && !page.UserEdit()->isVisibleTo(&page) &&
                !page.SuccessEdit()->isVisibleTo(&page));
    got = page.Settings();
    EXPECT_TRUE(got.keyName == "ddns" && got.keyAlgorithm == "hmac-sha512" && got.ttl == 60 && got.user.empty());
    page.KeyNameEdit()->setText("other");
    page.OnSave();
    EXPECT_EQ(page.ResultLabel()->text(), U("请输入这个账户的密码。"));
    page.KindCombo()->setCurrentIndex(page.KindCombo()->findData(QStringLiteral("url")));
    EXPECT_TRUE(page.SuccessEdit()->isVisibleTo(&page) && !page.ZoneEdit()->isVisibleTo(&page));
    EXPECT_EQ(page.Settings().ttl, 0u) << "a field the kind does not use went";
    page.OnTest();
    r = Next();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->command, CMD_TEST_PROVIDER);
    EXPECT_EQ(sent, (std::vector<int>{CMD_SET_PROVIDER, CMD_TEST_PROVIDER}));
}
