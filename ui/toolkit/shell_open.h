// Handing an address or a file to the desktop: the user's browser, mail
// program, help viewer or media player. One seam, so tests can see what
// would have been opened.
#pragma once

#include <QString>
#include <QUrl>
#include <functional>

// Called instead of the desktop's handler while installed.
using TShellOpener = std::function<void(const QUrl& url)>;

// Installs the opener; nullptr hands addresses to the desktop again.
void set_shell_opener(TShellOpener opener);

// Opens `target` with the desktop's default handler. A web or mail address
// ("https:", "mailto:") is opened as it stands; anything else is taken as a
// local file path. The outcome is not reported: a desktop without a handler
// simply shows nothing.
void shell_open(const QString& target);

// The URL shell_open hands over for `target`.
[[nodiscard]] QUrl shell_url(const QString& target);
