#include "gui/pages/domain_page.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QUrl>

#include <algorithm>
#include <cstring>
#include <map>

#include "shared/channel/dns_listener.h"
#include "gui/controls/list_head_ctrl.h"
#include "gui/messages.h"
#include "gui/shell/message_box.h"
#include "gui/strings.h"
#include "shared/packet/commands.h"

namespace {

// Shared by every domain list in the process, as one direction for all columns.
int g_sortDirection = 0;

using gui::Text;

QFont ListFont(bool underline)
{
    QFont font = CListHeadCtrl::HeaderFont();
    font.setUnderline(underline);
    return font;
}

int CompareRows(const DomainRow& a, const DomainRow& b, int column)
{
    int result = 0;
    if (column == CDomainListEx::kColumnName) {
        const int c = std::strcmp(a.name.c_str(), b.name.c_str());
        result = c < 0 ? -1 : (c > 0 ? 1 : 0);
    } else if (column == CDomainListEx::kColumnSwitch || column == CDomainListEx::kColumnState) {
        result = a.enabled > b.enabled ? -1 : (a.enabled < b.enabled ? 1 : 0);
    }
    return g_sortDirection == 0 ? -result : result;
}

// Draws the three kinds of cell; the list's records say what to draw.
class CDomainDelegate : public QStyledItemDelegate {
public:
    explicit CDomainDelegate(CDomainListEx* list) : QStyledItemDelegate(list), m_list(list) {}

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        const DomainRow* row = m_list->Row(index.row());
        QRect cell = option.rect;
        if (index.column() == CDomainListEx::kColumnName)
            cell.adjust(-2, 0, 0, 0);
        painter->save();
        const bool selected = option.state & QStyle::State_Selected;
        painter->fillRect(cell, option.palette.brush(selected ? QPalette::Highlight : QPalette::Base));
        if (!row) {
            painter->restore();
            return;
        }
        switch (index.column()) {
        case CDomainListEx::kColumnState: {
            painter->setRenderHint(QPainter::Antialiasing);
            painter->setPen(Qt::black);
            painter->setBrush(row->enabled == 1 ? QColor(0, 255, 0) : QColor(255, 0, 0));
            const QPoint centre = cell.center();
            painter->drawEllipse(QRect(centre.x() - 10, centre.y() - 10, 20, 20));
            break;
        }
        case CDomainListEx::kColumnSwitch: {
            QStyleOptionButton button;
            button.rect = cell.adjusted(5, 5, -5, -5);
            button.state = QStyle::State_Enabled | QStyle::State_Raised;
            m_list->style()->drawControl(QStyle::CE_PushButtonBevel, &button, painter, m_list);
            painter->setFont(ListFont(false));
            painter->setPen(Qt::black);
            painter->drawText(cell, Qt::AlignCenter,
                              Text(row->enabled ? gui::IDS_STOP_RESOLVE : gui::IDS_START_RESOLVE));
            break;
        }
        case CDomainListEx::kColumnName:
            painter->setFont(ListFont(true));
            painter->setPen(QColor(0, 0, 255));
            // The cell was widened to cover the gap at the row's left edge; the name itself starts a
            // little inside the cell, or its first letter would be cut by the list's edge.
            painter->drawText(option.rect.adjusted(2, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter,
                              QString::fromUtf8(row->name.c_str()));
            break;
        default: painter->drawText(cell, Qt::AlignCenter, index.data().toString()); break;
        }
        painter->restore();
    }

private:
    CDomainListEx* m_list;
};

}  // namespace

CDomainListEx::CDomainListEx(QWidget* parent) : QTableWidget(0, 3, parent)
{
    auto* header = new CListHeadCtrl(this);
    setHorizontalHeader(header);
    setHorizontalHeaderLabels({Text(gui::IDS_COL_DOMAIN), Text(gui::IDS_COL_START_STOP), Text(gui::IDS_COL_STATE)});
    header->setStretchLastSection(false);
    header->setSectionResizeMode(QHeaderView::Fixed);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    // Tab leaves the list; the arrows move in it.
    setTabKeyNavigation(false);
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(kRowHeight);
    verticalHeader()->setMinimumSectionSize(kRowHeight);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setShowGrid(true);
    setSortingEnabled(false);
    setFrameShape(QFrame::StyledPanel);
    setFrameShadow(QFrame::Sunken);
    setItemDelegate(new CDomainDelegate(this));

    connect(this, &QTableWidget::cellClicked, this, &CDomainListEx::OnClick);
    connect(header, &QHeaderView::sectionClicked, this, &CDomainListEx::OnColumnClick);
    FitColumns();
}

void CDomainListEx::FitColumns()
{
    // The button and the circle get what their texts need; the name takes the rest, and at least its
    // header's width (a narrow window scrolls rather than cutting a header).
    const QFontMetrics metrics(ListFont(false));
    const auto* header = static_cast<const CListHeadCtrl*>(horizontalHeader());
    auto need = [header](int column) { return header->SectionWidth(column); };
    const int button = std::max({need(kColumnSwitch), metrics.horizontalAdvance(Text(gui::IDS_START_RESOLVE)) + 24,
                                 metrics.horizontalAdvance(Text(gui::IDS_STOP_RESOLVE)) + 24, 100});
    const int state = std::max(need(kColumnState), 60);
    const int name = std::max({need(kColumnName), 120, viewport()->width() - button - state});
    setColumnWidth(kColumnName, name);
    setColumnWidth(kColumnSwitch, button);
    setColumnWidth(kColumnState, state);
}

