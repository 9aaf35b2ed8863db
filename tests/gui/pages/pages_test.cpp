// The pages without a service: what they show and what they open.

#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QGroupBox>
#include <QHeaderView>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "gui/controls/hyperlink2.h"
#include "gui/controls/link_open.h"
#include "gui/controls/output_ctrl.h"
#include "gui/pages/domain_page.h"
#include "gui/pages/pages.h"
#include "gui/pages/port_page.h"
#include "gui/strings.h"
#include "platform/version.h"
#include "tests/support/gui_env.h"

namespace {

// Both files of this binary (pages and controls): private desktop settings, so the default browser
// is looked up in the test's own home.
static ::testing::Environment* const g_env =
    ::testing::AddGlobalTestEnvironment(new CGuiEnvironment({.privateDesktop = true}));

QString U(const char* text)
{
    return QString::fromUtf8(text);
}

std::vector<uint32_t> HostOrder(const CDomainListEx& list)
{
    std::vector<uint32_t> ids;
    for (int i = 0; i < list.RowCount(); ++i)
        ids.push_back(list.Row(i)->hostid);
    return ids;
}

std::string Enabled(const CDomainListEx& list)
{
    std::string s;
    for (int i = 0; i < list.RowCount(); ++i)
        s += list.Row(i)->enabled ? '1' : '0';
    return s;
}

// At several sizes every shown control of `page` lies inside it and no two cover each other beyond
// the two-pixel seam the list and the output share, and `grows` gets taller with the page. Returns
// how many controls were shown.
int ExpectTiled(QWidget& page, const QWidget* grows)
{
    std::vector<const QWidget*> shown;
    int lastHeight = 0;
    for (QSize size : {QSize(330, 280), QSize(400, 500), QSize(900, 800)}) {
        page.resize(size);
        page.show();
        QApplication::processEvents();
        shown.clear();
        for (const QWidget* w : page.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            if (w->isVisible())
                shown.push_back(w);
        for (size_t i = 0; i < shown.size(); ++i) {
            const QRect a = shown[i]->geometry();
            const char* name = shown[i]->metaObject()->className();
            EXPECT_TRUE(page.rect().contains(a))
                << name << " at " << a.x() << "," << a.y() << " in " << size.width() << "x" << size.height();
            for (size_t j = i + 1; j < shown.size(); ++j) {
                const QRect both = a.intersected(shown[j]->geometry());
                EXPECT_TRUE(both.isEmpty() || std::min(both.width(), both.height()) <= 2)
                    << name << " covers " << shown[j]->metaObject()->className();
            }
        }
        EXPECT_GT(grows->height(), lastHeight) << size.width() << "x" << size.height();
        lastHeight = grows->height();
    }
    return static_cast<int>(shown.size());
}

}  // namespace

TEST(DomainList, RowsAreKeyedByHostIdAndKeepLongNamesWhole)
{
    CDomainlstSheet page(nullptr);
    CDomainListEx& list = *page.List();
    list.AddDomainRow("a.example.org", 1, 1);
    list.AddDomainRow("b.example.org", 2, 0);
    list.AddDomainRow("c.example.org", 3, 1);
    // A listed host id comes back as a new row at the end.
    list.AddDomainRow("a2.example.org", 1, 0);
    EXPECT_EQ(HostOrder(list), (std::vector<uint32_t>{2, 3, 1}));
    EXPECT_EQ(list.rowCount(), 3);
    EXPECT_EQ(list.Row(2)->name, "a2.example.org");
    EXPECT_EQ(list.item(2, 0)->text(), U("a2.example.org"));
    EXPECT_EQ(list.item(2, 1)->text(), U("开始解析"));
    EXPECT_EQ(list.rowHeight(0), 40);

    // Unknown host: nothing changes, nothing is written.
    list.SetDomainState(99, 1);
    EXPECT_EQ(Enabled(list), "010");
    EXPECT_EQ(page.Output()->count(), 0);
    list.SetDomainState(3, 0);
    EXPECT_EQ(Enabled(list), "000");
    EXPECT_EQ(list.item(1, 1)->text(), U("开始解析"));

    const std::string longName = std::string(300, 'x') + ".example.org";
    list.AddDomainRow(longName, 7, 0);
    EXPECT_EQ(list.Row(3)->name, longName);
    EXPECT_EQ(list.item(3, 0)->text().size(), static_cast<int>(longName.size()));

    list.ClearDomains();
    EXPECT_EQ(list.RowCount(), 0);
    EXPECT_EQ(list.rowCount(), 0);
}

TEST(DomainList, NameClicksOpenTheDomainWithOneHttpPrefix)
{
    CDomainlstSheet page(nullptr);
    CDomainListEx& list = *page.List();
    list.AddDomainRow("plain.example.org", 1, 0);
    list.AddDomainRow("http://given.example.org/x", 2, 0);
    list.AddDomainRow("odd.http://example.org", 3, 0);
    const auto before = CGuiEnvironment::Urls().size();
    list.OnClick(0, 0);
    list.OnClick(1, 0);
    list.OnClick(2, 0);
    list.OnClick(2, 2);   // state column: nothing
    list.OnClick(-1, 0);  // no row
    list.OnClick(5, 1);
    ASSERT_EQ(CGuiEnvironment::Urls().size(), before + 3);
    EXPECT_EQ(CGuiEnvironment::Urls()[before].toString(), QStringLiteral("http://plain.example.org"));
    EXPECT_EQ(CGuiEnvironment::Urls()[before + 1].toString(), QStringLiteral("http://given.example.org/x"));
    // "http://" later in the name is not a prefix: the name still gets one.
    EXPECT_TRUE(CGuiEnvironment::Urls()[before + 2].toString().startsWith(QStringLiteral("http://odd.")));
    EXPECT_EQ(Enabled(list), "000");
    EXPECT_EQ(page.Output()->count(), 0);

    // "添加" and the help link open their own pages of the site while it answers, the user guide's
    // sections when it does not.
    page.OnAdd();
    page.HelpLink()->OnClick();
    ASSERT_EQ(CGuiEnvironment::Urls().size(), before + 5);
    EXPECT_EQ(CGuiEnvironment::Urls()[before + 3].toString(), gui::SitePage(gui::kSiteAddDomain));
    EXPECT_EQ(CGuiEnvironment::Urls()[before + 4].toString(), gui::SitePage(gui::kSiteDomainHelp));
    EXPECT_EQ(page.HelpLink()->text(), U("域名管理帮助"));
    CGuiEnvironment::SiteReachable() = false;
    page.OnAdd();
    page.HelpLink()->OnClick();
    CGuiEnvironment::SiteReachable() = true;
    ASSERT_EQ(CGuiEnvironment::Urls().size(), before + 7);
    EXPECT_EQ(CGuiEnvironment::Urls()[before + 5], QUrl(gui::GuideUrl(QString::fromLatin1(gui::kGuideAddingDomains))));
    EXPECT_EQ(CGuiEnvironment::Urls()[before + 6], QUrl(gui::GuideUrl(QString::fromLatin1(gui::kGuideDomains))));
    EXPECT_TRUE(CGuiEnvironment::Urls()[before + 6].toLocalFile().endsWith(QStringLiteral("/doc/user-guide.html")));

    // Nothing can open a page: the name, "添加" and the help link all say so, each with its address.
    CHyperLink2::SetUrlOpener([](const QUrl&) { return false; });
    CGuiEnvironment::Messages().clear();
    list.OnClick(0, 0);
    page.OnAdd();
    page.HelpLink()->OnClick();
    CHyperLink2::SetUrlOpener({});
    ASSERT_EQ(CGuiEnvironment::Messages().size(), 3);
    const QString urls[] = {QStringLiteral("http://plain.example.org"), gui::SitePage(gui::kSiteAddDomain),
                            gui::SitePage(gui::kSiteDomainHelp)};
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(CGuiEnvironment::Messages()[i].startsWith(U("没有程序能打开这个链接。")));
        EXPECT_TRUE(CGuiEnvironment::Messages()[i].endsWith(urls[i])) << CGuiEnvironment::Messages()[i].toStdString();
    }
}

