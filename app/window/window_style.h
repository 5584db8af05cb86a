// The window's look: a bold navy monospace face 13 pixels high on every control (Liberation
// Mono, metrically the same as Courier New), and the colours of the status display.
#ifndef KALVIX_APP_WINDOW_WINDOW_STYLE_H_
#define KALVIX_APP_WINDOW_WINDOW_STYLE_H_

#include <QColor>
#include <QFont>

class QWidget;

namespace kalvix {

inline const QColor kNavy(0, 0, 128);
inline const QColor kGreen(0, 128, 0);
inline const QColor kRed(255, 0, 0);

QFont WindowFont();

// The face and its colour on a widget and everything inside it.
void ApplyWindowStyle(QWidget* widget);

}  // namespace kalvix

#endif  // KALVIX_APP_WINDOW_WINDOW_STYLE_H_
