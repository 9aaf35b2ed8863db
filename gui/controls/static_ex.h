#pragma once
// CStaticEx: a clickable text (the login dialog's "找回密码"). Underlined while the mouse is over
// it, hand cursor, blue text; the owner decides what a click does.

#include <QColor>
#include <QFont>
#include <QLabel>

class CHoverTracker;

class CStaticEx : public QLabel {
    Q_OBJECT
public:
    explicit CStaticEx(const QString& text = QString(), QWidget* parent = nullptr);

    bool Over() const;
    bool TimerRunning() const;
    QColor TextColour() const { return m_textColour; }
    void SetTextColour(const QColor& colour);

signals:
    void clicked();

protected:
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void ApplyColour();

    CHoverTracker* m_hover;
    QFont m_normalFont;
    QFont m_underlineFont;
    QColor m_textColour{0, 0, 238};
};