TEST(DomainList, SwitchClickShowsTheRequestedStateAtOnceAndDrawsIt)
{
    CDomainlstSheet page(nullptr);
    page.resize(400, 500);
    page.show();
    CDomainListEx& list = *page.List();
    list.AddDomainRow("a.example.org", 5, 0);
    list.OnClick(0, 1);
    EXPECT_EQ(list.Row(0)->enabled, 1);
    EXPECT_EQ(list.item(0, 1)->text(), U("停止解析"));
    EXPECT_EQ(page.Output()->Lines(), QStringList({U("请求域名操作请等待...")}));

    // The circle in the state column is green now; a failed reply (the main window sets the
    // opposite of the flag it asked for) turns it red again.
    auto circle = [&list] {
        const QRect cell = list.visualRect(list.model()->index(0, 2));
        return list.viewport()->grab().toImage().pixelColor(cell.center());
    };
    EXPECT_EQ(circle(), QColor(0, 255, 0));
    list.SetDomainState(5, 0);
    EXPECT_EQ(list.item(0, 1)->text(), U("开始解析"));
    EXPECT_EQ(circle(), QColor(255, 0, 0));

    // Once the service says what it holds, the circle says what is true. A switch-on it stored while
    // the provider was down is on, failing with the reason, whatever the failed reply undid.
    HostStatus failing{5, kHostFailing, 0, "", 0, 1800000000, "provider unreachable or not answering"};
    EXPECT_EQ(list.SetStatus({failing}), std::vector<uint32_t>{5});
    EXPECT_EQ(list.SetStatus({failing}), std::vector<uint32_t>{}) << "the same failure is told once";
    EXPECT_EQ(list.Row(0)->enabled, 1);
    EXPECT_EQ(list.item(0, 1)->text(), U("停止解析"));
    EXPECT_EQ(circle(), QColor(230, 0, 0));
    EXPECT_EQ(CDomainListEx::DetailText(*list.Row(0)), U("更新失败: provider unreachable or not answering"));
    EXPECT_TRUE(list.item(0, 2)->toolTip().contains(U("原因: provider unreachable")));
    // Green only while the provider holds the current address, with when it was updated; the IPv6
    // address, when the service knows one, beside it.
    const QString when = QDateTime::fromSecsSinceEpoch(1800000000).toString("yyyy-MM-dd HH:mm");
    list.SetStatus({{5, kHostCurrent, 0xCB007107, "2001:db8::7", 1800000000, 1800000000, ""}});
    EXPECT_EQ(circle(), QColor(0, 200, 0));
    EXPECT_EQ(CDomainListEx::DetailText(*list.Row(0)), U("203.0.113.7, 2001:db8::7,更新于") + when);
    list.SetStatus({{5, kHostPending, 0xCB007106, "", 0, 0, ""}});
    EXPECT_EQ(circle(), QColor(240, 200, 0));
    list.OnClick(0, 1);  // off: grey, the last address still said
    EXPECT_EQ(circle(), QColor(170, 170, 170));
    EXPECT_EQ(CDomainListEx::DetailText(*list.Row(0)), U("已停止(服务商现为203.0.113.6)"));
}

