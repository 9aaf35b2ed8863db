#include "gui/pages/port_page.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>

#include <algorithm>

#include "shared/channel/dns_listener.h"
#include "gui/messages.h"
#include "gui/shell/message_box.h"
#include "gui/strings.h"
#include "shared/packet/commands.h"
#include "shared/packet/records.h"

namespace {

using gui::Text;

QString ProtocolText(uint8_t type)
{
    const char* name = PortProtocolName(type);
    return name ? QString::fromLatin1(name) : QString();
}

QTableWidgetItem* PlainItem(const QString& text)
{
    auto* item = new QTableWidgetItem(text);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    item->setTextAlignment(Qt::AlignCenter);
    return item;
}

}  // namespace

const std::map<std::string, uint16_t>& ServicePorts()
{
    static const std::map<std::string, uint16_t> ports = {
        {"DNS(53)", 53},     {"FTP(21)", 21},       {"GOPHER(70)", 70}, {"HTTP(80)", 80},
        {"HTTPS(443)", 443}, {"NNTP(119)", 119},    {"POP(110)", 110},  {"PPTP(1723)", 1723},
        {"SMTP(25)", 25},    {"SOCKS(1080)", 1080}, {"SSH(22)", 22},    {"TELNET(23)", 23},
    };
    return ports;
}

CMapPortList::CMapPortList(QWidget* parent) : QTableWidget(0, 4, parent)
{
    setHorizontalHeaderLabels({Text(gui::IDS_COL_ENABLED), Text(gui::IDS_COL_SERVICE_PORT), Text(gui::IDS_COL_PROTOCOL),
                               Text(gui::IDS_COL_MAP_STATE)});
    horizontalHeader()->setDefaultAlignment(Qt::AlignCenter);
    horizontalHeader()->setStretchLastSection(false);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setTabKeyNavigation(false);
    verticalHeader()->hide();
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSortingEnabled(false);
    setContextMenuPolicy(Qt::CustomContextMenu);

    connect(this, &QTableWidget::itemChanged, this, &CMapPortList::OnItemChanged);
    connect(this, &QWidget::customContextMenuRequested, this, &CMapPortList::OnContextMenu);
    FitColumns();
}

void CMapPortList::FitColumns()
{
    // Each column at least as wide as its header (and the old design widths); what a wide window adds
    // is shared out in the same proportions. A window too narrow for the headers scrolls.
    static constexpr int kDesign[] = {80, 100, 100, 100};
    int natural[4];
    int total = 0;
    for (int c = 0; c < 4; ++c) {
        const QString text = model()->headerData(c, Qt::Horizontal).toString();
        natural[c] = std::max(kDesign[c], horizontalHeader()->fontMetrics().horizontalAdvance(text) + 16);
        total += natural[c];
    }
    const int extra = std::max(0, viewport()->width() - total);
    int given = 0;
    for (int c = 0; c < 4; ++c) {
        const int share = c == 3 ? extra - given : extra * natural[c] / total;
        given += share;
        setColumnWidth(c, natural[c] + share);
    }
}

void CMapPortList::resizeEvent(QResizeEvent* event)
{
    QTableWidget::resizeEvent(event);
    FitColumns();
}

void CMapPortList::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Delete && SelectedRow() >= 0) {
        event->accept();
        OnMenuCommand(kDelete);
        return;
    }
    QTableWidget::keyPressEvent(event);
}

CMapPortList::~CMapPortList() = default;

const PortMapEntry* CMapPortList::Entry(int row) const
{
    if (row < 0 || row >= RowCount())
        return nullptr;
    return &m_entries[static_cast<std::size_t>(row)];
}

bool CMapPortList::Checked(int row) const
{
    const QTableWidgetItem* check = item(row, 0);
    return check && check->checkState() == Qt::Checked;
}

int CMapPortList::FindRow(uint16_t port, uint8_t type) const
{
    for (int row = 0; row < RowCount(); ++row) {
        const PortMapEntry& e = m_entries[static_cast<std::size_t>(row)];
        if (e.port == port && e.type == type)
            return row;
    }
    return -1;
}

int CMapPortList::SelectedRow() const
{
    const QModelIndexList rows = selectionModel() ? selectionModel()->selectedRows() : QModelIndexList();
    if (rows.isEmpty())
        return -1;
    const int row = rows.front().row();
    return row < RowCount() ? row : -1;
}

