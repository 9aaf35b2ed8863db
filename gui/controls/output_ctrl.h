#pragma once
// COutPutCtrl: the request/result lines under a page, each shown after the time it was added.
// Lines stay in the order they were added; the newest line is selected so the list scrolls to it.
// A right click offers "清空输出".

#include <QListWidget>
#include <QTime>

class COutPutCtrl : public QListWidget {
    Q_OBJECT
public:
    static constexpr int kClearCommand = 32771;

    explicit COutPutCtrl(QWidget* parent = nullptr);

    // Keeps this many lines; the oldest go first.
    static constexpr int kMaxLines = 500;

    // Adds the line at the end, after the time of day, and selects it.
    void AppendLine(const QString& line);
    // Context-menu command; kClearCommand removes every line, anything else is ignored.
    void OnMenuCommand(int id);
    // The lines as they were added, without their times.
    QStringList Lines() const;
    // When each line was added.
    QList<QTime> Times() const;

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
};