TEST(DomainList, HeaderClicksShareOneDirectionThatFlipsEveryClick)
{
    CDomainlstSheet page(nullptr);
    CDomainListEx& list = *page.List();
    list.AddDomainRow("b", 1, 1);
    list.AddDomainRow("a", 2, 0);
    list.AddDomainRow("c", 3, 1);
    list.AddDomainRow("d", 4, 0);
    const int start = CDomainListEx::SortDirection();
    // With the flag at 0 the comparison is negated: stopped rows first.
    auto stoppedFirst = [&](int click) { return (start + click) % 2 == 0; };
    for (int click = 0; click < 3; ++click) {
        list.OnColumnClick(CDomainListEx::kColumnState);
        EXPECT_EQ(Enabled(list), stoppedFirst(click) ? "0011" : "1100") << click;
        // The header's arrow names the sorted column and its order (stopped first = ascending).
        EXPECT_TRUE(list.horizontalHeader()->isSortIndicatorShown());
        EXPECT_EQ(list.horizontalHeader()->sortIndicatorSection(), CDomainListEx::kColumnState);
        EXPECT_EQ(list.horizontalHeader()->sortIndicatorOrder(),
                  stoppedFirst(click) ? Qt::AscendingOrder : Qt::DescendingOrder);
    }
    // Rows keep their records, and the cells follow them.
    for (int i = 0; i < list.RowCount(); ++i)
        EXPECT_EQ(list.item(i, 0)->text(), QString::fromStdString(list.Row(i)->name));
    // The name column uses the same flag: descending when it is 0.
    const int now = CDomainListEx::SortDirection();
    list.OnColumnClick(CDomainListEx::kColumnName);
    EXPECT_EQ(list.Row(0)->name, now == 0 ? "d" : "a");
    EXPECT_EQ(list.horizontalHeader()->sortIndicatorSection(), CDomainListEx::kColumnName);
    EXPECT_EQ(list.horizontalHeader()->sortIndicatorOrder(), now == 0 ? Qt::DescendingOrder : Qt::AscendingOrder);
    EXPECT_NE(CDomainListEx::SortDirection(), now);
}

