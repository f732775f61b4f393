// The end of a run: choose the reference key frame that keeps both ends of
// the sweep least displaced, then warp every key frame into its plane for the
// mean and (on request) the median panorama.
#include <cstdint>
#include <cstdio>

#include "panorama/panorama.hpp"

namespace {

// Frame pixels the median keeps away from the frame border.
constexpr int kMedianMargin = 5;
// Budget of one median strip's per-frame fills, per pixel of the mean canvas:
// the size of the canvas's own preview and mask.
constexpr std::int64_t kMedianStripBudgetBytesPerCanvasPixel = 4;

cv::Mat Inverse(const cv::Mat& H) {
  cv::Mat inverse;
  cv::invert(H, inverse, cv::DECOMP_LU);
  return inverse;
}

}  // namespace

cv::Mat Panorama::HomographyBetween(_treeNode* from, _treeNode* to) {
  // Called for about N^2 / 2 pairs of N key frames: climbing parents keeps
  // each call O(depth) where a walk of the tree would make the whole O(N^3).
  _treeNode* l = LCAByParents(from, to);
  const cv::Mat A = calculateHomBToA(from, l);  // l onto from
  const cv::Mat B = calculateHomBToA(to, l);    // l onto to
  return B * Inverse(A);
}

float Panorama::CalculateReprojectionDistance_node2node_nn(_treeNode* /*end*/, _treeNode* node,
                                                           int k, int direction) {
  float maxDistance = 0.0f;
  int count = 0;
  _StackPointers stack;
  _treeNode* current = Root_AVL;
  for (;;) {
    if (current != nullptr) {
      push(&stack, current);
      current = (direction == 0) ? current->left : current->right;
      continue;
    }
    if (stack.count == 0) break;
    _treeNode* m = pop(&stack);
    H_Aux = HomographyBetween(m, node);
    const float d = composition.CalculateReprojectionDistance_4Corners(&pano, H_Aux, imageW,
                                                                       imageH);
    if (d > maxDistance) maxDistance = d;
    ++count;
    if (count >= k) break;
    current = (direction == 0) ? m->right : m->left;
  }
  return maxDistance;
}

void Panorama::CalculateCenteredPanorama(int withMedian) {
  if (Root_AVL == nullptr) {
    std::printf("\nBinary Tree empty...");
    std::fflush(stdout);
    return;
  }
  Node_LeftMostLeaf = CalculateLeftMostLeaf(Root_AVL);
  Node_RightMostLeaf = CalculateRightMostLeaf(Root_AVL);

  const int N = num_Nodes;
  std::vector<float> scores(static_cast<size_t>(N), 0.0f);
  int k = static_cast<int>(N * 0.5);
  if (k < 1) k = 1;

  _QueuePointers levels;
  queue(&levels, Root_AVL);
  while (levels.count > 0) {
    for (int64_t i = levels.count; i > 0; --i) {
      _treeNode* n = dequeue(&levels);
      const float dL = (n->id == Node_LeftMostLeaf->id)
                           ? 0.0f
                           : CalculateReprojectionDistance_node2node_nn(Node_LeftMostLeaf, n, k, 0);
      const float dR = (n->id == Node_RightMostLeaf->id)
                           ? 0.0f
                           : CalculateReprojectionDistance_node2node_nn(Node_RightMostLeaf, n, k, 1);
      scores[static_cast<size_t>(n->id - 1)] = dL + dR;
      if (n->left != nullptr) queue(&levels, n->left);
      if (n->right != nullptr) queue(&levels, n->right);
    }
  }
  const int index = ChooseReferenceIndex(scores);
  _treeNode* reference = Vect_Nodes[static_cast<size_t>(index)];
  Node_PanoReference = reference;

  std::printf("\nNumber of nodes: %d", N);
  std::printf("\nAVL_root:        %d", Root_AVL->id);
  std::printf("\nr*:              %d", index + 1);

  std::printf("\nMean Pano...");
  std::fflush(stdout);
  canvasSkippedIds.clear();
  composition.set_InitValues();
  pano.release();
  composition.InitializeWeights(imageW, imageH);
  Root_AVL = ProcessPanorama_AVL_HNodeToRoot(Root_AVL, reference, 0);
  composition.computeMeanPanorama(&pano);
  composition.copyWeightsToImage(&pano_Weights);

  if (withMedian != 0) {
    std::printf("\nMedian Pano...");
    std::fflush(stdout);
    // The walk queues each key frame with its homographies; the median is then
    // composed strip by strip, never holding a full canvas per key frame.
    Vect_FPanos.clear();
    Vect_FMasks.clear();
    composition.medianFrames.clear();
    Root_AVL = ProcessPanorama_AVL_HNodeToRoot_Vect_FPanos(Root_AVL, reference, 0);
    const std::int64_t stripBudgetBytes =
        static_cast<std::int64_t>(pano.total()) * kMedianStripBudgetBytesPerCanvasPixel;
    composition.afterStrip = [this] { frameStore.Release(); };
    composition.computeMedianPanoramaInStrips(&pano_Median, composition.medianFrames,
                                              kMedianMargin, imageW, imageH, pano.cols,
                                              pano.rows, stripBudgetBytes);
    composition.afterStrip = nullptr;
    composition.medianFrames.clear();
  }
}

