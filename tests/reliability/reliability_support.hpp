// Helpers of the reliability tests: the checks every run must pass whatever
// its input (no crash, no hang, the stated status and a whole result).
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_support.hpp"

namespace reliability {

constexpr int kRunLimitSeconds = 90;  // a run that needs longer has hung

// The run ended by itself, in time, with the given status.
inline void ExpectCleanExit(const testsupport::RunResult& run, int status) {
  EXPECT_FALSE(run.timedOut) << "did not finish within " << kRunLimitSeconds << " s";
  EXPECT_EQ(run.termSignal, 0) << "ended by signal; stderr:\n" << run.err;
  EXPECT_EQ(run.exitCode, status) << "stdout:\n" << run.out << "\nstderr:\n" << run.err;
}

// A completed run's standard output ends with the total-time line.
inline bool EndsWithTotalTime(const std::string& out) {
  return testing::Value(
      out, testing::ContainsRegex("\nTotal processing time: [0-9]+\\.[0-9]{6} seconds$"));
}

// An earlier pano_Mean.png in dir is byte-identical, no median was written
// and no temporary file remains.
inline void ExpectEarlierResultKept(const std::string& dir, const std::string& earlier) {
  EXPECT_EQ(testsupport::ReadFile(dir + "/pano_Mean.png"), earlier)
      << "the earlier result was replaced";
  EXPECT_FALSE(testsupport::FileExists(dir + "/pano_Median.png"));
  EXPECT_THAT(testsupport::TemporaryFiles(dir), testing::IsEmpty());
}

}  // namespace reliability