void CDomainListEx::resizeEvent(QResizeEvent* event)
{
    QTableWidget::resizeEvent(event);
    FitColumns();
}

void CDomainListEx::keyPressEvent(QKeyEvent* event)
{
    const int key = event->key();
    if ((key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter) &&
        event->modifiers() == Qt::NoModifier) {
        if (Row(currentRow())) {
            event->accept();
            OnClick(currentRow(), kColumnSwitch);
            return;
        }
    }
    QTableWidget::keyPressEvent(event);
}

QString CDomainListEx::NameOf(uint32_t hostid) const
{
    for (const DomainRow& row : m_rows)
        if (row.hostid == hostid)
            return QString::fromUtf8(row.name.c_str());
    return QString::number(hostid);
}

CDomainListEx::~CDomainListEx()
{
    ClearDomains();
}

const DomainRow* CDomainListEx::Row(int row) const
{
    if (row < 0 || row >= RowCount())
        return nullptr;
    return &m_rows[static_cast<std::size_t>(row)];
}

int CDomainListEx::SortDirection()
{
    return g_sortDirection;
}

void CDomainListEx::ShowRow(int row)
{
    const DomainRow& record = m_rows[static_cast<std::size_t>(row)];
    auto cell = [this, row](int column, const QString& text) {
        QTableWidgetItem* item = this->item(row, column);
        if (!item) {
            item = new QTableWidgetItem;
            item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
            setItem(row, column, item);
        }
        item->setText(text);
    };
    cell(kColumnName, QString::fromUtf8(record.name.c_str()));
    cell(kColumnSwitch, Text(record.enabled ? gui::IDS_STOP_RESOLVE : gui::IDS_START_RESOLVE));
    cell(kColumnState, QString());
}

void CDomainListEx::AddDomainRow(const std::string& name, uint32_t hostid, uint8_t enabled)
{
    for (std::size_t i = 0; i < m_rows.size(); ++i) {
        if (m_rows[i].hostid == hostid) {
            removeRow(static_cast<int>(i));
            m_rows.erase(m_rows.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
    }
    m_rows.push_back(DomainRow{name, enabled, hostid});
    const int row = RowCount() - 1;
    insertRow(row);
    setRowHeight(row, kRowHeight);
    ShowRow(row);
}

void CDomainListEx::SetDomainState(uint32_t hostid, uint8_t enabled)
{
    for (std::size_t i = 0; i < m_rows.size(); ++i) {
        if (m_rows[i].hostid != hostid)
            continue;
        m_rows[i].enabled = enabled;
        ShowRow(static_cast<int>(i));
        viewport()->update();
        return;
    }
}

void CDomainListEx::ClearDomains()
{
    m_rows.clear();
    setRowCount(0);
}

void CDomainListEx::OnClick(int row, int column)
{
    const DomainRow* record = Row(row);
    if (!record)
        return;
    if (column == kColumnName) {
        const std::string& name = record->name;
        const std::string url = name.rfind("http://", 0) == 0 ? name : "http://" + name;
        gui::OpenUrl(QString::fromUtf8(url.c_str()));
        return;
    }
    if (column != kColumnSwitch)
        return;
    const uint32_t hostid = record->hostid;
    const uint8_t shown = record->enabled;
    const uint8_t wanted = record->enabled ? 0 : 1;
    const QString name = QString::fromUtf8(record->name.c_str());
    if (m_owner)
        m_owner->AppendOutput(gui::lines::DomainRequest(name, wanted != 0));
    // Show the requested state at once; the reply confirms it or sets it back.
    SetDomainState(hostid, wanted);
    if (m_owner && m_owner->Channel())
        m_owner->Channel()->SendDomainFlags(std::map<uint32_t, uint8_t>{{hostid, wanted}});
    if (m_owner && m_owner->RequestWatch())
        m_owner->RequestWatch()->Expect(CMD_SET_DOMAIN_STATE, gui::lines::DomainNoAnswer(name, wanted != 0), 0,
                                        [this, hostid, shown] { SetDomainState(hostid, shown); });
}

void CDomainListEx::OnColumnClick(int column)
{
    std::stable_sort(m_rows.begin(), m_rows.end(),
                     [column](const DomainRow& a, const DomainRow& b) { return CompareRows(a, b, column) < 0; });
    for (int row = 0; row < RowCount(); ++row)
        ShowRow(row);
    // The header's arrow: names sort descending first; the state columns put stopped rows
    // (the lower value) first.
    const bool ascending = column == kColumnName ? g_sortDirection != 0 : g_sortDirection == 0;
    horizontalHeader()->setSortIndicatorShown(true);
    horizontalHeader()->setSortIndicator(column, ascending ? Qt::AscendingOrder : Qt::DescendingOrder);
    viewport()->update();
    g_sortDirection = g_sortDirection ? 0 : 1;
}
