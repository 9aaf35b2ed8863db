#include "gui/shell/resources.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>

namespace gui {

namespace {

QPixmap IconPixmap(int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient fill(0, 0, 0, size);
    fill.setColorAt(0, QColor(58, 132, 214));
    fill.setColorAt(1, QColor(22, 74, 150));
    p.setBrush(fill);
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(QRectF(0.5, 0.5, size - 1.0, size - 1.0), size / 5.0, size / 5.0);
    QFont font;
    font.setBold(true);
    font.setPixelSize(size * 2 / 3);
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(QRect(0, 0, size, size), Qt::AlignCenter, QStringLiteral("M"));
    return pixmap;
}

}  // namespace

QIcon AppIcon()
{
    QIcon icon;
    for (int size : {16, 32, 48})
        icon.addPixmap(IconPixmap(size));
    return icon;
}

QPixmap BannerPixmap(int width, int height)
{
    QPixmap pixmap(width, height);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient fill(0, 0, width, height);
    fill.setColorAt(0, QColor(22, 74, 150));
    fill.setColorAt(1, QColor(80, 160, 230));
    p.fillRect(pixmap.rect(), fill);
    p.drawPixmap(14, (height - 36) / 2, IconPixmap(36));
    QFont font;
    font.setBold(true);
    font.setPixelSize(height * 2 / 5);
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(QRect(60, 0, width - 70, height), Qt::AlignVCenter | Qt::AlignLeft, QStringLiteral("Morvane"));
    return pixmap;
}

}  // namespace gui
