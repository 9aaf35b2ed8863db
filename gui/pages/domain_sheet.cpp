#include <QBoxLayout>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QUrl>

#include <algorithm>
#include <vector>

#include "shared/channel/dns_listener.h"
#include "gui/controls/hyperlink2.h"
#include "gui/controls/link_open.h"
#include "gui/controls/output_ctrl.h"
#include "gui/pages/domain_page.h"
#include "gui/messages.h"
#include "gui/pages/pages.h"
#include "gui/shell/message_box.h"
#include "gui/strings.h"
#include "shared/base/ipv4.h"
#include "shared/packet/commands.h"
#include "shared/packet/records.h"

namespace {

using gui::Text;

static_assert(kNetTypes[0].textId == gui::IDS_NET_UNKNOWN && kNetTypes[1].textId == gui::IDS_NET_DYNAMIC &&
              kNetTypes[2].textId == gui::IDS_NET_TELECOM && kNetTypes[3].textId == gui::IDS_NET_NETCOM &&
              kNetTypes[4].textId == gui::IDS_NET_EDUCATION && kNetTypes[5].textId == gui::IDS_NET_FOREIGN &&
              kNetTypes[kNetTypeCarrierGradeNat].textId == gui::IDS_NET_CGNAT);

// Types that name a carrier line of one country: a translated program shows the provider's own
// name of the network instead, when it gives one.
bool IsCarrierLine(int code)
{
    return code >= 2 && code <= 4;
}

QString NetTypeText(int code, const QString& location)
{
    const NetTypeNames* type = FindNetType(code);
    if (!type)
        return QString();
    // Without a network type (a dyndns2 account) the location says where the address came from, or
    // why none is used.
    if (!location.isEmpty() && (code == 0 || code == kNetTypeCarrierGradeNat))
        return location;
    const bool translated = Text(type->textId) != QString::fromUtf8(gui::LoadStringText(type->textId));
    if (!location.isEmpty() && IsCarrierLine(code) && translated)
        return location;
    return location.isEmpty() ? Text(type->textId) : Text(type->textId) + QStringLiteral(", ") + location;
}

}  // namespace

CDomainlstSheet::CDomainlstSheet(CDnsListener* channel, QWidget* parent)
    : QWidget(parent), m_channel(channel), m_list(new CDomainListEx(this)), m_add(new QPushButton(tr("添加"), this)),
      m_update(new QPushButton(tr("更新"), this)), m_ipCaption(new QLabel(tr("你当前公网IP:"), this)),
      m_ip(new QLabel(tr("静态"), this)), m_ip6(new QLabel(this)), m_netTypeCaption(new QLabel(tr("接入商:"), this)),
      m_netType(new QLabel(tr("静态"), this)), m_help(new CHyperLink2(tr("域名管理帮助"), this)),
      m_output(new COutPutCtrl(this))
{
    m_list->SetOwner(this);
    m_add->setMinimumSize(60, 22);
    m_update->setMinimumSize(60, 22);
    // The address and network labels take the room their texts need, so the row fits narrow windows.
    m_ip->setMinimumWidth(QFontMetrics(m_ip->font()).horizontalAdvance(QStringLiteral("255.255.255.255")));
    m_help->SetURL(gui::SitePage(gui::kSiteDomainHelp));
    m_help->SetGuideSection(QString::fromLatin1(gui::kGuideDomains));
    m_output->setFixedHeight(67);

    // Buttons at the top right, the list taking what room there is, the output list, and the
    // status rows along the bottom.
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(2);
    buttons->addStretch(1);
    buttons->addWidget(m_add);
    buttons->addWidget(m_update);
    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(10, 0, 10, 2);
    page->setSpacing(5);
    page->addLayout(buttons);
    page->addWidget(m_list, 1);
    page->addWidget(m_output);
    // The IPv6 address on a line of its own right under the row that starts with the IPv4 address.
    for (QBoxLayout*& row : m_statusRows) {
        row = new QHBoxLayout;
        row->setSpacing(2);
        page->addLayout(row);
        if (&row == &m_statusRows[0])
            page->addWidget(m_ip6);
    }
    m_ip6->hide();
    m_list->setMinimumHeight(60);
    PlaceStatus();

    // The keyboard goes from the buttons to the list, the output and the help link.
    setTabOrder(m_add, m_update);
    setTabOrder(m_update, m_list);
    setTabOrder(m_list, m_output);
    setTabOrder(m_output, m_help);

    connect(m_add, &QPushButton::clicked, this, &CDomainlstSheet::OnAdd);
    connect(m_update, &QPushButton::clicked, this, &CDomainlstSheet::OnUpdate);

    resize(369, 540);
}

