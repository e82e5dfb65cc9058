// Handing an address or a file to the desktop's default handler.
#include "ui/toolkit/shell_open.h"

#include <QDesktopServices>
#include <utility>

namespace {

TShellOpener& installed_opener() {
  static TShellOpener installed;
  return installed;
}

}  // namespace

void set_shell_opener(TShellOpener opener) { installed_opener() = std::move(opener); }

QUrl shell_url(const QString& target) {
  // A path such as "/videos/a:b.avi" must stay a file: only a scheme-looking
  // prefix without a slash before its colon counts as an address.
  const QUrl candidate(target, QUrl::StrictMode);
  const bool address = candidate.isValid() && !candidate.scheme().isEmpty() && candidate.scheme().size() > 1 &&
                       !target.startsWith(QLatin1Char('/'));
  if (address) return candidate;
  return QUrl::fromLocalFile(target);
}

void shell_open(const QString& target) {
  const QUrl url = shell_url(target);
  if (const TShellOpener& open = installed_opener()) {
    open(url);
    return;
  }
  QDesktopServices::openUrl(url);
}
