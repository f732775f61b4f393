// The key frames' store: pixels come back exactly as they were put in, in
// memory or spilled; a run that spills every key frame composes the same
// mosaics as one that spills none; the spill file never has a name in the
// temporary directory.
#include "panorama/frame_store.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "tests/support/test_support.hpp"
#include "tools/render/scene_renderer.hpp"

namespace {

using testsupport::ScratchDir;

// Points TMPDIR (read by the store and inherited by vmosaic) at dir while it lives.
struct TemporaryDirectoryAt {
  explicit TemporaryDirectoryAt(const std::string& dir) { setenv("TMPDIR", dir.c_str(), 1); }
  ~TemporaryDirectoryAt() { old_.empty() ? unsetenv("TMPDIR") : setenv("TMPDIR", old_.c_str(), 1); }
  const std::string old_ = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
};

bool IsEmpty(const std::string& dir) {
  return std::filesystem::is_empty(dir);
}

// Frames in the shapes the store must carry: a video frame, a view into a
// larger image (rows not contiguous), one channel, one pixel, and a frame
// larger than a spill-file chunk (64 MiB).
std::vector<cv::Mat> Frames() {
  const cv::Mat photo = testsupport::TestPhoto().clone();  // views must not share the cached photo
  cv::Mat grey, huge;
  cv::cvtColor(photo(cv::Rect(900, 300, 640, 480)), grey, cv::COLOR_BGR2GRAY);
  cv::resize(photo, huge, cv::Size(5120, 4480), 0, 0, cv::INTER_NEAREST);
  return {photo(cv::Rect(0, 0, 640, 480)).clone(),
          photo(cv::Rect(101, 57, 333, 217)),
          grey,
          photo(cv::Rect(7, 9, 1, 1)).clone(),
          huge,
          photo(cv::Rect(640, 480, 640, 480)).clone()};
}

class FrameStoreBudget : public testing::TestWithParam<std::int64_t> {};

TEST_P(FrameStoreBudget, PixelsComeBackAsPutInWithinTheBudget) {
  ScratchDir spill("vmosaic_frame_store_");
  TemporaryDirectoryAt tmp(spill.path);
  const std::vector<cv::Mat> frames = Frames();
  std::vector<cv::Mat> copies = Frames();  // the store's copies must not share the sources' pixels
  {
    FrameStore store(GetParam());
    std::vector<cv::Mat> kept;
    std::int64_t total = 0;
    for (const cv::Mat& f : copies)
      kept.push_back(store.Keep(f)), total += static_cast<std::int64_t>(f.total() * f.elemSize());
    EXPECT_TRUE(store.Keep(cv::Mat()).empty());
    for (cv::Mat& f : copies)
      f.setTo(cv::Scalar::all(0));
    // Later passes read back pages dropped by Release(), then by Release(frame), which must
    // leave a frame kept in memory alone.
    for (int pass = 0; pass < 3; ++pass) {
      for (size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i) + ", pass " + std::to_string(pass));
        EXPECT_TRUE(kept[i].isContinuous() && testsupport::SameBits(kept[i], frames[i]));
        if (pass == 1)
          store.Release(kept[i]);
      }
      if (pass == 0)
        store.Release();
    }
    EXPECT_TRUE(store.BytesInMemory() + store.BytesSpilled() == total &&
                store.BytesInMemory() <= GetParam() &&
                (store.BytesSpilled() > 0) == (GetParam() < total));
    EXPECT_TRUE(IsEmpty(spill.path)) << "the spill file has a name";
  }
  EXPECT_TRUE(IsEmpty(spill.path));
}

// Everything spilled; the first frames in memory, the rest spilled; nothing spilled.
INSTANTIATE_TEST_SUITE_P(Budgets, FrameStoreBudget,
                         testing::Values(std::int64_t{0}, std::int64_t{2} << 20,
                                         FrameStore::kUnlimited));

// A sideways pan over the test photo, written as a lossless video.
std::string RenderVideo(const ScratchDir& dir, int frames) {
  const std::string path = dir.file("pan.mkv");
  EXPECT_TRUE(render::WriteVideo(
      path, testsupport::SidewaysPan(frames, cv::Size(160, 120), 0.25, 600, 800, 4.0).frames, 25));
  return path;
}

TEST(FrameStoreRun, EveryKeyFrameSpilledComposesTheSameMosaics) {
  ScratchDir dir("vmosaic_frame_store_run_"), spill("vmosaic_frame_store_spill_");
  const std::string video = RenderVideo(dir, 40);
  for (const char* sub : {"memory", "spilled"})
    std::filesystem::create_directory(dir.file(sub));
  TemporaryDirectoryAt tmp(spill.path);
  const auto inMemory = testsupport::RunVmosaic({video, "100", "0", "1"}, dir.file("memory"));
  const auto spilled = testsupport::RunVmosaic({"--memory-budget", "0", video, "100", "0", "1"},
                                               dir.file("spilled"));
  ASSERT_TRUE(inMemory.exitCode == 0 && spilled.exitCode == 0) << inMemory.err << spilled.err;
  EXPECT_EQ(spilled.err.find("cannot spill"), std::string::npos) << spilled.err;
  for (const std::string name : {"/pano_Mean.png", "/pano_Median.png"}) {
    const std::string expected = testsupport::ReadFile(dir.file("memory") + name);
    EXPECT_TRUE(!expected.empty() && testsupport::ReadFile(dir.file("spilled") + name) == expected)
        << name;
  }
  EXPECT_TRUE(IsEmpty(spill.path));
}

}  // namespace
