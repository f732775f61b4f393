// Helpers of the reliability tests: rendered inputs, scratch folders and the
// checks every run must pass whatever its input (no crash, no hang, only the
// program's own messages on standard output).
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <opencv2/core.hpp>
#include <string>
#include <system_error>
#include <vector>

#include "tests/support/test_support.hpp"
#include "tools/render/scene_renderer.hpp"

namespace reliability {

constexpr int kRunLimitSeconds = 90;  // a run that needs longer has hung

using testsupport::ScratchDir;

// A sideways pan over the test photo: stepPhotoPx photo pixels per frame at
// zoom frame pixels per photo pixel.
inline std::vector<cv::Mat> RenderPan(int frames, cv::Size size, double zoom,
                                      double stepPhotoPx) {
  return testsupport::SidewaysPan(frames, size, zoom, 700.0, 800.0, stepPhotoPx).frames;
}

// The run ended by itself, in time, with the given status.
inline void ExpectCleanExit(const testsupport::RunResult& run, int status) {
  EXPECT_FALSE(run.timedOut) << "did not finish within " << kRunLimitSeconds << " s";
  EXPECT_EQ(run.termSignal, 0) << "ended by signal; stderr:\n" << run.err;
  EXPECT_EQ(run.exitCode, status) << "stdout:\n" << run.out << "\nstderr:\n" << run.err;
}

// A completed run's standard output ends with the total-time line.
inline bool EndsWithTotalTime(const std::string& out) {
  const std::string total = "\nTotal processing time: ";
  const size_t at = out.rfind(total);
  if (at == std::string::npos) return false;
  const std::string tail = out.substr(at + total.size());
  return tail.size() > 8 && tail.compare(tail.size() - 8, 8, " seconds") == 0 &&
         tail.find('\n') == std::string::npos;
}

// "\nNumber of nodes: N" of a composed run, or -1.
inline int NumberOfNodes(const std::string& out) {
  const std::string label = "\nNumber of nodes: ";
  const size_t at = out.find(label);
  if (at == std::string::npos) return -1;
  return std::atoi(out.c_str() + at + label.size());
}

// Temporary result files (".pano_Mean.png.tmp<pid>.png") left in dir.
inline std::vector<std::string> LeftoverTemporaryFiles(const std::string& dir) {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.find(".tmp") != std::string::npos) found.push_back(name);
  }
  return found;
}

}  // namespace reliability
