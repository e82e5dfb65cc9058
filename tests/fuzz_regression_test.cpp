// Inputs with which the engine fuzzer found a fault (fuzz/regressions/, one
// file each, described in the README there), run through every branch of
// the fuzzer, each with the fuzzer's own checks: the fault must stay fixed
// whichever entry point meets the bytes again.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine_exercise.h"

namespace fs = std::filesystem;

namespace {

std::vector<fs::path> regression_inputs() {
  std::vector<fs::path> inputs;
  for (const auto& entry : fs::directory_iterator(REELWRIGHT_FUZZ_REGRESSIONS)) {
    if (entry.is_regular_file() && entry.path().filename() != "README.md") inputs.push_back(entry.path());
  }
  std::sort(inputs.begin(), inputs.end());
  return inputs;
}

std::string test_name(const testing::TestParamInfo<fs::path>& info) {
  std::string name = info.param.filename().string();
  for (char& c : name) {
    if (std::isalnum(static_cast<unsigned char>(c)) == 0) c = '_';
  }
  return name;
}

class FuzzRegression : public testing::TestWithParam<fs::path> {};

TEST_P(FuzzRegression, EveryBranchKeepsItsRules) {
  std::ifstream in(GetParam(), std::ios::binary);
  ASSERT_TRUE(in) << GetParam();
  const std::vector<std::uint8_t> input(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>{});
  fuzzcheck::TWorkspace workspace;
  for (int b = 0; b < fuzzcheck::branch_count; ++b) {
    const auto branch = static_cast<fuzzcheck::TBranch>(b);
    EXPECT_EQ(fuzzcheck::exercise(workspace, branch, input.data(), input.size()), "")
        << "branch " << fuzzcheck::branch_name(branch);
  }
}

INSTANTIATE_TEST_SUITE_P(Inputs, FuzzRegression, testing::ValuesIn(regression_inputs()), test_name);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(FuzzRegression);

}  // namespace
