// The tray icon's three pictures, drawn at start: 0 while acquisition is stopped, 1 and 2 in
// turn with the cycles while it runs, so the icon blinks as long as data comes in.
#ifndef KALVIX_APP_WINDOW_TRAY_ICONS_H_
#define KALVIX_APP_WINDOW_TRAY_ICONS_H_

#include <QIcon>
#include <array>

namespace kalvix {

std::array<QIcon, 3> MakeTrayIcons();

}  // namespace kalvix

#endif  // KALVIX_APP_WINDOW_TRAY_ICONS_H_
