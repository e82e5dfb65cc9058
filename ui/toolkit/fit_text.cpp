// Shortening a text to the room a control has for it.
#include "ui/toolkit/fit_text.h"

#include <utility>

namespace {

TElisionWatcher& installed_watcher() {
  static TElisionWatcher installed;
  return installed;
}

}  // namespace

void set_elision_watcher(TElisionWatcher watcher) { installed_watcher() = std::move(watcher); }

QString fit_text(const QFontMetrics& metrics, const QString& text, int width, Qt::TextElideMode mode) {
  if (metrics.horizontalAdvance(text) <= width) return text;
  if (const TElisionWatcher& watcher = installed_watcher()) watcher(text);
  return metrics.elidedText(text, mode, width);
}
