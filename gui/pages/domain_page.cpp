#include "gui/pages/domain_page.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QDateTime>
#include <QUrl>

#include <algorithm>
#include <cstring>
#include <map>

#include "shared/channel/dns_listener.h"
#include "gui/controls/list_head_ctrl.h"
#include "gui/messages.h"
#include "gui/shell/message_box.h"
#include "gui/strings.h"
#include "shared/base/ipv4.h"
#include "shared/packet/commands.h"

namespace {

// Shared by every domain list in the process, as one direction for all columns.
int g_sortDirection = 0;

using gui::Sentence;
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

QColor StateColour(const DomainRow& row)
{
    if (!row.statusKnown)
        return row.enabled == 1 ? QColor(0, 255, 0) : QColor(255, 0, 0);
    switch (row.status.state) {
    case kHostCurrent: return QColor(0, 200, 0);
    case kHostFailing: return QColor(230, 0, 0);
    case kHostPending: return QColor(240, 200, 0);
    default: return QColor(170, 170, 170);
    }
}

QString When(uint32_t seconds)
{
    return QDateTime::fromSecsSinceEpoch(seconds).toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

// The addresses the provider holds, IPv4 first; empty when none is known.
QString Held(const HostStatus& s)
{
    QStringList held;
    if (s.ipv4)
        held << QString::fromStdString(FormatIPv4(s.ipv4));
    if (!s.ipv6.empty())
        held << QString::fromStdString(s.ipv6);
    return held.join(QStringLiteral(", "));
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
            painter->setBrush(StateColour(*row));
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
        case CDomainListEx::kColumnName: {
            painter->setFont(ListFont(true));
            painter->setPen(QColor(0, 0, 255));
            // The cell was widened to cover the gap at the row's left edge; the name itself starts a
            // little inside the cell, or its first letter would be cut by the list's edge.
            const QString detail = CDomainListEx::DetailText(*row);
            QRect text = option.rect.adjusted(2, 0, -2, 0);
            if (detail.isEmpty()) {
                painter->drawText(text, Qt::AlignLeft | Qt::AlignVCenter, QString::fromUtf8(row->name.c_str()));
                break;
            }
            const QRect top(text.left(), text.top(), text.width(), text.height() / 2);
            const QRect bottom(text.left(), top.bottom(), text.width(), text.height() - top.height());
            painter->drawText(top, Qt::AlignLeft | Qt::AlignBottom, QString::fromUtf8(row->name.c_str()));
            QFont small = ListFont(false);
            // The list's font may be sized in pixels (then its point size reads -1).
            if (small.pixelSize() > 0)
                small.setPixelSize(std::max(9, small.pixelSize() * 9 / 10));
            else
                small.setPointSizeF(small.pointSizeF() * 0.9);
            painter->setFont(small);
            const bool failing = row->statusKnown && row->status.state == kHostFailing;
            painter->setPen(failing ? QColor(200, 0, 0) : QColor(90, 90, 90));
            painter->drawText(bottom, Qt::AlignLeft | Qt::AlignTop,
                              QFontMetrics(small).elidedText(detail, Qt::ElideRight, bottom.width()));
            break;
        }
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
    // The state in words where the circle cannot say it: tooltips and screen readers.
    const QString state = StateText(record);
    for (int column : {kColumnName, kColumnState}) {
        item(row, column)->setToolTip(state);
        item(row, column)->setData(Qt::AccessibleDescriptionRole, state);
    }
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
    m_rows.push_back(DomainRow{name, enabled, hostid, false, {}});
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
        // Until the service says more: waiting for the update, or off.
        if (m_rows[i].statusKnown) {
            m_rows[i].status.state = enabled ? kHostPending : kHostOff;
            m_rows[i].status.reason.clear();
        }
        ShowRow(static_cast<int>(i));
        viewport()->update();
        return;
    }
}

QString CDomainListEx::DetailText(const DomainRow& row)
{
    if (!row.statusKnown)
        return {};
    const HostStatus& s = row.status;
    const QString held = Held(s);
    switch (s.state) {
    case kHostCurrent:
        return s.updatedAt ? Sentence(QT_TRANSLATE_NOOP("Morvane", "%1,更新于%2"), {held, When(s.updatedAt)}) : held;
    case kHostFailing:
        return Sentence(QT_TRANSLATE_NOOP("Morvane", "更新失败: %1"), {QString::fromStdString(s.reason)});
    case kHostPending:
        return held.isEmpty() ? Sentence(QT_TRANSLATE_NOOP("Morvane", "等待更新"))
                              : Sentence(QT_TRANSLATE_NOOP("Morvane", "等待更新(服务商现为%1)"), {held});
    default:
        return held.isEmpty() ? Sentence(QT_TRANSLATE_NOOP("Morvane", "已停止"))
                              : Sentence(QT_TRANSLATE_NOOP("Morvane", "已停止(服务商现为%1)"), {held});
    }
}

QString CDomainListEx::StateText(const DomainRow& row)
{
    if (!row.statusKnown)
        return Text(row.enabled ? gui::IDS_STOP_RESOLVE : gui::IDS_START_RESOLVE);
    const HostStatus& s = row.status;
    QString state;
    switch (s.state) {
    case kHostCurrent: state = Sentence(QT_TRANSLATE_NOOP("Morvane", "已开启,服务商持有当前地址")); break;
    case kHostFailing: state = Sentence(QT_TRANSLATE_NOOP("Morvane", "已开启,但更新失败")); break;
    case kHostPending: state = Sentence(QT_TRANSLATE_NOOP("Morvane", "已开启,等待更新")); break;
    default: state = Sentence(QT_TRANSLATE_NOOP("Morvane", "已停止")); break;
    }
    QStringList lines{state};
    if (s.ipv4)
        lines << Sentence(QT_TRANSLATE_NOOP("Morvane", "IPv4地址: %1"), {QString::fromStdString(FormatIPv4(s.ipv4))});
    if (!s.ipv6.empty())
        lines << Sentence(QT_TRANSLATE_NOOP("Morvane", "IPv6地址: %1"), {QString::fromStdString(s.ipv6)});
    if (s.updatedAt)
        lines << Sentence(QT_TRANSLATE_NOOP("Morvane", "上次更新: %1"), {When(s.updatedAt)});
    if (s.triedAt && s.triedAt != s.updatedAt)
        lines << Sentence(QT_TRANSLATE_NOOP("Morvane", "上次尝试: %1"), {When(s.triedAt)});
    if (!s.reason.empty())
        lines << Sentence(QT_TRANSLATE_NOOP("Morvane", "原因: %1"), {QString::fromStdString(s.reason)});
    return lines.join(QLatin1Char('\n'));
}

std::vector<uint32_t> CDomainListEx::SetStatus(const std::vector<HostStatus>& list)
{
    std::vector<uint32_t> failing;
    for (const HostStatus& s : list) {
        for (std::size_t i = 0; i < m_rows.size(); ++i) {
            DomainRow& row = m_rows[i];
            if (row.hostid != s.hostid)
                continue;
            const bool wasFailing =
                row.statusKnown && row.status.state == kHostFailing && row.status.reason == s.reason;
            if (s.state == kHostFailing && !wasFailing)
                failing.push_back(s.hostid);
            // The service's switch is the truth: a switch-on stored while the provider was down is on.
            row.enabled = s.state == kHostOff ? 0 : 1;
            row.status = s;
            row.statusKnown = true;
            ShowRow(static_cast<int>(i));
            break;
        }
    }
    viewport()->update();
    return failing;
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
