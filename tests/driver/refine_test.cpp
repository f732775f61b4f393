// --refine end to end: a camera rolling and zooming over a facade of
// near-identical windows, rendered with known homographies. The mosaic with
// --refine must come within 2 dB of the same key frames composed with their
// true homographies, the refinement must be reported on standard error only,
// and runs on one thread or without OpenCL must give the same bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>

#include "composition/composition.hpp"
#include "tests/support/test_support.hpp"
#include "tools/render/scene_renderer.hpp"

namespace {

const cv::Size kSize(320, 240);
constexpr int kFrames = 48;
constexpr double kMaxBelowCeilingDb = 2.0;

struct KeyFrame {
  int frame = 0;
  cv::Matx33d toCanvas;
};

// A run, its mosaic, what check_run_report.py printed, and the key frames.
struct Outcome {
  testsupport::RunResult result;
  cv::Mat mean;
  std::string report;
  std::vector<KeyFrame> keys;
  KeyFrame reference;
};

class Refine : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new testsupport::ScratchDir("vmosaic-refine-");
    scene_ = render::LoadScene("facade");
    const double roll = 10 * CV_PI / 180;
    const std::vector<render::Waypoint> path{
        {0, {500, 800, -roll, 0.5, 0, 0}},
        {(kFrames - 1) / 2.0, {950, 780, roll, 0.5 * 1.15, 0, 0}},
        {kFrames - 1.0, {1400, 820, -roll, 0.5, 0, 0}}};
    for (int i = 0; i < kFrames; ++i) {
      photoToFrame_.push_back(render::PhotoToFrame(render::PoseAt(path, i), kSize));
      frames_.push_back(render::RenderFrame(scene_, photoToFrame_.back(), kSize));
    }
    ASSERT_TRUE(render::WriteVideo(dir_->file("in.mkv"), frames_, 30));
  }
  static void TearDownTestSuite() { delete dir_; }

  // vmosaic with `options` in dir_/name (started by the program and
  // arguments of `through` when given), and its report's key frames.
  static Outcome RunIn(const std::string& name, std::vector<std::string> args,
                       std::vector<std::string> through = {}) {
    const std::string work = dir_->file(name), root = testsupport::SourceRoot();
    std::filesystem::create_directory(work);
    args.insert(args.end(), {"--json", "r.json", "../in.mkv", "70", "0", "0"});
    if (!through.empty()) {
      args.insert(args.begin(), testsupport::VmosaicBinary());
      args.insert(args.begin(), through.begin() + 1, through.end());
    }
    Outcome run{!through.empty() ? testsupport::RunProgram(through[0], args, work)
                                 : testsupport::RunVmosaic(args, work),
                cv::imread(work + "/pano_Mean.png"),
                "",
                {},
                {}};
    const testsupport::RunResult check =
        testsupport::RunProgram("/usr/bin/python3",
                                {root + "/tests/driver/check_run_report.py", work + "/r.json",
                                 root + "/doc/run-report.schema.json"},
                                work);
    EXPECT_EQ(check.exitCode, 0) << check.err;
    run.report = check.out;
    std::istringstream lines(check.out);
    std::string word;
    int skip = 0, referenceId = 0, keyCount = 0;
    lines >> word >> skip >> skip >> skip >> skip >> referenceId >> keyCount >> skip;
    for (int k = 0, id = 0; k < keyCount; ++k) {
      KeyFrame& key = run.keys.emplace_back();
      lines >> id >> key.frame;
      for (double& v : key.toCanvas.val)
        lines >> v;
      if (id == referenceId)
        run.reference = key;
    }
    return run;
  }

  // PSNR of a mosaic against the scene seen in its canvas plane, over the
  // pixels it covers.
  static double Score(const cv::Mat& mosaic, const cv::Matx33d& photoToCanvas) {
    cv::Mat truth, grey;
    cv::warpPerspective(scene_, truth, cv::Mat(photoToCanvas), mosaic.size());
    cv::cvtColor(mosaic, grey, cv::COLOR_BGR2GRAY);
    return testsupport::PsnrOverMask(mosaic, truth, grey > 0);
  }

  // The same key frames composed with their true homographies.
  static double Ceiling(const Outcome& run) {
    const cv::Matx33d photoToRef = photoToFrame_[run.reference.frame];
    const cv::Mat refImage = frames_[run.reference.frame];
    Composition composition;
    composition.set_InitValues();
    composition.InitializeWeights(kSize.width, kSize.height);
    cv::Mat pano, mean;
    composition.StartCanvas(&pano, refImage, kSize.width, kSize.height);
    for (const KeyFrame& k : run.keys) {
      if (k.frame == run.reference.frame)
        continue;
      cv::Matx33d toRef = photoToRef * photoToFrame_[k.frame].inv();
      toRef *= 1.0 / toRef(2, 2);
      composition.Warping(&pano, refImage, frames_[k.frame], cv::Mat(toRef.inv()), cv::Mat(toRef),
                          1, 1, 0.5f, kSize.width, kSize.height);
    }
    composition.computeMeanPanorama(&mean);
    const cv::Matx33d refToCanvas(1, 0, -composition.minposAcum_x, 0, 1, -composition.minposAcum_y,
                                  0, 0, 1);
    return Score(mean, refToCanvas * photoToRef);
  }

  static inline testsupport::ScratchDir* dir_ = nullptr;
  static inline cv::Mat scene_;
  static inline std::vector<cv::Mat> frames_;
  static inline std::vector<cv::Matx33d> photoToFrame_;
};

