#include <QComboBox>
#include <QBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>

#include <algorithm>

#include "shared/channel/dns_listener.h"
#include "gui/controls/hyperlink2.h"
#include "gui/controls/link_open.h"
#include "gui/controls/output_ctrl.h"
#include "gui/messages.h"
#include "gui/pages/pages.h"
#include "gui/pages/port_page.h"
#include "gui/strings.h"
#include "shared/packet/commands.h"

namespace {

using gui::Text;

}  // namespace

CMorvaneMapportDlg::CMorvaneMapportDlg(CDnsListener* channel, QWidget* parent)
    : QWidget(parent), m_channel(channel), m_service(new QComboBox(this)), m_port(new QLineEdit(this)),
      m_protocol(new QComboBox(this)), m_addPort(new QPushButton(tr("添加端口"), this)), m_list(new CMapPortList(this)),
      m_output(new COutPutCtrl(this)), m_help(new CHyperLink2(tr("端口使用帮助"), this))
{
    m_list->SetOwner(this);

    m_service->addItem(Text(gui::IDS_CUSTOM_PORT));
    for (const auto& [label, port] : ServicePorts())
        m_service->addItem(QString::fromStdString(label));
    m_service->setCurrentIndex(0);
    m_protocol->addItems({QStringLiteral("TCP"), QStringLiteral("UDP")});
    m_protocol->setCurrentIndex(0);
    m_help->SetURL(gui::SitePage(gui::kSitePortHelp));
    m_help->SetGuideSection(QString::fromLatin1(gui::kGuidePorts));
    m_service->setMinimumSize(110, 22);
    m_port->setFixedWidth(60);
    m_protocol->setMinimumSize(60, 22);
    m_addPort->setMinimumSize(70, 22);
    m_output->setFixedHeight(68);
    m_list->setMinimumHeight(60);

    // The add row on top, the list below it taking what room there is, the output list and the
    // help link at the bottom right.
    auto* add = new QHBoxLayout;
    add->setSpacing(2);
    add->addWidget(m_service);
    add->addWidget(m_port);
    add->addWidget(m_protocol);
    add->addWidget(m_addPort);
    add->addStretch(1);
    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(5, 5, 5, 2);
    page->setSpacing(0);
    page->addLayout(add);
    page->addWidget(m_list, 1);
    page->addSpacing(2);
    page->addWidget(m_output);
    page->addWidget(m_help, 0, Qt::AlignRight);

    // Digits only; what the field refuses is said in the output list, once until the field changes.
    m_port->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), m_port));
    connect(m_port, &QLineEdit::inputRejected, this, [this] {
        if (m_refusalShown)
            return;
        m_refusalShown = true;
        AppendOutput(Text(gui::IDS_PORT_DIGITS_ONLY));
    });
    connect(m_port, &QLineEdit::textChanged, this, [this] { m_refusalShown = false; });
    // Return in the field adds the port.
    m_port->installEventFilter(this);
    setTabOrder(m_service, m_port);
    setTabOrder(m_port, m_protocol);
    setTabOrder(m_protocol, m_addPort);
    setTabOrder(m_addPort, m_list);
    setTabOrder(m_list, m_output);
    setTabOrder(m_output, m_help);
    connect(m_service, &QComboBox::activated, this, &CMorvaneMapportDlg::OnServiceChanged);
    connect(m_addPort, &QPushButton::clicked, this, &CMorvaneMapportDlg::OnAddPort);

    resize(369, 535);
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
    if (text.isEmpty()) {
        AppendOutput(Text(gui::IDS_PORT_EMPTY));
        return;
    }
    // Digits only; the value is counted without overflow so no long number can wrap into range.
    unsigned long value = 0;
    for (QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) {
            AppendOutput(Text(gui::IDS_PORT_DIGITS_ONLY));
            return;
        }
        if (value <= 65535)
            value = value * 10 + static_cast<unsigned long>(c.unicode() - '0');
    }
    if (value == 0 || value > 65535) {
        AppendOutput(gui::lines::PortOutOfRange(text));
        return;
    }
    const auto port = static_cast<uint16_t>(value);
    const auto type = static_cast<uint8_t>(m_protocol->currentIndex() == 1 ? 1 : 0);
    if (m_list->AddPortRow(port, type, 0, 0) < 0) {
        AppendOutput(gui::lines::PortDuplicate(port, type));
        return;
    }
    if (m_channel)
        m_channel->SendPortEntries(CMD_STORE_PORTS_BASIC, {PortMapEntry{port, 0, type, 0}});
    // Unanswered, the new row goes again: the service may not have stored it.
    m_list->RequestPort(CMapPortList::kMapNow, port, type, 1, 1,
                        [list = m_list, port, type] { list->RemovePortRow(port, type); });
}

bool CMorvaneMapportDlg::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_port && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            OnAddPort();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void CMorvaneMapportDlg::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}
