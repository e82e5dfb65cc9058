// One window per user and display, through the real program: a second
// start's files reach the first window and the start ends; a socket left by
// a killed window does not stop the next start.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QLocalSocket>
#include <QTest>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>

#include "app/single_instance.h"
#include "avi_builder.h"
#include "platform/lang.h"
#include "platform/lang_module.h"
#include "process_runner.h"
#include "ui/main/file_list.h"
#include "ui/main/main_unit.h"
#include "ui/toolkit/message_box.h"

using namespace avitest;

namespace {

// Runs this process's events (its window takes the hand-over) until the
// child ends; its exit, or nothing at the time limit.
std::optional<int> exit_code(pid_t pid, int seconds = 30) {
  for (int i = 0; i < seconds * 100; ++i) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    QTest::qWait(10);
  }
  return std::nullopt;
}

bool answers(const QString& name) {
  QLocalSocket socket;
  socket.connectToServer(name);
  return socket.waitForConnected(200);
}

class SingleInstance : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("XDG_RUNTIME_DIR", runtime_.path().c_str(), 1);
    name_ = instance_server_name();
    file_list.clear();
    lang_module = load_library(REELWRIGHT_TEST_LANG_EN);
    set_box_answerer([this](const QString& text, std::uint8_t) { boxes_.push_back(text); });
  }
  void TearDown() override {
    set_box_answerer(nullptr);
    file_list.clear();
    ::unsetenv("XDG_RUNTIME_DIR");
  }
  pid_t start(std::vector<std::string> files) const {
    TLaunch l;
    l.argv = {REELWRIGHT_PROGRAM};
    l.argv.insert(l.argv.end(), files.begin(), files.end());
    l.cwd = dir_.path();
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const pid_t pid = launch(l, null, null);
    ::close(null);
    return pid;
  }

  TTempDir runtime_;
  TTempDir dir_;
  QString name_;
  std::vector<QString> boxes_;
};

TEST_F(SingleInstance, ASecondStartsFilesReachTheFirstWindowAndTheStartEnds) {
  const std::string clip = dir_.file("clip.avi").string();
  { std::ofstream create(clip); }
  ASSERT_EQ(::truncate(clip.c_str(), 300'000), 0);
  std::filesystem::create_directory(dir_.file("folder"));
  const QString notice = QString::fromStdString(message(6));
  const QString folder = QString::fromStdString(dir_.file("folder").string() + "  " + message(3));

  TMainForm window;
  MainForm = &window;
  TSingleInstance first(name_);
  ASSERT_FALSE(first.hand_over_or_listen({}));
  first.deliver_to(&open_in_main_window);

  // Names relative to the second start's folder; the same checks as Add File, one notice.
  const struct {
    std::vector<std::string> args;
    std::vector<QString> boxes;
    std::vector<std::string> added;
  } cases[] = {
      {{"./clip.avi", "folder"}, {notice, folder}, {clip}},
      {{}, {}, {}},
  };
  for (const auto& c : cases) {
    boxes_.clear();
    file_list.clear();
    EXPECT_EQ(exit_code(start(c.args)), 0) << c.args.size();
    QTest::qWait(300);
    EXPECT_EQ(boxes_, c.boxes) << c.args.size();
    std::vector<std::string> added;
    for (const TFile& f : file_list) added.push_back(f.path);
    EXPECT_EQ(added, c.added) << c.args.size();
  }
  MainForm = nullptr;
}

TEST_F(SingleInstance, ASocketLeftByAKilledWindowDoesNotStopTheNextStart) {
  const auto comes_up = [this](pid_t pid) {
    for (int i = 0; i < 300 && !answers(name_); ++i) QTest::qWait(50);
    return answers(name_) && ::waitpid(pid, nullptr, WNOHANG) == 0;
  };
  const pid_t killed = start({});
  ASSERT_TRUE(comes_up(killed));
  ::kill(killed, SIGKILL);
  ::waitpid(killed, nullptr, 0);
  ASSERT_TRUE(QFile::exists(name_));
  ASSERT_FALSE(answers(name_));

  const pid_t window = start({});
  EXPECT_TRUE(comes_up(window));
  // And it is the window the next start hands its files to.
  EXPECT_EQ(exit_code(start({"clip.avi"})), 0);
  ::kill(window, SIGTERM);
  ::waitpid(window, nullptr, 0);
}

// Two displays, or two users' runtime folders, never share a window.
TEST_F(SingleInstance, ANameForEachDisplay) {
  const struct {
    const char* display_a;
    const char* display_b;
    bool shared;
  } cases[] = {{":0", ":0.0", true}, {":0", ":1", false}, {"otherhost:0", ":0", false}};
  for (const auto& c : cases) {
    ::setenv("DISPLAY", c.display_a, 1);
    const QString a = instance_server_name();
    ::setenv("DISPLAY", c.display_b, 1);
    EXPECT_EQ(a == instance_server_name(), c.shared) << c.display_a << " " << c.display_b;
    EXPECT_TRUE(a.startsWith(QString::fromStdString(runtime_.path().string()) + "/")) << a.toStdString();
  }
  // Without a runtime folder, one of the user's own under the temporary folder.
  ::unsetenv("XDG_RUNTIME_DIR");
  const std::filesystem::path fallback = std::filesystem::path(instance_server_name().toStdString()).parent_path();
  EXPECT_EQ(std::filesystem::status(fallback).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_all);
}

}  // namespace