TEST(DomainPage, AddressNetworkTypeAndUpdateWithoutChannel)
{
    CDomainlstSheet page(nullptr);
    EXPECT_EQ(page.IpLabel()->text(), U("静态"));
    EXPECT_EQ(page.NetTypeLabel()->text(), U("静态"));
    page.SetPublicIp(0xC0A80102u);
    EXPECT_EQ(page.IpLabel()->text(), QStringLiteral("192.168.1.2"));
    // The IPv6 line only while the service reports one (an account keeping IPv6 names).
    EXPECT_TRUE(page.Ipv6Label()->isHidden());
    std::array<uint8_t, 16> v6{0x20, 0x01, 0x0d, 0xb8};
    v6[15] = 7;
    page.SetPublicIpv6(true, v6);
    EXPECT_FALSE(page.Ipv6Label()->isHidden());
    EXPECT_TRUE(page.Ipv6Label()->text().endsWith(QStringLiteral("2001:db8::7")))
        << page.Ipv6Label()->text().toStdString();
    page.SetPublicIpv6(false, {});
    EXPECT_TRUE(page.Ipv6Label()->isHidden());
    const char* types[] = {"未知", "动态", "中国电信", "中国网通", "教育", "外国", "运营商级NAT"};
    for (int code = 0; code < 7; ++code) {
        page.SetNetType(code);
        EXPECT_EQ(page.NetTypeLabel()->text(), U(types[code]));
    }
    page.SetNetType(7);
    EXPECT_EQ(page.NetTypeLabel()->text(), QString());
    // The provider's location: beside the type, or alone where there is no type (a dyndns2 account).
    page.SetNetType(2, QStringLiteral("lab"));
    EXPECT_EQ(page.NetTypeLabel()->text(), U("中国电信, lab"));
    page.SetNetType(0, QStringLiteral("https://127.0.0.1/ip"));
    EXPECT_EQ(page.NetTypeLabel()->text(), QStringLiteral("https://127.0.0.1/ip"));
    page.SetNetType(-1);
    EXPECT_EQ(page.NetTypeLabel()->text(), QString());

    page.OnUpdate();  // no channel: nothing at all
    EXPECT_EQ(page.Output()->count(), 0);

    // Escape stays on the page.
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(&page, &escape);
    EXPECT_TRUE(escape.isAccepted());
}

