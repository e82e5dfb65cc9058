// One window per user and display, with the real program as the other start:
// its files reach the first window and it ends; a socket left by a killed
// window does not stop the next start.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QFile>
#include <QLocalSocket>
#include <QTest>
#include <filesystem>
#include <fstream>

#include "app/single_instance.h"
#include "avi_builder.h"
#include "platform/lang.h"
#include "platform/lang_module.h"
#include "process_runner.h"
#include "ui/main/file_list.h"
#include "ui/main/main_unit.h"
#include "ui/toolkit/message_box.h"

namespace {

class SingleInstance : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("XDG_RUNTIME_DIR", runtime_.path().c_str(), 1);
    file_list.clear();
    lang_module = load_library(REELWRIGHT_TEST_LANG_EN);
    set_box_answerer([this](const QString& text, std::uint8_t) { boxes_.push_back(text); });
  }
  void TearDown() override {
    set_box_answerer(nullptr);
    ::unsetenv("XDG_RUNTIME_DIR");
  }
  // The program, started in dir_ with these arguments.
  pid_t start(const std::vector<std::string>& files) const {
    avitest::TLaunch l;
    l.argv = {REELWRIGHT_PROGRAM};
    l.argv.insert(l.argv.end(), files.begin(), files.end());
    l.cwd = dir_.path();
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const pid_t pid = avitest::launch(l, null, null);
    ::close(null);
    return pid;
  }
  // Its exit code, while this process's events run; -1 if it goes on.
  static int exit_code(pid_t pid) {
    int status = 0;
    for (int i = 0; i < 3000 && ::waitpid(pid, &status, WNOHANG) != pid; ++i) QTest::qWait(10);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // Listening under the name, and still running.
  static bool comes_up(pid_t pid) {
    for (int i = 0; i < 300; ++i, QTest::qWait(50)) {
      QLocalSocket socket;
      socket.connectToServer(instance_server_name());
      if (socket.waitForConnected(200)) return ::waitpid(pid, nullptr, WNOHANG) == 0;
    }
    return false;
  }

  avitest::TTempDir runtime_;
  avitest::TTempDir dir_;
  std::vector<QString> boxes_;
};

TEST_F(SingleInstance, ASecondStartsFilesReachTheFirstWindowAndTheStartEnds) {
  const std::string clip = dir_.file("clip.avi").string();
  std::ofstream(clip).close();
  ASSERT_EQ(::truncate(clip.c_str(), 300'000), 0);
  std::filesystem::create_directory(dir_.file("folder"));
  TMainForm window;
  MainForm = &window;
  TSingleInstance first;
  ASSERT_FALSE(first.hand_over_or_listen({}));
  first.deliver_to(&open_in_main_window);

  // Names relative to the second start's folder; Add File's checks, one notice for the lot.
  const std::string refused = dir_.file("folder").string() + "  " + message(3);
  const struct {
    std::vector<std::string> args;
    std::vector<QString> boxes;
    std::size_t added;
  } cases[] = {{{"./clip.avi", "folder"}, {QString::fromStdString(message(6)), QString::fromStdString(refused)}, 1},
               {{}, {}, 0}};
  for (const auto& c : cases) {
    boxes_.clear();
    file_list.clear();
    EXPECT_EQ(exit_code(start(c.args)), 0) << c.args.size();
    QTest::qWait(300);
    EXPECT_EQ(boxes_, c.boxes) << c.args.size();
    EXPECT_EQ(file_list.size(), c.added) << c.args.size();
    EXPECT_EQ(file_list.empty() ? std::string() : file_list[0].path, c.added == 1 ? clip : std::string());
  }
  MainForm = nullptr;
}

TEST_F(SingleInstance, ASocketLeftByAKilledWindowDoesNotStopTheNextStart) {
  const pid_t killed = start({});
  ASSERT_TRUE(comes_up(killed));
  ::kill(killed, SIGKILL);
  ::waitpid(killed, nullptr, 0);
  ASSERT_TRUE(QFile::exists(instance_server_name()));

  const pid_t window = start({});
  EXPECT_TRUE(comes_up(window));
  EXPECT_EQ(exit_code(start({"clip.avi"})), 0);
  ::kill(window, SIGTERM);
  ::waitpid(window, nullptr, 0);
}

// Two displays never share a window; without a runtime folder, the socket
// lies in a folder of the user's own.
TEST_F(SingleInstance, ANameForEachDisplay) {
  const auto name = [](const char* display) { return ::setenv("DISPLAY", display, 1), instance_server_name(); };
  EXPECT_EQ(name(":0"), name(":0.0"));
  EXPECT_NE(name(":0"), name(":1"));
  EXPECT_NE(name(":0"), name("otherhost:0"));
  ::unsetenv("XDG_RUNTIME_DIR");
  const auto folder = std::filesystem::path(instance_server_name().toStdString()).parent_path();
  EXPECT_EQ(std::filesystem::status(folder).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_all);
}

}  // namespace
