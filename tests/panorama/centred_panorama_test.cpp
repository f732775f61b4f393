// Reference choice and the composed mosaics, against the photo the frames
// were rendered from.
#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <opencv2/imgproc.hpp>

#include "panorama/panorama.hpp"
#include "tests/support/test_support.hpp"
#include "tools/render/scene_renderer.hpp"

namespace {

// A small tree built by hand: node images are flat, links are given.
_treeNode* AddNode(Panorama& p, _treeNode* parent, bool right, const cv::Mat& link,
                   cv::Size size = cv::Size(40, 30)) {
  static std::deque<_treeNode> arena;  // nodes outlive the test's Panorama
  _treeNode* node = &arena.emplace_back();
  node->id = ++p.num_Nodes;
  node->image = std::make_unique<cv::Mat>(size, CV_8UC3, cv::Scalar(60, 120, 180));
  node->H_ParentToNode = std::make_unique<cv::Mat>(link.clone());
  node->parent = parent;
  if (parent == nullptr)
    p.Root_AVL = node;
  else
    node->id_Parent = parent->id, (right ? parent->right : parent->left) = node,
    (right ? parent->id_Right : parent->id_Left) = node->id;
  p.Vect_Nodes.push_back(node);
  p.imageW = size.width, p.imageH = size.height;
  return node;
}

cv::Mat Shift(double dx) {
  return testsupport::Translation(dx, 0);
}

std::string Compose(Panorama& p, int withMedian) {
  p.setOperator(testsupport::StdStreams());
  testing::internal::CaptureStdout();
  p.CalculateCenteredPanorama(withMedian);
  return testing::internal::GetCapturedStdout();
}

int ChosenReference(const std::string& out) {
  const std::string label = "\nr*:              ";
  const size_t at = out.find(label);
  EXPECT_NE(at, std::string::npos) << out;
  return at == std::string::npos ? -1 : std::atoi(out.c_str() + at + label.size());
}

TEST(ReferenceChoice, OneKeyFrameIsItsOwnReferenceAndTheWholeCanvas) {
  Panorama p;
  AddNode(p, nullptr, false, cv::Mat::eye(3, 3, CV_64F));
  const std::string out = Compose(p, 1);
  EXPECT_EQ(
      out,
      "\nNumber of nodes: 1\nAVL_root:        1\nr*:              1\nMean Pano...\nMedian Pano...");
  // The median is composed in strips: no per-frame canvases are kept.
  EXPECT_TRUE(p.pano.size() == cv::Size(40, 30) && p.pano_Median.size() == p.pano.size());
  EXPECT_TRUE(p.Vect_FPanos.empty() && p.Vect_FMasks.empty());
}

TEST(ReferenceChoice, FiveFramesUseTheTwoFramesAtEachEnd) {
  // Frames at scene x = 0, 7, 19, 26, 41 (ids in that order), as a balanced
  // tree rooted at 2: 1 - 2 - 3 - 4 - 5 in order. With N = 5 each side
  // distance looks at the two frames nearest its end. The expected scores
  // come from the positions alone, not from tree paths.
  const double x[6] = {0, 0, 7, 19, 26, 41};  // by id
  auto link = [&](int parent, int child) {
    return Shift(x[parent] - x[child]);
  };
  Panorama p;
  _treeNode* n2 = AddNode(p, nullptr, false, cv::Mat::eye(3, 3, CV_64F));
  _treeNode *n1 = AddNode(p, n2, false, link(2, 1)), *n4 = AddNode(p, n2, true, link(2, 4));
  _treeNode *n3 = AddNode(p, n4, false, link(4, 3)), *n5 = AddNode(p, n4, true, link(4, 5));
  // Rename so that id k is the frame at x[k].
  n1->id = 1, n2->id = 2, n3->id = 3, n4->id = 4, n5->id = 5;
  p.Vect_Nodes = {n1, n2, n3, n4, n5};

  auto distance = [&](int from, int to) {  // corner distance of H(from -> to)
    return p.composition.CalculateReprojectionDistance_4Corners(nullptr, Shift(x[from] - x[to]), 40,
                                                                30);
  };
  float best = 0.0f;
  int expected = 0;
  for (int n = 1; n <= 5; ++n) {
    const float dL = n == 1 ? 0.0f : std::max(distance(1, n), distance(2, n));
    const float dR = n == 5 ? 0.0f : std::max(distance(5, n), distance(4, n));
    if (expected == 0 || best > dL + dR)
      best = dL + dR, expected = n;
  }
  EXPECT_EQ(ChosenReference(Compose(p, 0)), expected);
  // The canvas spans all five frames around the reference.
  EXPECT_TRUE(std::abs(p.pano.cols - (40 + 41)) <= 2 && p.pano.rows == 30) << p.pano.size();
}

// --- The whole construction and composition over rendered pans ------------

const cv::Size kFrameSize(320, 240);

using Scene = testsupport::Pan;

// A pan to the right drifting slightly downwards, n frames.
Scene RenderPan(int n, double step) {
  return testsupport::RenderPan(n, kFrameSize, testsupport::Pose(1000, 760),
                                testsupport::Pose(1000 + step * (n - 1), 760 + 2.0 * (n - 1)));
}

struct Mosaic {
  std::map<int, int> frameOfId;
  int reference = 0;
  std::string out;
};

Mosaic BuildAndCompose(Panorama& p, const Scene& scene, float threshold, int features,
                       int withMedian) {
  Mosaic m{{{1, 0}}, 0, ""};
  p.setOperator(testsupport::StdStreams());
  testing::internal::CaptureStdout();
  for (size_t t = 1; t < scene.frames.size(); ++t) {
    const int before = p.num_Nodes;
    p.ProcessTwoImages_AVL(scene.frames[t - 1], scene.frames[t], threshold, features);
    if (p.num_Nodes > before && p.num_Nodes > 1)
      m.frameOfId[p.num_Nodes] = static_cast<int>(t);
  }
  p.CalculateCenteredPanorama(withMedian);
  m.out = testing::internal::GetCapturedStdout();
  m.reference = ChosenReference(m.out);
  return m;
}

// Photo -> reference frame -> canvas.
cv::Matx33d PhotoToCanvas(const Panorama& p, const Scene& scene, const Mosaic& m) {
  return cv::Matx33d(1, 0, -p.composition.minposAcum_x, 0, 1, -p.composition.minposAcum_y, 0, 0,
                     1) *
         scene.photoToFrame[static_cast<size_t>(m.frameOfId.at(m.reference))];
}

// The photo as the canvas should show it.
cv::Mat ExpectedCanvas(const Panorama& p, const Scene& scene, const Mosaic& m) {
  cv::Mat expected;
  cv::warpPerspective(testsupport::TestPhoto(), expected, cv::Mat(PhotoToCanvas(p, scene, m)),
                      p.pano.size(), cv::INTER_LINEAR, cv::BORDER_REFLECT);
  return expected;
}

class Composed : public testing::TestWithParam<int> {};

// The pan moves by whole pixels, so every sample a correct run takes is an
// exact photo pixel: the median matches exactly and the mean up to its
// truncation. A registration or composition fault (a
// wrong link, a wrong sign, an off-by-one in the canvas origin) shifts frames
// by a pixel or more, which on this textured photo scores below 25 dB (the
// test checks that the floor tells a one-pixel shift apart).
constexpr double kMinPsnrDb = 40.0;

TEST_P(Composed, MeanAndMedianShowThePhotoInTheReferencePlane) {
  const Scene scene = RenderPan(18, 16.0);
  Panorama p;
  const Mosaic m = BuildAndCompose(p, scene, 70.0f, GetParam(), 1);
  ASSERT_TRUE(m.reference >= 1 && p.num_Nodes >= 3) << m.out;
  EXPECT_EQ(m.out.find("No existe Hij"), std::string::npos);

  // Size: the key frames span 16 px and 2 px per frame between the first and
  // the last of them (frames chained after the last key frame are not drawn).
  const int span = m.frameOfId.rbegin()->second - m.frameOfId.begin()->second;
  EXPECT_NEAR(p.pano.cols, kFrameSize.width + span * 16, 3);
  EXPECT_NEAR(p.pano.rows, kFrameSize.height + span * 2, 3);
  ASSERT_EQ(p.pano_Median.size(), p.pano.size());

  const cv::Mat expected = ExpectedCanvas(p, scene, m);
  cv::Mat covered;  // covered canvas pixels away from frame borders
  cv::erode(p.composition.mask >= 128, covered, cv::Mat(), cv::Point(-1, -1), 3);
  ASSERT_GT(cv::countNonZero(covered), p.pano.total() / 2);
  // The median samples 5 px inside each frame: the covered interior shrunk
  // by that margin (and one pixel more for the last column and row); the
  // canvas border counts as uncovered.
  cv::Mat medianCovered, shifted;
  cv::erode(covered, medianCovered, cv::Mat(), cv::Point(-1, -1), 6, cv::BORDER_CONSTANT,
            cv::Scalar(0));
  ASSERT_GT(cv::countNonZero(medianCovered), p.pano.total() / 3);
  const double meanPsnr = testsupport::PsnrOverMask(p.pano, expected, covered);
  const double medianPsnr = testsupport::PsnrOverMask(p.pano_Median, expected, medianCovered);
  EXPECT_TRUE(meanPsnr > kMinPsnrDb && medianPsnr > kMinPsnrDb)
      << meanPsnr << " dB, median " << medianPsnr << " dB";
  cv::warpAffine(expected, shifted, cv::Mat(cv::Matx23d(1, 0, 1, 0, 1, 0)), expected.size());
  EXPECT_LT(testsupport::PsnrOverMask(p.pano, shifted, covered), kMinPsnrDb - 10.0);
}

INSTANTIATE_TEST_SUITE_P(BothFeatureMethods, Composed, testing::Values(0, 1),
                         [](const auto& info) { return info.param == 0 ? "Corners" : "Sift"; });

}  // namespace
