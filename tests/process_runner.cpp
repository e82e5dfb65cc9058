// Runs programs for the tests.
#include "process_runner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "avi_builder.h"

extern char** environ;

namespace avitest {

std::ostream& operator<<(std::ostream& os, const TExit& e) {
  if (e.exited) return os << "exit " << e.code;
  if (e.signal != 0) return os << "killed by signal " << e.signal;
  return os << "did not end";
}

pid_t launch(const TLaunch& l, int out_fd, int err_fd) {
  // Everything the child needs is built before fork.
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    if (l.tmpdir && entry.starts_with("TMPDIR=")) continue;
    if (l.without_library_path && entry.starts_with("LD_LIBRARY_PATH=")) continue;
    env_strings.emplace_back(entry);
  }
  if (l.tmpdir) env_strings.push_back("TMPDIR=" + l.tmpdir->string());
  std::vector<char*> envp;
  for (std::string& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);

  std::vector<std::string> arg_strings = l.argv;
  std::vector<char*> argv;
  for (std::string& s : arg_strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  const std::string cwd = l.cwd.string();
  const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t pid = ::fork();
  if (pid == 0) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (const int sig : {SIGINT, SIGTERM, SIGXFSZ, SIGPIPE}) std::signal(sig, SIG_DFL);
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
    ::dup2(null_fd, STDIN_FILENO);
    ::dup2(out_fd, STDOUT_FILENO);
    ::dup2(err_fd, STDERR_FILENO);
    if (l.file_size_limit) {
      const rlimit limit{*l.file_size_limit, *l.file_size_limit};
      ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    // execvpe: ffmpeg and friends are found on the PATH.
    ::execvpe(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(null_fd);
  if (pid < 0) throw std::runtime_error("fork failed");
  return pid;
}

namespace {

std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

TProcessResult run_process(const TLaunch& l) {
  TTempDir capture;
  const int out = l.stdout_fd >= 0 ? l.stdout_fd
                                   : ::open(capture.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int err = l.stderr_fd >= 0 ? l.stderr_fd
                                   : ::open(capture.file("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const pid_t pid = launch(l, out, err);
  if (l.stdout_fd < 0) ::close(out);
  if (l.stderr_fd < 0) ::close(err);
  TProcessResult result;
  const auto deadline = std::chrono::steady_clock::now() + l.time_limit;
  for (;;) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      result.exit.exited = WIFEXITED(status);
      result.exit.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      result.exit.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << l.argv.front() << " did not end in time";
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (l.stdout_fd < 0) result.out = slurp(capture.file("out"));
  if (l.stderr_fd < 0) result.err = slurp(capture.file("err"));
  return result;
}

TProcessResult run_process(const std::vector<std::string>& argv) {
  TLaunch l;
  l.argv = argv;
  return run_process(l);
}

}  // namespace avitest
