#include "app/window/tray_icons.h"

#include <QPainter>
#include <QPixmap>

#include "app/window/window_style.h"

namespace kalvix {
namespace {

constexpr int kSize = 32;

// A navy disc with a coloured core: grey and a bar when stopped; green, with the core large
// or small, while running.
QIcon Draw(const QColor& core, int coreRadius, bool stoppedBar) {
  QPixmap pixmap(kSize, kSize);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(kNavy, 2));
  p.setBrush(Qt::white);
  p.drawEllipse(QRectF(1.5, 1.5, kSize - 3, kSize - 3));
  p.setPen(Qt::NoPen);
  p.setBrush(core);
  const double c = kSize / 2.0;
  p.drawEllipse(QPointF(c, c), coreRadius, coreRadius);
  if (stoppedBar) {
    p.setBrush(kRed);
    p.drawRect(QRectF(7, c - 2.5, kSize - 14, 5));
  }
  p.end();
  return QIcon(pixmap);
}

}  // namespace

std::array<QIcon, 3> MakeTrayIcons() {
  return {Draw(QColor(160, 160, 160), 10, true), Draw(kGreen, 11, false),
          Draw(QColor(0, 200, 0), 6, false)};
}

}  // namespace kalvix
