// Shortening a text to the room a control has for it, the one way every
// control of ours does it, so a text that does not fit can be noticed.
#pragma once

#include <QFontMetrics>
#include <QString>
#include <functional>

// `text` as it is when it fits `width` pixels, else elided with "…" at `mode`.
[[nodiscard]] QString fit_text(const QFontMetrics& metrics, const QString& text, int width,
                               Qt::TextElideMode mode = Qt::ElideRight);

// Told the whole text each time fit_text has to shorten one; nullptr tells no one.
using TElisionWatcher = std::function<void(const QString& text)>;
void set_elision_watcher(TElisionWatcher watcher);
