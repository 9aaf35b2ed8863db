#pragma once
// Hover tracking shared by the link-like labels: the first mouse move marks the control as
// hovered and starts a 100 ms timer; the timer notices when the cursor has left the control,
// even when it left the window altogether (no leave event is relied on).

#include <QObject>
#include <QPoint>
#include <QTimer>

#include <functional>

class QMouseEvent;
class QWidget;

class CHoverTracker : public QObject {
    Q_OBJECT
public:
    static constexpr int kTimerId = 100;
    static constexpr int kPeriodMs = 100;

    explicit CHoverTracker(QWidget* control);

    bool Over() const { return m_over; }
    bool TimerRunning() const { return m_timer.isActive(); }
    // Call from the control's mouse-move handler.
    void OnMouseMove();
    // Drops the hover state without a leave notification (the control was clicked).
    void Reset();
    // Click detection for the same controls: a left press, then a left release inside the control.
    // Call from the control's press and release handlers; the release reports whether it clicked.
    void OnMousePress(const QMouseEvent* event);
    bool OnMouseRelease(const QMouseEvent* event);

    // Where the cursor is, in global coordinates. Tests may replace it; an empty function
    // restores QCursor::pos.
    static void SetCursorSource(std::function<QPoint()> source);
    static QPoint CursorPos();

signals:
    void entered();
    void left();

private:
    void OnTimer();

    QWidget* m_control;
    QTimer m_timer;
    bool m_over = false;
    bool m_pressed = false;
};
