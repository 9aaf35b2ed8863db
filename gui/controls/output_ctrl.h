#pragma once
// COutPutCtrl: the request/result lines under a page. Lines stay in the order they were added;
// the newest line is selected so the list scrolls to it. A right click offers "清空输出".

#include <QListWidget>

class COutPutCtrl : public QListWidget {
    Q_OBJECT
public:
    static constexpr int kClearCommand = 32771;

    explicit COutPutCtrl(QWidget* parent = nullptr);

    // Adds the line at the end and selects it.
    void AppendLine(const QString& line);
    // Context-menu command; kClearCommand removes every line, anything else is ignored.
    void OnMenuCommand(int id);
    QStringList Lines() const;

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
};
