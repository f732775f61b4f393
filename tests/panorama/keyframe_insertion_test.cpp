// Online construction over rendered pans: the chain of non-key frames is
// freed once a key frame follows, and a SIFT key frame hands its features to
// the next pair. (Key frames, tree and homographies against the true motion:
// tests/panorama/centred_panorama_test.cpp and tree_test.cpp.)
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "panorama/panorama.hpp"
#include "tests/support/test_support.hpp"
#include "tools/render/scene_renderer.hpp"

namespace {

const cv::Size kFrameSize(320, 240);

using testsupport::Pan;

// A pan to the right of n frames, step photo pixels per frame.
Pan RenderPan(int n, double step) {
  return testsupport::SidewaysPan(n, kFrameSize, 1.0, 900.0, 800.0, step);
}

size_t ChainLength(const Panorama& p) {
  size_t length = 0;
  for (_treeNode* r = p.Node_Reference ? p.Node_Reference->next_List : nullptr; r; r = r->next_List)
    ++length;
  return length;
}

// Runs the online construction; returns the longest chain it held.
size_t Build(Panorama& p, const Pan& pan, float threshold, int features) {
  size_t maxChain = 0;
  p.setOperator(testsupport::StdStreams());
  testing::internal::CaptureStdout();
  for (size_t t = 1; t < pan.frames.size() && p.getban_insert() != 0; ++t) {
    p.ProcessTwoImages_AVL(pan.frames[t - 1], pan.frames[t], threshold, features);
    maxChain = std::max(maxChain, ChainLength(p));
  }
  testing::internal::GetCapturedStdout();
  return maxChain;
}

TEST(KeyFrameInsertion, ChainRecordsAreFreedOnceAKeyFrameFollows) {
  const Pan pan = RenderPan(40, 6.0);
  Panorama p;
  const size_t maxChain = Build(p, pan, 70.0f, 0);
  // Without freeing, the chain would hold every non-key frame of the run.
  const size_t nonKeyFrames = pan.frames.size() - static_cast<size_t>(p.num_Nodes);
  EXPECT_TRUE(nonKeyFrames > 20u && maxChain < nonKeyFrames / 2) << nonKeyFrames << " " << maxChain;
  for (_treeNode* n : p.Vect_Nodes)
    EXPECT_TRUE(n == p.Node_Reference || n->next_List == nullptr);
  // The live chain hangs from the latest key frame.
  for (_treeNode* r = p.Node_Reference->next_List; r != nullptr; r = r->next_List)
    EXPECT_EQ(r->id, p.Node_Reference->id);
}

// A reference left on an older key frame is moved to the latest one before
// the next frame is measured; the chain starts again behind it.
TEST(KeyFrameInsertion, AStaleReferenceMovesToTheLatestKeyFrame) {
  Pan pan = RenderPan(13, 6.0);
  const cv::Mat last = pan.frames.back();
  pan.frames.pop_back();
  Panorama p;
  Build(p, pan, 90.0f, 0);
  ASSERT_GE(p.num_Nodes, 2);
  _treeNode* const latest = p.Vect_Nodes.back();
  p.Node_Reference = p.Vect_Nodes.front();
  testing::internal::CaptureStdout();
  p.ProcessTwoImages_AVL(pan.frames.back(), last, 90.0f, 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(p.Node_Reference, latest);
  EXPECT_EQ(ChainLength(p), 1u);
  EXPECT_EQ(p.Node_Current->prev_List, latest);
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

}  // namespace