// Also: a run with --refine on one thread (one processor), and one with
// OpenCL off, give the same bytes as on all threads with OpenCL as found.
TEST_F(Refine, RollZoomOverFacadeComesWithinTwoDecibelsOfTheTrueHomographies) {
  const Outcome plain = RunIn("plain", {}), refined = RunIn("refined", {"--refine"});
  ASSERT_EQ(plain.result.exitCode, 0) << plain.result.err;
  ASSERT_EQ(refined.result.exitCode, 0) << refined.result.err;
  ASSERT_FALSE(refined.mean.empty());
  for (const auto& [name, through] : std::vector<std::pair<std::string, std::vector<std::string>>>{
           {"one-thread", {"/usr/bin/taskset", "-c", "0"}},
           {"no-opencl", {"/usr/bin/env", "OPENCV_OPENCL_RUNTIME=disabled"}}}) {
    const Outcome again = RunIn(name, {"--refine"}, through);
    EXPECT_EQ(testsupport::ReadFile(dir_->file("refined/pano_Mean.png")),
              testsupport::ReadFile(dir_->file(name + "/pano_Mean.png")))
        << name;
    EXPECT_EQ(refined.report, again.report) << name;
  }
  ASSERT_GE(refined.keys.size(), 4u);

  const auto score = [](const Outcome& run) {
    return Score(run.mean, run.reference.toCanvas * photoToFrame_[run.reference.frame]);
  };
  const double ceiling = Ceiling(refined), withRefine = score(refined), without = score(plain);
  const std::string scores = "PSNR: plain " + std::to_string(without) + " dB, --refine " +
                             std::to_string(withRefine) + " dB, true homographies " +
                             std::to_string(ceiling) + " dB";
  EXPECT_GE(withRefine, ceiling - kMaxBelowCeilingDb) << scores;
  // The case is one the tree's links alone do not compose well.
  EXPECT_LT(without, ceiling - kMaxBelowCeilingDb) << scores;

  // Reported on standard error; standard output carries the same lines.
  EXPECT_NE(refined.result.err.find("pairs tried"), std::string::npos) << refined.result.err;
  EXPECT_EQ(refined.result.out.find("refine"), std::string::npos);
  EXPECT_EQ(std::count(refined.result.out.begin(), refined.result.out.end(), '\n'),
            std::count(plain.result.out.begin(), plain.result.out.end(), '\n'));
}

}  // namespace
