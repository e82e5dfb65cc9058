// Runs a program for a test: argv without a shell, standard output and
// error captured, a time limit, and a few set-ups the tests need.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace avitest {

struct TLaunch {
  std::vector<std::string> argv;         // argv[0] is the program's path
  std::filesystem::path cwd;             // empty: the test's own
  std::optional<std::filesystem::path> tmpdir;  // the child's TMPDIR
  int stdout_fd = -1;                    // set: the child's standard output; else captured
  int stderr_fd = -1;                    // set: the child's standard error; else captured
  std::optional<rlim_t> file_size_limit;
  bool without_library_path = false;     // drop LD_LIBRARY_PATH from the environment
  std::chrono::seconds time_limit{300};
};

struct TExit {
  bool exited = false;
  int code = -1;
  int signal = 0;
};

std::ostream& operator<<(std::ostream& os, const TExit& e);

struct TProcessResult {
  TExit exit;
  std::string out;
  std::string err;
};

// Starts the program; standard input is /dev/null, the signal mask and
// dispositions are reset as from a shell. Returns the child's pid.
pid_t launch(const TLaunch& launch, int out_fd, int err_fd);

// Runs to the end and captures both streams (through files, so nothing
// blocks however much the program writes). A program still running at the
// time limit is killed and the test fails.
TProcessResult run_process(const TLaunch& launch);

// A shorthand: argv, nothing else set.
TProcessResult run_process(const std::vector<std::string>& argv);

}  // namespace avitest
