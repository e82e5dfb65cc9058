// Handing an address or a file to the desktop's default handler.
#include "ui/toolkit/shell_open.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFile>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTimer>
#include <cerrno>
#include <string>
#include <utility>

namespace {

TShellOpener& installed_opener() {
  static TShellOpener installed;
  return installed;
}

TShellFailureReporter& installed_reporter() {
  static TShellFailureReporter installed;
  return installed;
}

void report_failure(const QString& target) {
  if (const TShellFailureReporter& report = installed_reporter()) report(target);
}

// xdg-open may run the handler in the foreground until the user closes it,
// so it is never waited for on the window's thread. A watcher process starts
// it, waits, and writes its exit status to a pipe the window reads when it
// comes; a handler still running when the program ends is left alone.
// False when nothing could be started.
bool start_watched(const std::string& program, const std::string& argument, const QString& target) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return false;
  const char* const argv[] = {program.c_str(), argument.c_str(), nullptr};
  const pid_t watcher = ::fork();
  if (watcher < 0) {
    ::close(ends[0]);
    ::close(ends[1]);
    return false;
  }
  if (watcher == 0) {
    // Only async-signal-safe calls from here on.
    ::signal(SIGCHLD, SIG_DFL);
    const pid_t handler = ::fork();
    if (handler == 0) {
      ::execv(argv[0], const_cast<char* const*>(argv));
      ::_exit(127);
    }
    int status = 0;
    unsigned char outcome = 127;
    if (handler > 0) {
      while (::waitpid(handler, &status, 0) < 0 && errno == EINTR) {
      }
      outcome = WIFEXITED(status) ? static_cast<unsigned char>(WEXITSTATUS(status)) : 128;
    }
    // The program may have ended meanwhile: then the write fails, unheard.
    ::signal(SIGPIPE, SIG_IGN);
    [[maybe_unused]] const ssize_t written = ::write(ends[1], &outcome, 1);
    ::_exit(0);
  }
  ::close(ends[1]);
  auto* notifier = new QSocketNotifier(ends[0], QSocketNotifier::Read, QCoreApplication::instance());
  QObject::connect(notifier, &QSocketNotifier::activated, notifier, [notifier, watcher, target] {
    notifier->setEnabled(false);
    unsigned char outcome = 128;
    ssize_t got = 0;
    do {
      got = ::read(static_cast<int>(notifier->socket()), &outcome, 1);
    } while (got < 0 && errno == EINTR);
    ::close(static_cast<int>(notifier->socket()));
    // The watcher exits right after writing (or has died without a word).
    while (::waitpid(watcher, nullptr, 0) < 0 && errno == EINTR) {
    }
    notifier->deleteLater();
    if (got != 1 || outcome != 0) report_failure(target);
  });
  return true;
}

}  // namespace

void set_shell_opener(TShellOpener opener) { installed_opener() = std::move(opener); }

void set_shell_failure_reporter(TShellFailureReporter reporter) { installed_reporter() = std::move(reporter); }

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
  const QString xdg_open = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
  if (!xdg_open.isEmpty()) {
    // xdg-open takes a file as its path, an address as it stands.
    const QByteArray argument = url.isLocalFile() ? QFile::encodeName(url.toLocalFile()) : url.toEncoded();
    if (start_watched(QFile::encodeName(xdg_open).toStdString(), argument.toStdString(), target)) return;
  }
  if (!QDesktopServices::openUrl(url)) {
    // Reported once the click that asked for it has been handled, as a
    // failure of xdg-open is.
    QTimer::singleShot(0, QCoreApplication::instance(), [target] { report_failure(target); });
  }
}
