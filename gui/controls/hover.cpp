#include "gui/controls/hover.h"

#include <QCursor>
#include <QMouseEvent>
#include <QWidget>

#include <utility>

namespace {
std::function<QPoint()>& CursorSource()
{
    static std::function<QPoint()> source;
    return source;
}
}  // namespace

CHoverTracker::CHoverTracker(QWidget* control) : QObject(control), m_control(control)
{
    m_timer.setInterval(kPeriodMs);
    connect(&m_timer, &QTimer::timeout, this, &CHoverTracker::OnTimer);
}

void CHoverTracker::SetCursorSource(std::function<QPoint()> source)
{
    CursorSource() = std::move(source);
}

QPoint CHoverTracker::CursorPos()
{
    return CursorSource() ? CursorSource()() : QCursor::pos();
}

void CHoverTracker::OnMouseMove()
{
    if (m_over)
        return;
    m_over = true;
    emit entered();
    m_timer.start();
}

void CHoverTracker::Reset()
{
    m_over = false;
}

void CHoverTracker::OnTimer()
{
    const QPoint local = m_control->mapFromGlobal(CursorPos());
    if (m_control->rect().contains(local))
        return;
    m_over = false;
    m_timer.stop();
    emit left();
}

void CHoverTracker::OnMousePress(const QMouseEvent* event)
{
    m_pressed = event->button() == Qt::LeftButton;
}

bool CHoverTracker::OnMouseRelease(const QMouseEvent* event)
{
    const bool click =
        m_pressed && event->button() == Qt::LeftButton && m_control->rect().contains(event->position().toPoint());
    m_pressed = false;
    return click;
}
