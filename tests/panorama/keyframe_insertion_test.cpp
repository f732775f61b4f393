// Online construction over rendered pans with known motion: which frames
// become key frames, the tree they form, and the homographies it holds.
#include <gtest/gtest.h>

#include <map>
#include <opencv2/imgproc.hpp>

#include "geometry/overlap.hpp"
#include "panorama/panorama.hpp"
#include "tests/support/test_support.hpp"
#include "tools/render/scene_renderer.hpp"

namespace {

const cv::Size kFrameSize(320, 240);

using testsupport::Pan;

// A horizontal pan of n frames, step photo pixels per frame (negative: right to left).
Pan RenderPan(int n, double step, double startX = 900.0) {
  return testsupport::SidewaysPan(n, kFrameSize, 1.0, startX, 800.0, step);
}

size_t ChainLength(const Panorama& p) {
  size_t length = 0;
  for (_treeNode* r = p.Node_Reference ? p.Node_Reference->next_List : nullptr; r; r = r->next_List)
    ++length;
  return length;
}

// Runs the online construction and records which frame each key frame is.
struct Construction {
  std::map<int, int> frameOfId;  // node id -> frame index
  std::string out;
  size_t maxChain = 0;
};

Construction Build(Panorama& p, const Pan& pan, float threshold, int features) {
  Construction run{{{1, 0}}, "", 0};
  p.setOperator(testsupport::StdStreams());
  testing::internal::CaptureStdout();
  for (size_t t = 1; t < pan.frames.size(); ++t) {
    const int before = p.num_Nodes;
    p.ProcessTwoImages_AVL(pan.frames[t - 1], pan.frames[t], threshold, features);
    if (p.num_Nodes > before && p.num_Nodes > 1)
      run.frameOfId[p.num_Nodes] = static_cast<int>(t);
    run.maxChain = std::max(run.maxChain, ChainLength(p));
    if (p.getban_insert() == 0)
      break;
  }
  run.out = testing::internal::GetCapturedStdout();
  return run;
}

// Key frames expected from the true motion: a frame becomes a key frame when
// its overlap with the last key frame is at or below the threshold.
int ExpectedKeyFrames(const Pan& pan, float threshold) {
  int keyFrames = 1, lastKey = 0;
  for (int t = 1; t < static_cast<int>(pan.frames.size()); ++t) {
    if (!(geometry::CalculateOverlapPercentage(pan.Between(t, lastKey), kFrameSize.width,
                                               kFrameSize.height) > threshold))
      ++keyFrames, lastKey = t;
  }
  return keyFrames;
}

void InOrder(_treeNode* n, std::vector<_treeNode*>& out) {
  if (n)
    InOrder(n->left, out), out.push_back(n), InOrder(n->right, out);
}

void ExpectTreeMatchesTruth(Panorama& p, const Pan& pan, const Construction& run,
                            bool leftToRight) {
  ASSERT_NE(p.Root_AVL, nullptr);
  std::vector<_treeNode*> order;
  InOrder(p.Root_AVL, order);
  ASSERT_EQ(order.size(), static_cast<size_t>(p.num_Nodes));
  for (size_t i = 0; i < order.size(); ++i) {
    EXPECT_LE(std::abs(p.diff(order[i])), 1) << "node " << order[i]->id;
    // In-order is left to right in the scene.
    if (i > 0) {
      EXPECT_EQ(run.frameOfId.at(order[i - 1]->id) < run.frameOfId.at(order[i]->id), leftToRight)
          << i;
    }
  }
  const int rootFrame = run.frameOfId.at(p.Root_AVL->id);
  for (_treeNode* n : p.Vect_Nodes) {  // root onto n
    EXPECT_LT(testsupport::MaxCornerError(p.calculateHomBToA(n, p.Root_AVL),
                                          pan.Between(rootFrame, run.frameOfId.at(n->id)),
                                          kFrameSize.width, kFrameSize.height),
              3.0)
        << "node " << n->id;
  }
}

class PanConstruction : public testing::TestWithParam<int> {};

// Right to left places frames on the left; threshold 100 makes every frame a key frame.
TEST_P(PanConstruction, PansGiveExpectedKeyFramesAndTrueGeometry) {
  const struct {
    int n;
    double step, startX;
    float threshold;
  } pans[] = {{20, 16.0, 900.0, 60.0f}, {20, -16.0, 1600.0, 60.0f}, {8, 12.0, 900.0, 100.0f}};
  for (const auto& c : pans) {
    SCOPED_TRACE("step " + std::to_string(c.step) + ", threshold " + std::to_string(c.threshold));
    const Pan pan = RenderPan(c.n, c.step, c.startX);
    Panorama p;
    const Construction run = Build(p, pan, c.threshold, GetParam());
    EXPECT_EQ(run.out.find("No existe Hij"), std::string::npos) << run.out;
    EXPECT_NEAR(p.num_Nodes, ExpectedKeyFrames(pan, c.threshold), 1);
    EXPECT_TRUE(p.num_Nodes >= 3 && p.num_VectH == p.num_Nodes - 1);
    if (c.threshold == 100.0f) {
      EXPECT_TRUE(p.num_Nodes == c.n && run.maxChain == 0u &&
                  p.Node_Reference == p.Vect_Nodes.back());
    }
    ExpectTreeMatchesTruth(p, pan, run, c.step > 0);
  }
}

INSTANTIATE_TEST_SUITE_P(BothFeatureMethods, PanConstruction, testing::Values(0, 1),
                         [](const auto& info) { return info.param == 0 ? "Corners" : "Sift"; });

TEST(KeyFrameInsertion, ChainRecordsAreFreedOnceAKeyFrameFollows) {
  const Pan pan = RenderPan(40, 6.0);
  Panorama p;
  const Construction run = Build(p, pan, 70.0f, 0);
  // Without freeing, the chain would hold every non-key frame of the run.
  const size_t nonKeyFrames = pan.frames.size() - static_cast<size_t>(p.num_Nodes);
  EXPECT_TRUE(nonKeyFrames > 20u && run.maxChain < nonKeyFrames / 2)
      << nonKeyFrames << " " << run.maxChain;
  for (_treeNode* n : p.Vect_Nodes)
    EXPECT_TRUE(n == p.Node_Reference || n->next_List == nullptr);
  // The live chain hangs from the latest key frame.
  for (_treeNode* r = p.Node_Reference->next_List; r != nullptr; r = r->next_List)
    EXPECT_EQ(r->id, p.Node_Reference->id);
}

TEST(KeyFrameInsertion, ChainStepStartsTheNextPairFromFreshCorners) {
  const Pan pan = RenderPan(3, 4.0);
  Panorama p;
  Build(p, pan, 95.0f, 0);  // the 4 px steps overlap by more than 95 %
  ASSERT_TRUE(p.num_Nodes == 1 && ChainLength(p) == 2u &&
              p.featureMatching.getPointerCorners_j() != nullptr);
  EXPECT_EQ(p.featureMatching.getCorners_j(),
            FeatureExtraction().goodFeaturesToTrack(pan.frames[2], 1, kFrameSize.width,
                                                    kFrameSize.height));
}

TEST(KeyFrameInsertion, SiftKeyFrameStepRestoresTheCurrentFramesFeatures) {
  const Pan pan = RenderPan(2, 30.0);
  Panorama p;
  Build(p, pan, 100.0f, 1);
  ASSERT_TRUE(p.num_Nodes == 2 && p.Vect_Nodes[1]->SIFT_Features != nullptr);
  const size_t all = FeatureExtraction().SIFTFeatures(pan.frames[1]).size();
  EXPECT_EQ(cv::Vec3i(p.featureMatching.getSIFT_Features_j().size(),
                      p.featureMatching.getSIFT_Descriptor_j().rows,
                      p.Vect_Nodes[1]->SIFT_Features->size()),
            cv::Vec3i::all(static_cast<int>(all)));
}

TEST(KeyFrameInsertion, FailedRegistrationFallsBackToIdentityAndGoesOn) {
  // A uniform pair has no features: the frame is treated as not having moved.
  const cv::Mat flat(kFrameSize, CV_8UC3, cv::Scalar(90, 90, 90));
  Panorama p(testsupport::StdStreams());
  testing::internal::CaptureStdout();
  p.ProcessTwoImages_AVL(flat, flat.clone(), 90.0f, 0);
  testing::internal::GetCapturedStdout();  // its messages: tests/driver/vmosaic_cli_test.cpp
  EXPECT_TRUE(p.getban_insert() == 1 && p.num_Nodes == 1);
  ASSERT_EQ(ChainLength(p), 1u);  // identity: full overlap, chained
  EXPECT_LT(cv::norm(*p.Node_Reference->next_List->H_ParentToNode, cv::Mat::eye(3, 3, CV_64F)),
            1e-12);
}

}  // namespace
