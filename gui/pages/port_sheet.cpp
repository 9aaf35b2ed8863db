#include <QComboBox>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>

#include "shared/channel/dns_listener.h"
#include "gui/controls/hyperlink2.h"
#include "gui/controls/output_ctrl.h"
#include "gui/pages/pages.h"
#include "gui/pages/port_page.h"
#include "gui/strings.h"
#include "shared/packet/commands.h"

namespace {

QString Text(int id)
{
    return QString::fromUtf8(gui::LoadStringText(id));
}

}  // namespace

CMorvaneMapportDlg::CMorvaneMapportDlg(CDnsListener* channel, QWidget* parent)
    : QWidget(parent),
      m_channel(channel),
      m_service(new QComboBox(this)),
      m_port(new QLineEdit(this)),
      m_protocol(new QComboBox(this)),
      m_addPort(new QPushButton(QString::fromUtf8("添加端口"), this)),
      m_list(new CMapPortList(this)),
      m_output(new COutPutCtrl(this)),
      m_help(new CHyperLink2(QString::fromUtf8("端口使用帮助"), this))
{
    m_list->SetOwner(this);

    m_service->addItem(Text(gui::IDS_CUSTOM_PORT));
    for (const auto& [label, port] : ServicePorts())
        m_service->addItem(QString::fromStdString(label));
    m_service->setCurrentIndex(0);
    m_protocol->addItems({QStringLiteral("TCP"), QStringLiteral("UDP")});
    m_protocol->setCurrentIndex(0);
    m_help->SetURL(QString::fromUtf8(gui::SiteUrl()));
    // The link sits 12 pixels above the bottom edge, the window's frame, as laid out for a 12-pixel
    // font; with a taller line box its text is drawn as high as the link allows instead of being cut.
    if (const int spare = m_help->height() - QFontMetrics(m_help->font()).height() + 1; spare > 0) {
        m_help->setContentsMargins(0, 0, 0, spare);
        m_help->setAlignment((m_help->alignment() & Qt::AlignHorizontal_Mask) | Qt::AlignBottom);
    }

    m_service->setFixedSize(110, 22);
    m_port->setFixedSize(60, 22);
    m_protocol->setFixedSize(60, 22);
    m_addPort->setFixedSize(70, 22);

    connect(m_service, &QComboBox::activated, this, &CMorvaneMapportDlg::OnServiceChanged);
    connect(m_addPort, &QPushButton::clicked, this, &CMorvaneMapportDlg::OnAddPort);

    resize(369, 535);
    Layout();
}

CMorvaneMapportDlg::~CMorvaneMapportDlg() = default;

CMapPortList* CMorvaneMapportDlg::List()
{
    return m_list;
}

void CMorvaneMapportDlg::AppendOutput(const QString& line)
{
    m_output->AppendLine(line);
}

void CMorvaneMapportDlg::OnServiceChanged(int index)
{
    if (index < 1)
        return;  // "自定义端口" leaves the edit as it is
    const auto& ports = ServicePorts();
    if (static_cast<std::size_t>(index) > ports.size())
        return;
    auto it = ports.begin();
    std::advance(it, index - 1);
    m_port->setText(QString::number(it->second));
}

void CMorvaneMapportDlg::OnAddPort()
{
    const QString text = m_port->text();
    if (text.isEmpty())
        return;
    // Digits only; the value is counted without overflow so no long number can wrap into range.
    unsigned long value = 0;
    for (QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return;
        if (value <= 65535)
            value = value * 10 + static_cast<unsigned long>(c.unicode() - '0');
    }
    if (value == 0 || value > 65535) {
        AppendOutput(QString::fromUtf8("端口号无效(1-65535): ") + text);
        return;
    }
    const auto port = static_cast<uint16_t>(value);
    const auto type = static_cast<uint8_t>(m_protocol->currentIndex() == 1 ? 1 : 0);
    if (m_list->AddPortRow(port, type, 0, 0) < 0) {
        AppendOutput(Text(gui::IDS_DUPLICATE));
        return;
    }
    if (m_channel)
        m_channel->SendPortEntries(CMD_STORE_PORTS_BASIC, {PortMapEntry{port, 0, type, 0}});
    m_list->RequestPort(CMapPortList::kMapNow, port, type, 1, 1);
}

void CMorvaneMapportDlg::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    Layout();
}

void CMorvaneMapportDlg::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void CMorvaneMapportDlg::Layout()
{
    const int w = width();
    const int h = height();
    m_service->move(5, 5);
    m_port->move(m_service->x() + m_service->width() + 2, 5);
    m_protocol->move(m_port->x() + m_port->width() + 2, 5);
    m_addPort->move(m_protocol->x() + m_protocol->width() + 2, 5);
    const int listTop = m_addPort->y() + m_addPort->height();
    m_list->setGeometry(5, listTop, std::max(0, w - 10), std::max(0, h - 82 - listTop));
    m_output->setGeometry(5, h - 82, std::max(0, w - 10), 68);
    m_help->move(w - 4 - m_help->width(), h - 12);
}
