// The small images the log pane shows beside each line, by message kind.
#pragma once

#include <QPixmap>

#include <cstdint>
#include <optional>

// Side length of every marker image, in pixels.
inline constexpr int marker_size = 16;

// Image 0 information (blue disc, white "i"), 1 warning (yellow triangle with
// a red edge, black "!"), 2 error (red disc, white cross). Drawn on first use
// and kept; any other index gives a null pixmap.
[[nodiscard]] QPixmap marker_image(int index);

// Which image a log line of this kind carries; plain and confirmation lines
// carry none.
[[nodiscard]] std::optional<int> marker_for_kind(std::uint8_t kind);
