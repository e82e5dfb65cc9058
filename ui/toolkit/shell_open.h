// Handing an address or a file to the desktop: the user's browser, mail
// program, help viewer or media player. One seam, so tests can see what
// would have been opened, and one report when the desktop cannot open it.
#pragma once

#include <QString>
#include <QUrl>
#include <functional>

// Called instead of the desktop's handler while installed.
using TShellOpener = std::function<void(const QUrl& url)>;

// Installs the opener; nullptr hands addresses to the desktop again.
void set_shell_opener(TShellOpener opener);

// Told, on the window's thread, the target of a hand-off the desktop could
// not carry out; nullptr reports nothing.
using TShellFailureReporter = std::function<void(const QString& target)>;
void set_shell_failure_reporter(TShellFailureReporter reporter);

// Opens `target` with the desktop's default handler and returns at once. A
// web or mail address ("https:", "mailto:") is opened as it stands; anything
// else is taken as a local file path. The desktop's handler is xdg-open;
// without it, Qt's own way to the desktop. When the handler cannot be
// started or ends unsuccessfully (no program for the type, no browser), the
// reporter is told later.
void shell_open(const QString& target);

// The URL shell_open hands over for `target`.
[[nodiscard]] QUrl shell_url(const QString& target);
