// One window per user and display: a start that finds that window open hands
// it the files named on its command line and ends, instead of opening another.
#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <string>
#include <vector>

class QLocalServer;

// The command line's file names, as the file system spells them, each made
// absolute: the window that gets them may run in another folder.
std::vector<std::string> command_line_files(int argc, char** argv);

// The local server's name for this user's window on this display: a socket in
// a folder only the user can enter (the session's runtime folder, else a
// folder of the user's own under the temporary folder). Empty when there is
// no such folder; the program then opens a window of its own every time.
QString instance_server_name();

// Adds the files to the main window (with one notice for the lot, as a drop)
// and brings the window forward.
void open_in_main_window(const std::vector<std::string>& files);

class TSingleInstance final : public QObject {
  Q_OBJECT

 public:
  explicit TSingleInstance(QString name = instance_server_name());
  ~TSingleInstance() override;

  // True when a window listening under the name took the files (an empty
  // list only brings it forward). Otherwise this process listens under the
  // name, replacing a socket left by a window that was killed.
  bool hand_over_or_listen(const std::vector<std::string>& files);

  // From now on, what later starts hand over goes to `receive`, one call per
  // start, after the event that brought it; those that came before too.
  void deliver_to(std::function<void(const std::vector<std::string>&)> receive);

  [[nodiscard]] bool listening() const;

 private:
  bool hand_over(const std::vector<std::string>& files) const;
  void take_connections();

  QString name_;
  QLocalServer* server_ = nullptr;
  std::function<void(const std::vector<std::string>&)> receive_;
};
