#include <QDesktopServices>
#include <QBoxLayout>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QUrl>

#include <algorithm>

#include "shared/channel/dns_listener.h"
#include "gui/controls/hyperlink2.h"
#include "gui/controls/output_ctrl.h"
#include "gui/pages/domain_page.h"
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

QString NetTypeText(int code)
{
    const NetTypeNames* type = FindNetType(code);
    return type ? Text(type->textId) : QString();
}

void OpenSite()
{
    gui::OpenUrl(QString::fromUtf8(gui::SiteUrl()));
}

}  // namespace

CDomainlstSheet::CDomainlstSheet(CDnsListener* channel, QWidget* parent)
    : QWidget(parent), m_channel(channel), m_list(new CDomainListEx(this)), m_add(new QPushButton(tr("添加"), this)),
      m_update(new QPushButton(tr("更新"), this)), m_ipCaption(new QLabel(tr("你当前公网IP:"), this)),
      m_ip(new QLabel(tr("静态"), this)), m_netTypeCaption(new QLabel(tr("接入商:"), this)),
      m_netType(new QLabel(tr("静态"), this)), m_help(new CHyperLink2(tr("域名管理帮助"), this)),
      m_output(new COutPutCtrl(this))
{
    m_list->SetOwner(this);
    m_add->setMinimumSize(60, 22);
    m_update->setMinimumSize(60, 22);
    // The address and network labels take the room their texts need, so the row fits narrow windows.
    m_ip->setMinimumWidth(QFontMetrics(m_ip->font()).horizontalAdvance(QStringLiteral("255.255.255.255")));
    m_help->SetURL(QString::fromUtf8(gui::SiteUrl()));
    m_output->setFixedHeight(67);

    // Buttons at the top right, the list taking what room there is, the output list, and the
    // status row along the bottom.
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(2);
    buttons->addStretch(1);
    buttons->addWidget(m_add);
    buttons->addWidget(m_update);
    auto* status = new QHBoxLayout;
    status->setSpacing(2);
    status->addWidget(m_ipCaption);
    status->addWidget(m_ip);
    status->addSpacing(10);
    status->addWidget(m_netTypeCaption);
    status->addWidget(m_netType);
    status->addStretch(1);
    status->addWidget(m_help);
    m_statusRow = status;
    // Where the status row is too narrow for the help link, the link gets a row of its own.
    m_helpRow = new QHBoxLayout;
    m_helpRow->addStretch(1);
    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(10, 0, 10, 2);
    page->setSpacing(5);
    page->addLayout(buttons);
    page->addWidget(m_list, 1);
    page->addWidget(m_output);
    page->addLayout(status);
    page->addLayout(m_helpRow);
    m_list->setMinimumHeight(60);

    connect(m_add, &QPushButton::clicked, this, &CDomainlstSheet::OnAdd);
    connect(m_update, &QPushButton::clicked, this, &CDomainlstSheet::OnUpdate);

    resize(369, 540);
}

CDomainlstSheet::~CDomainlstSheet() = default;

void CDomainlstSheet::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    PlaceHelpLink();
}

void CDomainlstSheet::PlaceHelpLink()
{
    int need = 20 + 10 + 5 * 2;  // page margins, the gap before the network type, spacing
    for (QWidget* w :
         {static_cast<QWidget*>(m_ipCaption), static_cast<QWidget*>(m_ip), static_cast<QWidget*>(m_netTypeCaption),
          static_cast<QWidget*>(m_netType), static_cast<QWidget*>(m_help)})
        need += std::max(w->sizeHint().width(), w->minimumWidth());
    QBoxLayout* wanted = need <= width() ? m_statusRow : m_helpRow;
    if (wanted->indexOf(m_help) >= 0)
        return;
    (wanted == m_statusRow ? m_helpRow : m_statusRow)->removeWidget(m_help);
    wanted->addWidget(m_help);
}

CDomainListEx* CDomainlstSheet::List()
{
    return m_list;
}

void CDomainlstSheet::SetPublicIp(uint32_t address)
{
    m_ip->setText(QString::fromStdString(FormatIPv4(address)));
}

void CDomainlstSheet::SetNetType(int code)
{
    m_netType->setText(NetTypeText(code));
    PlaceHelpLink();
}

void CDomainlstSheet::AppendOutput(const QString& line)
{
    m_output->AppendLine(line);
}

void CDomainlstSheet::OnAdd()
{
    OpenSite();
}

void CDomainlstSheet::OnUpdate()
{
    if (!m_channel || !m_channel->HasSender())
        return;
    m_channel->RequestDomainList();
    // Written whether or not the datagram left; a missing answer is reported by the watch.
    AppendOutput(Text(gui::IDS_REQUEST) + Text(gui::IDS_UPDATE_DOMAIN_LIST));
    if (m_watch)
        m_watch->Expect(CMD_REFRESH_DOMAINS, Text(gui::IDS_UPDATE_DOMAIN_LIST), 0, {});
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