CDomainlstSheet::~CDomainlstSheet() = default;

void CDomainlstSheet::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    PlaceStatus();
}

void CDomainlstSheet::PlaceStatus()
{
    // Three pieces, each kept whole: the address, the network, the help link (at the right).
    const std::vector<std::vector<QWidget*>> pieces = {{m_ipCaption, m_ip}, {m_netTypeCaption, m_netType}, {m_help}};
    constexpr int kGap = 10;
    const int room = width() - 20;  // the page's side margins
    std::vector<int> rowOf(pieces.size());
    int row = 0;
    int used = 0;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        int need = 0;
        for (QWidget* w : pieces[i])
            need += std::max(w->sizeHint().width(), w->minimumWidth()) + 2;
        if (used > 0 && used + kGap + need > room) {
            ++row;
            used = 0;
        }
        used += (used > 0 ? kGap : 0) + need;
        rowOf[i] = row;
    }
    const int placement = rowOf[1] * 3 + rowOf[2];
    if (placement == m_statusPlacement)
        return;
    m_statusPlacement = placement;
    for (QBoxLayout* r : m_statusRows) {
        while (QLayoutItem* item = r->takeAt(0))
            delete item;  // widgets stay; only the layout items go
    }
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        QBoxLayout* r = m_statusRows[rowOf[i]];
        if (pieces[i].front() == m_help)
            r->addStretch(1);
        else if (r->count() > 0)
            r->addSpacing(kGap);
        for (QWidget* w : pieces[i])
            r->addWidget(w);
    }
    for (QBoxLayout* r : m_statusRows) {
        if (r->count() > 0 && r->indexOf(m_help) < 0)
            r->addStretch(1);
    }
}

CDomainListEx* CDomainlstSheet::List()
{
    return m_list;
}

void CDomainlstSheet::SetPublicIp(uint32_t address)
{
    m_ip->setText(QString::fromStdString(FormatIPv4(address)));
}

void CDomainlstSheet::SetPublicIpv6(bool reported, const std::array<uint8_t, 16>& address)
{
    bool any = std::any_of(address.begin(), address.end(), [](uint8_t b) { return b != 0; });
    m_ip6->setText(tr("公网IPv6: %1").arg(any ? QString::fromStdString(FormatIPv6(address)) : tr("静态")));
    m_ip6->setVisible(reported);
}

void CDomainlstSheet::SetNetType(int code, const QString& location)
{
    const QString text = NetTypeText(code, location);
    m_netType->setText(text);
    m_netType->setToolTip(text);
    PlaceStatus();
}

void CDomainlstSheet::AppendOutput(const QString& line)
{
    m_output->AppendLine(line);
}

void CDomainlstSheet::OnAdd()
{
    gui::OpenPage(gui::SitePage(gui::kSiteAddDomain), QString::fromLatin1(gui::kGuideAddingDomains));
}

void CDomainlstSheet::OnUpdate()
{
    if (!m_channel || !m_channel->HasSender())
        return;
    m_channel->RequestDomainList();
    // Written whether or not the datagram left; a missing answer is reported by the watch.
    AppendOutput(gui::lines::ListRequest());
    if (m_watch)
        m_watch->Expect(CMD_REFRESH_DOMAINS, gui::lines::ListNoAnswer(), 0, {});
}

void CDomainlstSheet::keyPressEvent(QKeyEvent* event)
{
    // Escape never closes the window around the page.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}
