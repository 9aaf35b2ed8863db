#pragma once
// Pictures the program draws for itself: the window icon and the login dialog's banner.

#include <QIcon>
#include <QPixmap>

namespace gui {

QIcon AppIcon();
QPixmap BannerPixmap(int width, int height);

}  // namespace gui
