// The program's blues: the gradient of the headings, the navigation bar's
// captions, the progress fill and the button pictures, and the border blue of
// the navigation bar and the context menu.
#pragma once

#include <QRgb>

namespace palette {

inline constexpr QRgb blue_light = qRgb(89, 135, 214);
inline constexpr QRgb blue_dark = qRgb(3, 56, 147);
inline constexpr QRgb border_blue = qRgb(0, 45, 150);

}  // namespace palette
