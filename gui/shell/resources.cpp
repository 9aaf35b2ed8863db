#include "gui/shell/resources.h"

#include <QGuiApplication>
#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QSvgRenderer>

namespace gui {

extern const char kLogoSvg[];  // generated from packaging/morvane.svg

namespace {

// The program's logo (packaging/morvane.svg, built in): drawn at whatever size is asked, so it
// stays sharp at any scale.
QSvgRenderer& Logo()
{
    static QSvgRenderer renderer{QByteArray(kLogoSvg)};
    return renderer;
}

QPixmap LogoPixmap(int size, qreal ratio)
{
    const int device = qRound(size * ratio);
    QPixmap pixmap(device, device);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    Logo().render(&p, QRectF(0, 0, device, device));
    p.end();
    pixmap.setDevicePixelRatio(ratio);
    return pixmap;
}

// A drawn stand-in for builds without the logo.
QPixmap IconPixmap(int size)
{
    if (Logo().isValid())
        return LogoPixmap(size, 1.0);
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
    // Drawn once: the window, the dialogs and the tray all use it.
    static const QIcon icon = [] {
        QIcon drawn;
        for (int size : {16, 22, 24, 32, 48, 64, 96, 128, 256})
            drawn.addPixmap(IconPixmap(size));
        return drawn;
    }();
    return icon;
}

QPixmap BannerPixmap(int width, int height)
{
    // Painted at the screen's pixel density, so the banner is sharp when the desktop is scaled.
    const qreal ratio = qApp ? qApp->devicePixelRatio() : 1.0;
    QPixmap pixmap(qRound(width * ratio), qRound(height * ratio));
    pixmap.setDevicePixelRatio(ratio);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient fill(0, 0, width, height);
    fill.setColorAt(0, QColor(22, 74, 150));
    fill.setColorAt(1, QColor(80, 160, 230));
    p.fillRect(QRect(0, 0, width, height), fill);
    if (Logo().isValid())
        Logo().render(&p, QRectF(14, (height - 40) / 2.0, 40, 40));
    else
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