void CMapPortList::SetCheck(int row, bool checked)
{
    QTableWidgetItem* check = item(row, 0);
    if (!check)
        return;
    m_settingCheck = true;
    check->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
    m_settingCheck = false;
}

void CMapPortList::ShowState(int row)
{
    const PortMapEntry& e = m_entries[static_cast<std::size_t>(row)];
    item(row, 3)->setText(ProtocolText(e.type) + Text(e.op ? gui::IDS_MAPPED : gui::IDS_NOT_MAPPED));
}

int CMapPortList::AddPortRow(uint16_t port, uint8_t type, uint8_t op, uint8_t allow)
{
    if (FindRow(port, type) >= 0)
        return -1;
    m_entries.push_back(PortMapEntry{port, op, type, allow});
    const int row = RowCount() - 1;
    m_settingCheck = true;
    insertRow(row);
    auto* check = new QTableWidgetItem;
    check->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
    check->setCheckState(allow ? Qt::Checked : Qt::Unchecked);
    setItem(row, 0, check);
    setItem(row, 1, PlainItem(QString::number(port)));
    setItem(row, 2, PlainItem(ProtocolText(type)));
    setItem(row, 3, PlainItem(QString()));
    m_settingCheck = false;
    ShowState(row);
    return 1;
}

void CMapPortList::UpdatePortRow(uint16_t port, uint8_t op, uint8_t type, uint8_t allow, bool ok)
{
    if (!ok)
        op = op ? 0 : 1;
    const int row = FindRow(port, type);
    if (row < 0)
        return;
    PortMapEntry& e = m_entries[static_cast<std::size_t>(row)];
    e.op = op;
    // The check box shows what the service stored: a refused request stored nothing, so the row
    // keeps its setting; an accepted one stored the allow byte of the reply. The record follows
    // the check box, so the context menu offers what a click would do.
    if (ok)
        e.allow = allow ? 1 : 0;
    ShowState(row);
    SetCheck(row, e.allow != 0);
    viewport()->update();
}

void CMapPortList::Send(uint16_t command, const PortMapEntry& entry)
{
    CDnsListener* channel = m_owner ? m_owner->Channel() : nullptr;
    if (channel)
        channel->SendPortEntries(command, std::vector<PortMapEntry>{entry});
}

void CMapPortList::RequestPort(int kind, uint16_t port, uint8_t type, uint8_t op, uint8_t allow,
                               std::function<void()> undo, bool removing)
{
    if (!m_owner || port == 0)
        return;
    const PortMapEntry entry{port, op, type, allow};
    if (kind == kMapNow) {
        m_owner->AppendOutput(gui::lines::PortRequest(port, type, op, removing));
        Send(CMD_MAP_PORTS, entry);
        if (IRequestWatch* watch = m_owner->RequestWatch())
            watch->Expect(CMD_MAP_PORTS,
                          gui::lines::PortResult(port, type, op, removing, false, Text(gui::IDS_NO_ANSWER)), 2,
                          std::move(undo));
    } else if (kind == kStoreAllow) {
        Send(allow ? CMD_STORE_PORTS : CMD_STORE_PORTS_ALT, entry);
    }
}

std::vector<std::pair<int, QString>> CMapPortList::ContextMenuItems() const
{
    const PortMapEntry* e = m_owner ? Entry(SelectedRow()) : nullptr;
    if (!e)
        return {};
    return {
        e->op ? std::make_pair(kCancelMapping, Text(gui::IDS_CANCEL_MAPPING))
              : std::make_pair(kStartMapping, Text(gui::IDS_START_MAPPING)),
        e->allow ? std::make_pair(kDisable, Text(gui::IDS_DISABLE)) : std::make_pair(kEnable, Text(gui::IDS_ENABLE)),
        std::make_pair(kDelete, Text(gui::IDS_REMOVE_PORT_MAPPING)),
    };
}

void CMapPortList::OnContextMenu(const QPoint& pos)
{
    const auto items = ContextMenuItems();
    if (items.empty())
        return;
    QMenu menu(this);
    for (const auto& [id, text] : items)
        menu.addAction(text)->setData(id);
    if (QAction* chosen = menu.exec(viewport()->mapToGlobal(pos)))
        OnMenuCommand(chosen->data().toInt());
}

