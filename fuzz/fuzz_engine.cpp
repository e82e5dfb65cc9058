// libFuzzer target for the repair engine: byte 0 of the input picks the entry
// point, the rest is the file (see engine_exercise.h). Any broken rule aborts,
// so libFuzzer keeps the input as a crash.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "engine_exercise.h"

namespace {

// One private folder per fuzzing process, removed when the process ends
// normally (a crash leaves it for a look at what was there).
std::unique_ptr<fuzzcheck::TWorkspace> workspace;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  workspace = std::make_unique<fuzzcheck::TWorkspace>();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string problem = fuzzcheck::exercise(*workspace, fuzzcheck::branch_of(data, size), data, size);
  if (!problem.empty()) {
    std::fprintf(stderr, "\n*** %s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
