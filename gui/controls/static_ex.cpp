#include "gui/controls/static_ex.h"

#include <QMouseEvent>

#include "gui/controls/hover.h"

CStaticEx::CStaticEx(const QString& text, QWidget* parent) : QLabel(text, parent), m_hover(new CHoverTracker(this))
{
    m_normalFont = font();
    m_underlineFont = m_normalFont;
    m_underlineFont.setUnderline(true);
    setFont(m_normalFont);
    setCursor(Qt::PointingHandCursor);
    setMouseTracking(true);
    // The button face behind the text, as the dialog around it.
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Button));
    setPalette(pal);
    ApplyColour();

    connect(m_hover, &CHoverTracker::entered, this, [this] {
        setFont(m_underlineFont);
        update();
    });
    connect(m_hover, &CHoverTracker::left, this, [this] {
        setFont(m_normalFont);
        update();
    });
}

bool CStaticEx::Over() const
{
    return m_hover->Over();
}

bool CStaticEx::TimerRunning() const
{
    return m_hover->TimerRunning();
}

void CStaticEx::SetTextColour(const QColor& colour)
{
    m_textColour = colour;
    ApplyColour();
}

void CStaticEx::ApplyColour()
{
    QPalette pal = palette();
    pal.setColor(QPalette::WindowText, m_textColour);
    setPalette(pal);
}

void CStaticEx::mouseMoveEvent(QMouseEvent* event)
{
    m_hover->OnMouseMove();
    QLabel::mouseMoveEvent(event);
}

void CStaticEx::mousePressEvent(QMouseEvent* event)
{
    m_hover->OnMousePress(event);
    QLabel::mousePressEvent(event);
}

void CStaticEx::mouseReleaseEvent(QMouseEvent* event)
{
    const bool click = m_hover->OnMouseRelease(event);
    QLabel::mouseReleaseEvent(event);
    if (click)
        emit clicked();
}
