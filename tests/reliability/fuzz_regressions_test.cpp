// Replays the fuzz targets, compiled without libFuzzer, on every stored
// input: the seed corpora (fuzz/corpus/<target>/) and the inputs that once
// broke something (fuzz/regressions/<target>/). A target aborts when one of
// its properties breaks, and the sanitizer build catches invalid memory use
// and undefined behaviour on the same inputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/fuzz_targets.hpp"
#include "tests/support/test_support.hpp"

namespace {

struct NamedTarget {
  const char* folder;  // under fuzz/corpus and fuzz/regressions
  int (*run)(const uint8_t*, size_t);
};

const NamedTarget kTargets[] = {{"overlap", fuzz::FuzzOverlap},
                                {"point_mapping", fuzz::FuzzPointMapping},
                                {"ncc_validation", fuzz::FuzzNccValidation},
                                {"video", fuzz::FuzzVideo},
                                {"sequence", fuzz::FuzzSequence},
                                {"srt", fuzz::FuzzSrt}};

void PrintTo(const NamedTarget& target, std::ostream* os) {
  *os << target.folder;
}

class FuzzRegressionTest : public ::testing::TestWithParam<NamedTarget> {};

TEST_P(FuzzRegressionTest, StoredInputsKeepEveryProperty) {
  const NamedTarget target = GetParam();
  std::vector<std::string> inputs;
  for (const char* kind : {"corpus", "regressions"}) {
    std::error_code error;
    for (const auto& e : std::filesystem::directory_iterator(
             testsupport::SourceRoot() + "/fuzz/" + kind + "/" + target.folder, error)) {
      if (e.is_regular_file() && e.path().filename().string()[0] != '.')
        inputs.push_back(e.path().string());
    }
  }
  std::sort(inputs.begin(), inputs.end());
  // Every target has at least its seeds; an empty list means a wrong path.
  ASSERT_FALSE(inputs.empty()) << "no stored inputs for " << target.folder;
  for (const std::string& path : inputs) {
    const std::string bytes = testsupport::ReadFile(path);
    EXPECT_EQ(target.run(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), 0) << path;
  }
  // The empty input and every prefix of the first few bytes are inputs too.
  const std::string first = testsupport::ReadFile(inputs.front());
  for (size_t n = 0; n <= std::min<size_t>(first.size(), 16); ++n) {
    EXPECT_EQ(target.run(reinterpret_cast<const uint8_t*>(first.data()), n), 0) << n;
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzRegressionTest, ::testing::ValuesIn(kTargets),
                         [](const auto& info) { return std::string(info.param.folder); });

}  // namespace