namespace {

// H_Accumulated = H(reference -> f) through their lowest common ancestor,
// H_Aux = H(f -> reference).
void ReferenceFrameHomographies(Panorama& p, _treeNode* reference, _treeNode* f) {
  p.H_Accumulated = p.HomographyBetween(reference, f);
  cv::invert(p.H_Accumulated, p.H_Aux, cv::DECOMP_LU);
}

void WarpIntoCanvas(Panorama& p, _treeNode* reference, _treeNode* f) {
  ReferenceFrameHomographies(p, reference, f);
  const bool added = p.composition.Warping(&p.pano, *reference->image, *f->image, p.H_Accumulated,
                                           p.H_Aux, p.Id_ScaleProcess, p.Id_Warping,
                                           p.Alpha_Blending, p.imageW, p.imageH);
  if (!added) p.canvasSkippedIds.insert(f->id);
  p.frameStore.Release();
}

// Queues key frame f for the median (clones: the walk's scratch
// homographies are reused for the next frame).
void AddFramePano(Panorama& p, _treeNode* f, const cv::Mat& refToFrame, const cv::Mat& frameToRef) {
  if (p.canvasSkippedIds.count(f->id) != 0) return;
  p.composition.medianFrames.push_back(
      Composition::MedianFrame{*f->image, refToFrame.clone(), frameToRef.clone()});
}

}  // namespace

_treeNode* Panorama::ProcessPanorama_AVL_HNodeToRoot(_treeNode* node, _treeNode* reference,
                                                     int started) {
  if (started == 0) {
    started = 1;
    if (Root_AVL != reference) {
      WarpIntoCanvas(*this, reference, Root_AVL);
    } else {
      composition.StartCanvas(&pano, *reference->image, imageW, imageH);
      frameStore.Release();
    }
  }
  if (node != nullptr) {
    for (_treeNode** child : {&node->left, &node->right}) {
      if (*child == nullptr) continue;
      if ((*child)->id != reference->id) WarpIntoCanvas(*this, reference, *child);
      *child = ProcessPanorama_AVL_HNodeToRoot(*child, reference, started);
    }
  }
  return node;
}

_treeNode* Panorama::ProcessPanorama_AVL_HNodeToRoot_Vect_FPanos(_treeNode* node,
                                                                 _treeNode* reference,
                                                                 int started) {
  if (started == 0) {
    started = 1;
    const cv::Mat identity = cv::Mat::eye(3, 3, CV_64F);
    AddFramePano(*this, reference, identity, identity);
    if (Root_AVL != reference) {
      ReferenceFrameHomographies(*this, reference, Root_AVL);
      AddFramePano(*this, Root_AVL, H_Accumulated, H_Aux);
    }
  }
  if (node != nullptr) {
    for (_treeNode** child : {&node->left, &node->right}) {
      if (*child == nullptr) continue;
      if ((*child)->id != reference->id) {
        ReferenceFrameHomographies(*this, reference, *child);
        AddFramePano(*this, *child, H_Accumulated, H_Aux);
      }
      *child = ProcessPanorama_AVL_HNodeToRoot_Vect_FPanos(*child, reference, started);
    }
  }
  return node;
}
