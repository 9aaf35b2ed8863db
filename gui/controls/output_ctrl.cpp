#include "gui/controls/output_ctrl.h"

#include <QContextMenuEvent>
#include <QMenu>

COutPutCtrl::COutPutCtrl(QWidget* parent) : QListWidget(parent)
{
    setSortingEnabled(false);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
}

namespace {
constexpr int kLineRole = Qt::UserRole;
constexpr int kTimeRole = Qt::UserRole + 1;
}  // namespace

void COutPutCtrl::AppendLine(const QString& line)
{
    const QTime now = QTime::currentTime();
    auto* item = new QListWidgetItem(now.toString(QStringLiteral("HH:mm:ss")) + QStringLiteral("  ") + line);
    item->setData(kLineRole, line);
    item->setData(kTimeRole, now);
    item->setToolTip(line);
    while (count() >= kMaxLines)
        delete takeItem(0);
    addItem(item);
    setCurrentRow(count() - 1);
    scrollToBottom();
}

void COutPutCtrl::OnMenuCommand(int id)
{
    if (id == kClearCommand)
        clear();
}

QStringList COutPutCtrl::Lines() const
{
    QStringList lines;
    for (int i = 0; i < count(); ++i)
        lines << item(i)->data(kLineRole).toString();
    return lines;
}

QList<QTime> COutPutCtrl::Times() const
{
    QList<QTime> times;
    for (int i = 0; i < count(); ++i)
        times << item(i)->data(kTimeRole).toTime();
    return times;
}

void COutPutCtrl::contextMenuEvent(QContextMenuEvent* event)
{
    QMenu menu(this);
    QAction* clearAction = menu.addAction(tr("清空输出"));
    if (menu.exec(event->globalPos()) == clearAction)
        OnMenuCommand(kClearCommand);
}
