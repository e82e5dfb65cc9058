// One window per user and display.
#include "app/single_instance.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QRegularExpression>
#include <QTimer>
#include <filesystem>
#include <memory>
#include <utility>

#include "ui/main/main_unit.h"

namespace {

namespace fs = std::filesystem;

// How long a start waits for the open window before it opens one itself.
constexpr int hand_over_timeout_ms = 3000;

// A folder that is this user's alone: nobody else can put a socket there or
// read what passes through one.
bool private_folder(const QString& folder) {
  struct stat info {};
  return ::lstat(QFile::encodeName(folder).constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
         info.st_uid == ::getuid() && (info.st_mode & 077) == 0;
}

// A display's name as part of a file name; ":0.0" and ":0" are one display.
QString display_part(const char* variable) {
  QString display = qEnvironmentVariable(variable);
  display.replace(QRegularExpression(QStringLiteral(R"((:\d+)\.\d+$)")), QStringLiteral("\\1"));
  display.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9._-]")), QStringLiteral("_"));
  return display;
}

// File names travel as their bytes, each ended by a NUL (which no name holds).
QByteArray encode(const std::vector<std::string>& files) {
  QByteArray bytes;
  for (const std::string& f : files) {
    bytes.append(f.data(), static_cast<qsizetype>(f.size()));
    bytes.append('\0');
  }
  return bytes;
}

std::vector<std::string> decode(const QByteArray& bytes) {
  std::vector<std::string> files;
  qsizetype start = 0;
  for (qsizetype end = bytes.indexOf('\0'); end >= 0; start = end + 1, end = bytes.indexOf('\0', start))
    files.emplace_back(bytes.constData() + start, static_cast<std::size_t>(end - start));
  return files;
}

}  // namespace

std::vector<std::string> command_line_files(int argc, char** argv) {
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    const fs::path name(argv[i]);
    std::error_code error;
    const fs::path whole = name.empty() ? name : fs::absolute(name, error);
    if (error) {
      files.push_back(name.string());
      continue;
    }
    // Without "." steps; ".." stays, since a link before it would give it another meaning.
    fs::path tidy;
    for (const fs::path& part : whole)
      if (part != ".") tidy /= part;
    files.push_back(tidy.string());
  }
  return files;
}

QString instance_server_name() {
  QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (folder.isEmpty() || !private_folder(folder)) {
    folder = QDir::tempPath() + QStringLiteral("/reelwright-") + QString::number(::getuid());
    ::mkdir(QFile::encodeName(folder).constData(), 0700);
    if (!private_folder(folder)) return {};
  }
  return folder + QStringLiteral("/reelwright-window-") + display_part("WAYLAND_DISPLAY") + QLatin1Char('-') +
         display_part("DISPLAY");
}

void open_in_main_window(const std::vector<std::string>& files) {
  if (MainForm == nullptr) return;
  // The user asked for it, from the file manager or a terminal.
  MainForm->setWindowState(MainForm->windowState() & ~Qt::WindowMinimized);
  MainForm->raise();
  MainForm->activateWindow();
  MainForm->AcceptFiles(files);
}

TSingleInstance::TSingleInstance(QString name) : name_(std::move(name)) {}

TSingleInstance::~TSingleInstance() = default;

bool TSingleInstance::listening() const { return server_ != nullptr && server_->isListening(); }

bool TSingleInstance::hand_over_or_listen(const std::vector<std::string>& files) {
  if (name_.isEmpty()) return false;
  // Two starts at the same moment take turns: otherwise both could find no
  // window, and the second's listening would cut the first off.
  QLockFile lock(name_ + QStringLiteral(".lock"));
  lock.tryLock(hand_over_timeout_ms);
  if (hand_over(files)) return true;
  // Nobody answered: what lies under the name is a socket left by a window
  // that was killed.
  QLocalServer::removeServer(name_);
  server_ = new QLocalServer(this);
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  // Without it this window works on alone; later starts open their own.
  if (!server_->listen(name_)) {
    delete server_;
    server_ = nullptr;
  }
  return false;
}

bool TSingleInstance::hand_over(const std::vector<std::string>& files) const {
  QLocalSocket socket;
  socket.connectToServer(name_);
  if (!socket.waitForConnected(hand_over_timeout_ms)) return false;
  socket.write(encode(files));
  // Writes what is left before it closes.
  socket.disconnectFromServer();
  if (socket.state() != QLocalSocket::UnconnectedState) socket.waitForDisconnected(hand_over_timeout_ms);
  return socket.bytesToWrite() == 0;
}

void TSingleInstance::deliver_to(std::function<void(const std::vector<std::string>&)> receive) {
  receive_ = std::move(receive);
  if (server_ == nullptr) return;
  connect(server_, &QLocalServer::newConnection, this, &TSingleInstance::take_connections);
  take_connections();
}

void TSingleInstance::take_connections() {
  while (QLocalSocket* socket = server_->nextPendingConnection()) {
    auto bytes = std::make_shared<QByteArray>();
    connect(socket, &QLocalSocket::readyRead, socket, [socket, bytes] { bytes->append(socket->readAll()); });
    // The start has said all once it closes its end.
    connect(socket, &QLocalSocket::disconnected, this, [this, socket, bytes] {
      bytes->append(socket->readAll());
      socket->deleteLater();
      // Its boxes wait for the user: not inside the socket's signal.
      QTimer::singleShot(0, this, [this, files = decode(*bytes)] {
        if (receive_) receive_(files);
      });
    });
  }
}