TEST(DomainPage, LaidOutAtAnySize)
{
    CDomainlstSheet page(nullptr);
    // Buttons, list, output, two captions, two values and the help link.
    EXPECT_EQ(ExpectTiled(page, page.List()), 9);
    // Buttons top right, the output list under the list, the status row along the bottom.
    EXPECT_LT(page.AddButton()->x(), page.UpdateButton()->x());
    EXPECT_GT(page.UpdateButton()->x(), page.width() / 2);
    EXPECT_LT(page.List()->y(), page.Output()->y());
    EXPECT_LT(page.Output()->y(), page.IpLabel()->y());
    EXPECT_EQ(page.IpLabel()->y(), page.HelpLink()->y());
}

TEST(PortPage, ServiceChoicesFillThePortAndCustomKeepsIt)
{
    CMorvaneMapportDlg page(nullptr);
    QComboBox* service = page.ServiceCombo();
    ASSERT_EQ(service->count(), 13);
    EXPECT_EQ(service->itemText(0), U("自定义端口"));
    EXPECT_EQ(service->itemText(1), QStringLiteral("DNS(53)"));
    EXPECT_EQ(service->itemText(5), QStringLiteral("HTTPS(443)"));
    EXPECT_EQ(service->itemText(10), QStringLiteral("SOCKS(1080)"));
    // TELNET is 23; 22 is SSH.
    EXPECT_EQ(service->itemText(11), QStringLiteral("SSH(22)"));
    EXPECT_EQ(service->itemText(12), QStringLiteral("TELNET(23)"));
    page.OnServiceChanged(5);
    EXPECT_EQ(page.PortEdit()->text(), QStringLiteral("443"));
    page.OnServiceChanged(12);
    EXPECT_EQ(page.PortEdit()->text(), QStringLiteral("23"));
    EXPECT_EQ(page.ProtocolCombo()->itemText(0), QStringLiteral("TCP"));
    EXPECT_EQ(page.ProtocolCombo()->itemText(1), QStringLiteral("UDP"));

    const int http = service->findText(QStringLiteral("HTTP(80)"));
    ASSERT_EQ(http, 4);
    page.OnServiceChanged(http);
    EXPECT_EQ(page.PortEdit()->text(), QStringLiteral("80"));
    page.OnServiceChanged(0);
    EXPECT_EQ(page.PortEdit()->text(), QStringLiteral("80"));
    page.OnServiceChanged(service->findText(QStringLiteral("PPTP(1723)")));
    EXPECT_EQ(page.PortEdit()->text(), QStringLiteral("1723"));
}

TEST(PortList, RowsShowTheirStateAndFailedResultsLeaveTheOpposite)
{
    CMorvaneMapportDlg page(nullptr);
    CMapPortList& list = *page.List();
    EXPECT_EQ(list.AddPortRow(8080, 0, 0, 0), 1);
    EXPECT_EQ(list.AddPortRow(8080, 0, 1, 1), -1);
    EXPECT_EQ(list.AddPortRow(8080, 1, 1, 1), 1);
    // Listed after login with op byte 2: only 1 counts as mapped.
    const uint8_t listedOp = 2;
    EXPECT_EQ(list.AddPortRow(21, 0, listedOp == 1 ? 1 : 0, 1), 1);
    EXPECT_EQ(list.item(0, 1)->text(), QStringLiteral("8080"));
    EXPECT_EQ(list.item(0, 2)->text(), QStringLiteral("TCP"));
    EXPECT_EQ(list.item(0, 3)->text(), U("TCP没有映射"));
    EXPECT_EQ(list.item(1, 3)->text(), U("UDP正在映射"));
    EXPECT_EQ(list.item(2, 3)->text(), U("TCP没有映射"));
    EXPECT_FALSE(list.Checked(0));
    EXPECT_TRUE(list.Checked(1));

    list.UpdatePortRow(8080, 1, 0, 1, true);
    EXPECT_EQ(list.Entry(0)->op, 1);
    EXPECT_EQ(list.item(0, 3)->text(), U("TCP正在映射"));
    EXPECT_TRUE(list.Checked(0));
    list.UpdatePortRow(8080, 0, 0, 1, false);  // a failed unmap leaves it mapped
    EXPECT_EQ(list.Entry(0)->op, 1);
    list.UpdatePortRow(8080, 1, 1, 0, false);  // a failed map leaves it unmapped
    EXPECT_EQ(list.item(1, 3)->text(), U("UDP没有映射"));
    EXPECT_TRUE(list.Checked(1));  // a refused request stored nothing: the box keeps its setting
    list.UpdatePortRow(8080, 1, 0, 0, false);
    EXPECT_TRUE(list.Checked(0));
    list.UpdatePortRow(8080, 1, 0, 1, true);  // an accepted one shows the stored allow byte
    list.UpdatePortRow(9999, 1, 0, 1, true);  // no such row
    EXPECT_EQ(list.RowCount(), 3);

    // The menu offers what the row's check box and state say.
    list.selectRow(0);
    auto items = list.ContextMenuItems();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0], std::make_pair(CMapPortList::kCancelMapping, U("取消映射")));
    EXPECT_EQ(items[1], std::make_pair(CMapPortList::kDisable, U("取消启用")));
    EXPECT_EQ(items[2], std::make_pair(CMapPortList::kDelete, U("删除端口映射")));
    list.selectRow(1);
    items = list.ContextMenuItems();
    EXPECT_EQ(items[0].first, CMapPortList::kStartMapping);
    EXPECT_EQ(items[1].first, CMapPortList::kDisable);
    list.UpdatePortRow(8080, 1, 1, 0, true);
    EXPECT_FALSE(list.Checked(1));
    EXPECT_EQ(list.ContextMenuItems()[1].first, CMapPortList::kEnable);
    list.clearSelection();
    EXPECT_TRUE(list.ContextMenuItems().empty());
}

