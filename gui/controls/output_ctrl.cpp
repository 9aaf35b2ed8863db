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

void COutPutCtrl::AppendLine(const QString& line)
{
    addItem(line);
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
        lines << item(i)->text();
    return lines;
}

void COutPutCtrl::contextMenuEvent(QContextMenuEvent* event)
{
    QMenu menu(this);
    QAction* clearAction = menu.addAction(tr("清空输出"));
    if (menu.exec(event->globalPos()) == clearAction)
        OnMenuCommand(kClearCommand);
}
