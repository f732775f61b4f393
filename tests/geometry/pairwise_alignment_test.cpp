// Photometric pair alignment on rendered frames with known homographies:
// it must find the true homography from a start several pixels off despite
// vignetting, a change of exposure and noise, and must not claim a result
// for frames that show different ground.
#include "geometry/pairwise_alignment.hpp"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "tests/support/test_support.hpp"
#include "tools/render/scene_renderer.hpp"

namespace {

const cv::Size kSize(320, 240);

struct Motion {
  const char* name;
  const char* scene;
  double dx, dy, angleDeg, zoom, tiltX;  // photo pixels, roll, relative zoom, perspective per pixel
};
void PrintTo(const Motion& m, std::ostream* os) {
  *os << m.name;
}

class PairwiseAlignmentTest : public ::testing::TestWithParam<Motion> {};

// The second frame of each pair: a camera moved from the first pose.
TEST_P(PairwiseAlignmentTest, RecoversTrueHomographyUnderVignettingGainAndNoise) {
  const Motion& m = GetParam();
  const cv::Mat scene = render::LoadScene(m.scene);
  ASSERT_FALSE(scene.empty()) << m.scene;
  const render::CameraPose a = testsupport::Pose(scene.cols * 0.45, scene.rows * 0.5, 0.5);
  render::CameraPose b = testsupport::Pose(a.centreX + m.dx, a.centreY + m.dy, 0.5 * m.zoom,
                                           m.angleDeg * CV_PI / 180.0);
  b.tiltX = m.tiltX;
  cv::Mat frameA = render::RenderFrame(scene, render::PhotoToFrame(a, kSize), kSize);
  cv::Mat frameB = render::RenderFrame(scene, render::PhotoToFrame(b, kSize), kSize);
  render::ApplyPhotometry(frameA, render::Photometry{0.3, 1.0, 2.0}, 11);
  render::ApplyPhotometry(frameB, render::Photometry{0.3, 0.8, 2.0}, 12);
  const cv::Mat truth(
      render::FrameToFrame(render::PhotoToFrame(a, kSize), render::PhotoToFrame(b, kSize)));
  // A start such as the feature-based links give: pixels off, slightly turned.
  const cv::Mat start =
      (cv::Mat_<double>(3, 3) << 1.005, 0.01, 4.0, -0.008, 0.995, -3.0, 1e-5, -1e-5, 1.0) * truth;
  ASSERT_GT(testsupport::MaxCornerError(start, truth, kSize.width, kSize.height), 4.0);
  const geometry::PairwiseAlignment r = geometry::AlignPair(frameA, frameB, start);
  EXPECT_TRUE(r.accepted && r.improved()) << "NCC " << r.nccBefore << " -> " << r.nccAfter;
  EXPECT_LT(testsupport::MaxCornerError(r.H, truth, kSize.width, kSize.height), 0.1);

  // Pyramids built once, deeper than any setting needs, give the same result
  // as each pair building its own.
  const geometry::AlignmentPyramids pyramidA =
      geometry::BuildAlignmentPyramids(geometry::FloatGrey(frameA), 4, 1);
  const geometry::AlignmentPyramids pyramidB =
      geometry::BuildAlignmentPyramids(geometry::FloatGrey(frameB), 4, 1);
  geometry::PairwiseAlignmentSettings finestOnly;
  finestOnly.coarsestLevel = 0;
  geometry::PairwiseAlignmentSettings onePass = finestOnly;
  onePass.finestOnePass = true;
  for (const geometry::PairwiseAlignmentSettings& settings :
       {geometry::PairwiseAlignmentSettings{}, finestOnly, onePass}) {
    const geometry::PairwiseAlignment alone = geometry::AlignPair(frameA, frameB, start, settings);
    const geometry::PairwiseAlignment shared =
        geometry::AlignPyramidPair(pyramidA, pyramidB, start, settings);
    EXPECT_TRUE(testsupport::SameBits(alone.H, shared.H)) << settings.coarsestLevel;
    EXPECT_EQ(alone.nccAfter, shared.nccAfter);
  }
  // The one-pass step is findTransformECC's step summed another way: from a
  // start a pixel off, both land in the same place, at least halfway to the
  // truth.
  const cv::Mat near = (cv::Mat_<double>(3, 3) << 1, 0, 0.8, 0, 1, -0.6, 0, 0, 1) * truth;
  const geometry::PairwiseAlignment ecc = geometry::AlignPair(frameA, frameB, near, finestOnly);
  const geometry::PairwiseAlignment sums = geometry::AlignPair(frameA, frameB, near, onePass);
  ASSERT_TRUE(ecc.accepted && sums.accepted);
  EXPECT_LT(testsupport::MaxCornerError(ecc.H, sums.H, kSize.width, kSize.height), 0.05);
  EXPECT_LT(testsupport::MaxCornerError(sums.H, truth, kSize.width, kSize.height), 0.5);
}

INSTANTIATE_TEST_SUITE_P(
    Motions, PairwiseAlignmentTest,
    ::testing::Values(Motion{"PanOverLake", "lake_boats_2560x1600.jpg", 60, 12, 0.0, 1.0, 0.0},
                      Motion{"ZoomOverMoss", "moss_2560x1600.jpg", 30, 20, -2.0, 1.08, 0.0},
                      Motion{"TiltOverObjects", "objects", 50, 0, 1.0, 1.0, 2e-4}),
    [](const auto& info) { return std::string(info.param.name); });

// Views of different ground (another photo, or far elsewhere on the same
// one): whatever the correlation finds is not kept.
TEST(PairwiseAlignment, RejectsUnrelatedFrames) {
  const cv::Mat lake = render::LoadScene("lake_boats_2560x1600.jpg"),
                moss = render::LoadScene("moss_2560x1600.jpg");
  ASSERT_FALSE(lake.empty() || moss.empty());
  const cv::Matx33d photoToFrame = render::PhotoToFrame(testsupport::Pose(1200, 800, 0.5), kSize);
  const cv::Mat lakeFrame = render::RenderFrame(lake, photoToFrame, kSize);
  for (const cv::Mat& other :
       {render::RenderFrame(moss, photoToFrame, kSize),
        render::RenderFrame(lake, render::PhotoToFrame(testsupport::Pose(400, 300, 0.5), kSize),
                            kSize)}) {
    const geometry::PairwiseAlignment r =
        geometry::AlignPair(lakeFrame, other, cv::Mat::eye(3, 3, CV_64F));
    EXPECT_FALSE(r.improved()) << "NCC " << r.nccBefore << " -> " << r.nccAfter;
    EXPECT_LT(r.nccAfter, 0.35);
  }
}

// Each level is an image of its own: smoothing the intensity levels must not
// reach the grey image, and each level is built from the image reduced l
// times (the coarse band-pass levels from its smoothed version).
TEST(PairwiseAlignment, PyramidLevelsShareNoPixels) {
  const cv::Mat scene = render::LoadScene("moss_2560x1600.jpg");
  ASSERT_FALSE(scene.empty());
  const cv::Mat grey = geometry::FloatGrey(render::RenderFrame(
      scene, render::PhotoToFrame(testsupport::Pose(1200, 800, 0.5), kSize), kSize));
  const cv::Mat before = grey.clone();
  const geometry::AlignmentPyramids pyramids = geometry::BuildAlignmentPyramids(grey, 2);
  EXPECT_EQ(cv::norm(grey, before, cv::NORM_INF), 0.0);
  cv::Mat reduced = before;
  for (size_t level = 0; level < pyramids.bandPass.size(); ++level) {
    const geometry::AlignmentPyramids alone = geometry::BuildAlignmentPyramids(reduced, 0);
    EXPECT_EQ(cv::norm(pyramids.intensity[level], alone.intensity[0], cv::NORM_INF), 0.0) << level;
    const cv::Mat bandSource = level == 0 ? reduced : alone.intensity[0];
    EXPECT_EQ(cv::norm(pyramids.bandPass[level],
                       geometry::BuildAlignmentPyramids(bandSource, 0).bandPass[0], cv::NORM_INF),
              0.0)
        << level;
    cv::Mat next;
    cv::pyrDown(reduced, next);
    reduced = next;
  }
}

}  // namespace