TEST(PortPage, LaidOutAtAnySize)
{
    CMorvaneMapportDlg page(nullptr);
    // The add row's four controls, list, output and the help link.
    EXPECT_EQ(ExpectTiled(page, page.List()), 7);
    EXPECT_EQ(page.ServiceCombo()->y(), page.AddPortButton()->y());
    EXPECT_LT(page.PortEdit()->x(), page.AddPortButton()->x());
    EXPECT_LT(page.List()->y(), page.Output()->y());
    EXPECT_GT(page.HelpLink()->x(), page.width() / 2);
}

TEST(AboutPage, TextsLayoutAndUpdateButton)
{
    CMorvaneAbout page;
    page.resize(400, 500);
    page.show();
    EXPECT_EQ(page.Group()->title(), U("关于Morvane"));
    // What this program is, not a name-resolution service of telecom lines.
    const QString description = page.Description()->text();
    EXPECT_TRUE(description.startsWith(QStringLiteral("Morvane ")));
    EXPECT_TRUE(description.contains(U("路由器")));
    EXPECT_FALSE(description.contains(U("电信")));
    QApplication::processEvents();
    // The group centred at the top; the description above the version row, all of it inside.
    EXPECT_LE(std::abs(page.Group()->geometry().center().x() - 200), 1);
    EXPECT_EQ(page.Group()->y(), 10);
    const QRect inside = page.Group()->rect();
    for (QWidget* w : {static_cast<QWidget*>(page.Description()), static_cast<QWidget*>(page.VersionLabel()),
                       static_cast<QWidget*>(page.CheckButton())})
        EXPECT_TRUE(inside.contains(w->geometry()));
    EXPECT_LE(page.Description()->geometry().bottom(), page.VersionLabel()->y());
    EXPECT_LT(page.VersionLabel()->geometry().right(), page.CheckButton()->x());

    int launches = 0;
    CMorvaneAbout::SetUpdateLauncher([&launches] { return ++launches > 0; });
    CGuiEnvironment::Messages().clear();
    page.CheckButton()->click();
    page.CheckButton()->click();
    EXPECT_EQ(launches, 2);
    EXPECT_TRUE(CGuiEnvironment::Messages().isEmpty());
    // No updater beside the program (this test's own directory has none): said, not ignored.
    CMorvaneAbout::SetUpdateLauncher({});
    page.CheckButton()->click();
    EXPECT_EQ(CGuiEnvironment::Messages(), QStringList({CMorvaneAbout::NoUpdaterText()}));
    EXPECT_TRUE(CMorvaneAbout::NoUpdaterText().contains(QStringLiteral("Skelvar")));
}

