// The pictures on the navigation bar's buttons and the program's logo, drawn with QPainter.
#pragma once

#include <QPixmap>

// Side length of every button picture, in pixels.
inline constexpr int button_picture_size = 32;

enum class TButtonPicture { add, remove, fix, check, strip, homepage, help, about };

// Drawn on first use and kept; an unknown value gives a null pixmap.
[[nodiscard]] QPixmap button_picture(TButtonPicture which);

// A film strip mended with a stitched bandage, size × size pixels (drawn for
// 128 and scaled; any size from 16 up reads). A size below 1 gives a null pixmap.
[[nodiscard]] QPixmap reelwright_logo(int size);