void CMapPortList::OnMenuCommand(int id)
{
    const int row = SelectedRow();
    if (!m_owner || row < 0)
        return;
    const PortMapEntry e = m_entries[static_cast<std::size_t>(row)];
    switch (id) {
    case kStartMapping:
        if (e.op != 1)
            RequestPort(kMapNow, e.port, e.type, 1, e.allow ? 1 : 0);
        else
            m_owner->AppendOutput(Text(gui::IDS_ALREADY_IN_STATE));
        break;
    case kCancelMapping:
        if (e.op != 0)
            RequestPort(kMapNow, e.port, e.type, 0, e.allow ? 1 : 0);
        else
            m_owner->AppendOutput(Text(gui::IDS_ALREADY_IN_STATE));
        break;
    case kEnable:
    case kDisable: ToggleAllow(row); break;
    case kDelete:
        if (gui::AskQuestion(DeleteQuestion(e.port, e.type), {tr("删除"), tr("取消")}) == 0 &&
            FindRow(e.port, e.type) >= 0)
            DeleteRow(FindRow(e.port, e.type));
        break;
    default: break;
    }
}

QString CMapPortList::DeleteQuestion(uint16_t port, uint8_t type)
{
    return tr("删除端口 %1/%2 吗?它在路由器上的映射也会被删除。").arg(port).arg(gui::ProtocolName(type));
}

bool CMapPortList::TakeDeletedUnmapped(uint16_t port, uint8_t type)
{
    auto it = m_deletedUnmapped.find({port, type});
    if (it == m_deletedUnmapped.end())
        return false;
    m_deletedUnmapped.erase(it);
    return true;
}

// Undoing a switch the service never answered: the row (if still there) shows `allow` again.
static std::function<void()> RestoreAllow(CMapPortList* list, uint16_t port, uint8_t type, uint8_t allow)
{
    return [list, port, type, allow] { list->RestoreAllowSetting(port, type, allow); };
}

void CMapPortList::RemovePortRow(uint16_t port, uint8_t type)
{
    const int row = FindRow(port, type);
    if (row < 0)
        return;
    m_entries.erase(m_entries.begin() + row);
    removeRow(row);
}

void CMapPortList::RestoreAllowSetting(uint16_t port, uint8_t type, uint8_t allow)
{
    const int row = FindRow(port, type);
    if (row < 0)
        return;
    m_entries[static_cast<std::size_t>(row)].allow = allow;
    SetCheck(row, allow != 0);
}

void CMapPortList::ToggleAllow(int row)
{
    const bool was = Checked(row);
    const PortMapEntry e = m_entries[static_cast<std::size_t>(row)];
    const uint8_t now = was ? 0 : 1;
    RequestPort(kStoreAllow, e.port, e.type, e.op ? 1 : 0, now);
    if (!was && e.op != 1)
        RequestPort(kMapNow, e.port, e.type, 1, 1, RestoreAllow(this, e.port, e.type, e.allow));
    m_entries[static_cast<std::size_t>(row)].allow = now;
    SetCheck(row, now != 0);
}

void CMapPortList::DeleteRow(int row)
{
    const PortMapEntry e = m_entries[static_cast<std::size_t>(row)];
    const uint8_t allow = e.allow ? 1 : 0;
    if (m_owner && e.port != 0 && e.op == 0)
        m_deletedUnmapped.insert({e.port, e.type});
    // Unanswered, the row comes back as it was.
    RequestPort(
        kMapNow, e.port, e.type, 0, allow,
        [this, e] {
            if (FindRow(e.port, e.type) < 0)
                AddPortRow(e.port, e.type, e.op, e.allow);
        },
        true);
    if (m_owner && e.port != 0)
        Send(CMD_REMOVE_PORTS, PortMapEntry{e.port, 0, e.type, allow});
    // Gone at once: the unmap result that follows finds no row.
    m_entries.erase(m_entries.begin() + row);
    removeRow(row);
}

void CMapPortList::OnItemChanged(QTableWidgetItem* changed)
{
    // Only the user's clicks on a check box; our own updates are flagged.
    if (m_settingCheck || !changed || changed->column() != 0)
        return;
    const int row = changed->row();
    if (row < 0 || row >= RowCount())
        return;
    const bool before = changed->checkState() != Qt::Checked;
    PortMapEntry& e = m_entries[static_cast<std::size_t>(row)];
    e.allow = before ? 0 : 1;
    const PortMapEntry now = e;
    RequestPort(kStoreAllow, now.port, now.type, now.op ? 1 : 0, now.allow);
    if (before == false && now.op == 0)
        RequestPort(kMapNow, now.port, now.type, 1, 1, RestoreAllow(this, now.port, now.type, 0));
}