// Version blocks are read from ELF notes; objcopy puts one into a copy of a small program.
class AboutVersion : public testing::Test {
protected:
    std::string WithNote(const std::vector<uint8_t>& block, uint32_t declaredSize)
    {
        const std::string dir = CGuiEnvironment::ScratchDir();
        std::vector<uint8_t> note;
        auto u32 = [&note](uint32_t v) {
            for (int i = 0; i < 4; ++i)
                note.push_back(static_cast<uint8_t>(v >> (8 * i)));
        };
        u32(8);
        u32(declaredSize);
        u32(platform::kVersionNoteType);
        for (char c : std::string("Morvane"))
            note.push_back(static_cast<uint8_t>(c));
        note.push_back(0);
        note.insert(note.end(), block.begin(), block.end());
        while (note.size() % 4)
            note.push_back(0);
        std::ofstream(dir + "/note", std::ios::binary)
            .write(reinterpret_cast<const char*>(note.data()), static_cast<std::streamsize>(note.size()));
        const std::string exe = dir + "/prog";
        const int rc =
            QProcess::execute(QStringLiteral("objcopy"),
                              {QStringLiteral("--add-section"),
                               QString::fromStdString(std::string(platform::kVersionNoteSection) + "=" + dir + "/note"),
                               QStringLiteral("/bin/true"), QString::fromStdString(exe)});
        EXPECT_EQ(rc, 0);
        return exe;
    }
};

TEST_F(AboutVersion, ProductVersionUnderTheFirstTranslationAndOversizedBlocksRefused)
{
    EXPECT_EQ(CMorvaneAbout::VersionSubBlock(0x0804u << 16 | 0x03A8u, "ProductVersion"),
              "\\StringFileInfo\\080403a8\\ProductVersion");

    platform::VersionDescription d;
    d.strings = {{"FileVersion", "9.9.9.9"}, {"ProductVersion", "2.5.0.17"}};
    std::vector<uint8_t> block = platform::BuildVersionBlock(d);
    ASSERT_FALSE(block.empty());
    QString text;
    ASSERT_TRUE(CMorvaneAbout::ReadVersionText(WithNote(block, static_cast<uint32_t>(block.size())), text));
    EXPECT_EQ(text, U("当前版本:2.5.0.17"));

    // Under another translation the value is looked up under that key.
    d.language = 0x0409;
    d.codePage = 0x04B0;
    block = platform::BuildVersionBlock(d);
    ASSERT_TRUE(CMorvaneAbout::ReadVersionText(WithNote(block, static_cast<uint32_t>(block.size())), text));
    EXPECT_EQ(text, U("当前版本:2.5.0.17"));

    // No ProductVersion: the label text ends at the colon.
    d.strings = {{"FileVersion", "1.0.0.0"}};
    block = platform::BuildVersionBlock(d);
    ASSERT_TRUE(CMorvaneAbout::ReadVersionText(WithNote(block, static_cast<uint32_t>(block.size())), text));
    EXPECT_EQ(text, U("当前版本:"));

    // A block of 2001 bytes is not read; neither is a program without a block.
    text = QStringLiteral("unchanged");
    EXPECT_FALSE(CMorvaneAbout::ReadVersionText(WithNote(std::vector<uint8_t>(2001, 0), 2001), text));
    EXPECT_FALSE(CMorvaneAbout::ReadVersionText("/bin/true", text));
    EXPECT_EQ(text, QStringLiteral("unchanged"));

    // The test program itself carries no note: the page shows the version it was built as.
    CMorvaneAbout page;
    EXPECT_EQ(page.VersionLabel()->text(), U("当前版本:") + QString::fromLatin1(gui::BuildVersion()));
    EXPECT_FALSE(QString::fromLatin1(gui::BuildVersion()).isEmpty());
}
