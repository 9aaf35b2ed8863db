#include <QDesktopServices>
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
#include "gui/strings.h"
#include "shared/base/ipv4.h"
#include "shared/packet/records.h"

namespace {

QString Text(int id)
{
    return QString::fromUtf8(gui::LoadStringText(id));
}

static_assert(kNetTypes[0].textId == gui::IDS_NET_UNKNOWN && kNetTypes[1].textId == gui::IDS_NET_DYNAMIC &&
              kNetTypes[2].textId == gui::IDS_NET_TELECOM && kNetTypes[3].textId == gui::IDS_NET_NETCOM &&
              kNetTypes[4].textId == gui::IDS_NET_EDUCATION && kNetTypes[5].textId == gui::IDS_NET_FOREIGN);

QString NetTypeText(int code)
{
    const NetTypeNames* type = FindNetType(code);
    return type ? Text(type->textId) : QString();
}

// The status row sits 13 pixels above the page's bottom edge, which is the window's frame, as laid
// out for a 12-pixel font. A font whose line box is taller would write its lowest pixels over that
// frame, so the text is drawn as high as its label allows (the label itself keeps its place).
void RaiseStatusText(QLabel* label)
{
    const int spare = label->height() - QFontMetrics(label->font()).height() + 1;
    if (spare <= 0)
        return;
    label->setContentsMargins(0, 0, 0, spare);
    label->setAlignment((label->alignment() & Qt::AlignHorizontal_Mask) | Qt::AlignBottom);
}

void OpenSite()
{
    QDesktopServices::openUrl(QUrl(QString::fromUtf8(gui::SiteUrl())));
}

}  // namespace

CDomainlstSheet::CDomainlstSheet(CDnsListener* channel, QWidget* parent)
    : QWidget(parent),
      m_channel(channel),
      m_list(new CDomainListEx(this)),
      m_add(new QPushButton(QString::fromUtf8("添加"), this)),
      m_update(new QPushButton(QString::fromUtf8("更新"), this)),
      m_ipCaption(new QLabel(QString::fromUtf8("你当前公网IP:"), this)),
      m_ip(new QLabel(QString::fromUtf8("静态"), this)),
      m_netTypeCaption(new QLabel(QString::fromUtf8("接入商:"), this)),
      m_netType(new QLabel(QString::fromUtf8("静态"), this)),
      m_help(new CHyperLink2(QString::fromUtf8("域名管理帮助"), this)),
      m_output(new COutPutCtrl(this))
{
    m_list->SetOwner(this);
    m_add->setFixedSize(60, 22);
    m_update->setFixedSize(60, 22);
    m_ipCaption->adjustSize();
    m_ip->setFixedSize(100, m_ipCaption->height());
    m_netTypeCaption->adjustSize();
    m_netType->setFixedSize(80, m_netTypeCaption->height());
    m_help->SetURL(QString::fromUtf8(gui::SiteUrl()));
    for (QLabel* label : {m_ipCaption, m_ip, m_netTypeCaption, m_netType, static_cast<QLabel*>(m_help)})
        RaiseStatusText(label);

    connect(m_add, &QPushButton::clicked, this, &CDomainlstSheet::OnAdd);
    connect(m_update, &QPushButton::clicked, this, &CDomainlstSheet::OnUpdate);

    resize(369, 540);
    Layout();
}

CDomainlstSheet::~CDomainlstSheet() = default;

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
    // Written whether or not the datagram left: no reply will come either way.
    AppendOutput(Text(gui::IDS_REQUEST) + Text(gui::IDS_UPDATE_DOMAIN_LIST));
}

void CDomainlstSheet::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    Layout();
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

void CDomainlstSheet::Layout()
{
    const int w = width();
    const int h = height();
    m_update->move(w - 10 - m_update->width(), 0);
    m_add->move(w - m_add->width() - 12 - m_add->width(), 0);
    const int listTop = std::max(m_add->height(), m_update->height()) + 5;
    m_list->setGeometry(10, listTop, std::max(0, w - 20), std::max(0, h - 80 - listTop));
    m_output->setGeometry(10, h - 82, std::max(0, w - 20), 82 - 15);
    const int row = h - 13;
    m_ipCaption->move(2, row);
    m_ip->move(m_ipCaption->x() + m_ipCaption->width() + 2, row);
    m_netTypeCaption->move(m_ip->x() + m_ip->width() + 10, row);
    m_netType->move(m_netTypeCaption->x() + m_netTypeCaption->width() + 2, row);
    m_help->move(w - 4 - m_help->width(), row);
}
