#include "app/window/window_style.h"

#include <QPalette>
#include <QWidget>

namespace kalvix {

QFont WindowFont() {
  QFont font("Liberation Mono");
  font.setStyleHint(QFont::Monospace);
  font.setBold(true);
  font.setPixelSize(13);
  return font;
}

void ApplyWindowStyle(QWidget* widget) {
  widget->setFont(WindowFont());
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, kNavy);
  palette.setColor(QPalette::Text, kNavy);
  palette.setColor(QPalette::ButtonText, kNavy);
  widget->setPalette(palette);
}

}  // namespace kalvix
