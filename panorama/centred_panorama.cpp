// The end of a run: choose the reference key frame that keeps both ends of
// the sweep least displaced, then warp every key frame into its plane for the
// mean and (on request) the median panorama.
#include <cstdint>

#include "geometry/homography_mapping.hpp"
#include "panorama/panorama.hpp"

namespace {

// Frame pixels the median keeps away from the frame border.
constexpr int kMedianMargin = 5;
// Budget of one median strip's per-frame fills, per pixel of the mean canvas:
// the size of the canvas's own preview and mask.
constexpr std::int64_t kMedianStripBudgetBytesPerCanvasPixel = 4;

}  // namespace

cv::Mat Panorama::HomographyBetween(_treeNode* from, _treeNode* to) {
  // Called for about N^2 / 2 pairs of N key frames: climbing parents keeps
  // each call O(depth) where a walk of the tree would make the whole O(N^3).
  _treeNode* l = LCAByParents(from, to);
  const cv::Mat A = calculateHomBToA(from, l);  // l onto from
  const cv::Mat B = calculateHomBToA(to, l);    // l onto to
  return B * InverseHomography(A);
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
    if (stack.count == 0)
      break;
    _treeNode* m = pop(&stack);
    H_Aux = HomographyBetween(m, node);
    const float d =
        composition.CalculateReprojectionDistance_4Corners(&pano, H_Aux, imageW, imageH);
    if (d > maxDistance)
      maxDistance = d;
    ++count;
    if (count >= k)
      break;
    current = (direction == 0) ? m->right : m->left;
  }
  return maxDistance;
}

void Panorama::CalculateCenteredPanorama(int withMedian) {
  if (ChooseReference() == nullptr)
    return;
  ComposeCentredPanorama(withMedian);
}

_treeNode* Panorama::ChooseReference() {
  if (Root_AVL == nullptr) {
    operator_->Out("\nBinary Tree empty...");
    return nullptr;
  }
  Node_LeftMostLeaf = CalculateLeftMostLeaf(Root_AVL);
  Node_RightMostLeaf = CalculateRightMostLeaf(Root_AVL);

  const int N = num_Nodes;
  std::vector<float> scores(static_cast<size_t>(N), 0.0f);
  int k = static_cast<int>(N * 0.5);
  if (k < 1)
    k = 1;

  _QueuePointers levels;
  queue(&levels, Root_AVL);
  while (levels.count > 0) {
    for (int64_t i = levels.count; i > 0; --i) {
      _treeNode* n = dequeue(&levels);
      const float dL = (n->id == Node_LeftMostLeaf->id)
                           ? 0.0f
                           : CalculateReprojectionDistance_node2node_nn(Node_LeftMostLeaf, n, k, 0);
      const float dR =
          (n->id == Node_RightMostLeaf->id)
              ? 0.0f
              : CalculateReprojectionDistance_node2node_nn(Node_RightMostLeaf, n, k, 1);
      scores[static_cast<size_t>(n->id - 1)] = dL + dR;
      if (n->left != nullptr)
        queue(&levels, n->left);
      if (n->right != nullptr)
        queue(&levels, n->right);
    }
  }
  const int index = ChooseReferenceIndex(scores);
  _treeNode* reference = Vect_Nodes[static_cast<size_t>(index)];
  Node_PanoReference = reference;

  operator_->Out(io::Format("\nNumber of nodes: %d", N));
  operator_->Out(io::Format("\nAVL_root:        %d", Root_AVL->id));
  operator_->Out(io::Format("\nr*:              %d", index + 1));

  return reference;
}

void Panorama::ComposeCentredPanorama(int withMedian) {
  ComposeWith(withMedian, {});
}

void Panorama::ComposeCentredPanorama(int withMedian, const Placements& placements) {
  std::map<int32_t, cv::Mat> frameToRef;
  for (const PlacedKeyFrame& k : placements) {
    CV_Assert(k.H_FrameToRef.rows == 3 && k.H_FrameToRef.cols == 3 &&
              k.H_FrameToRef.type() == CV_64F);
    frameToRef[k.id] = k.H_FrameToRef.clone();
  }
  ComposeWith(withMedian, std::move(frameToRef));
}

const cv::Mat* Panorama::ComposedPlacement(int32_t id) const {
  const auto found = composedFrameToRef.find(id);
  return found == composedFrameToRef.end() ? nullptr : &found->second;
}

namespace {

// H_Accumulated = H(reference -> f) (through their lowest common ancestor,
// unless the composition was given f's placement), H_Aux = H(f -> reference).
void ReferenceFrameHomographies(Panorama& p, _treeNode* reference, _treeNode* f,
                                const cv::Mat* given) {
  p.H_Accumulated =
      given == nullptr ? p.HomographyBetween(reference, f) : InverseHomography(*given);
  cv::invert(p.H_Accumulated, p.H_Aux, cv::DECOMP_LU);
}

// Each child, then the child's own descendants, left before right: the order
// in which the walks below add key frames.
void CollectInWalkOrder(_treeNode* node, _treeNode* reference, std::vector<_treeNode*>* out) {
  if (node == nullptr)
    return;
  for (_treeNode* child : {node->left, node->right}) {
    if (child == nullptr)
      continue;
    if (child != reference)
      out->push_back(child);
    CollectInWalkOrder(child, reference, out);
  }
}

}  // namespace

std::vector<_treeNode*> Panorama::KeyFramesInWalkOrder(_treeNode* reference) {
  std::vector<_treeNode*> order{reference};
  if (Root_AVL != reference)
    order.push_back(Root_AVL);
  CollectInWalkOrder(Root_AVL, reference, &order);
  return order;
}

void Panorama::ComposeWith(int withMedian, std::map<int32_t, cv::Mat> frameToRef) {
  composedFrameToRef = std::move(frameToRef);
  _treeNode* reference = Node_PanoReference;
  CV_Assert(reference != nullptr);
  operator_->Out("\nMean Pano...");
  canvasSkippedIds.clear();
  composition.set_InitValues();
  // Where the canvas will end, with the walk's own homographies, so that its
  // layers are allocated once.
  std::vector<cv::Mat> framesToRef;
  const std::vector<_treeNode*> order = KeyFramesInWalkOrder(reference);
  for (size_t i = 1; i < order.size(); ++i) {
    ReferenceFrameHomographies(*this, reference, order[i], ComposedPlacement(order[i]->id));
    framesToRef.push_back(H_Aux.clone());
  }
  composition.plannedCanvas = Composition::PlanCanvas(framesToRef, imageW, imageH);
  pano.release();
  composition.InitializeWeights(imageW, imageH);
  Root_AVL = ProcessPanorama_AVL_HNodeToRoot(Root_AVL, reference, 0);
  composition.computeMeanPanorama(&pano);
  composition.copyWeightsToImage(&pano_Weights);

  if (withMedian != 0) {
    operator_->Out("\nMedian Pano...");
    // The walk queues each key frame with its homographies; the median is then
    // composed strip by strip, never holding a full canvas per key frame.
    Vect_FPanos.clear();
    Vect_FMasks.clear();
    composition.ClearMedianFrames();
    Root_AVL = ProcessPanorama_AVL_HNodeToRoot_Vect_FPanos(Root_AVL, reference, 0);
    const std::int64_t stripBudgetBytes =
        static_cast<std::int64_t>(pano.total()) * kMedianStripBudgetBytesPerCanvasPixel;
    composition.afterFrameRead = [this](const cv::Mat& image) {
      frameStore.Release(image);
    };
    composition.ComposeQueuedMedian(&pano_Median, kMedianMargin, imageW, imageH, pano.cols,
                                    pano.rows, stripBudgetBytes);
    composition.afterFrameRead = nullptr;
  }
}

namespace {

// Adds key frame f to the mean; a frame the canvas bound refuses goes into
// skipped.
void WarpIntoCanvas(Panorama& p, _treeNode* reference, _treeNode* f, const cv::Mat* given,
                    std::set<int32_t>* skipped) {
  ReferenceFrameHomographies(p, reference, f, given);
  const bool added =
      p.composition.Warping(&p.pano, *reference->image, *f->image, p.H_Accumulated, p.H_Aux,
                            p.Id_ScaleProcess, p.Id_Warping, p.Alpha_Blending, p.imageW, p.imageH);
  if (!added)
    skipped->insert(f->id);
  p.frameStore.Release();
}

// Queues key frame f for the median unless the mean left it out.
void AddFramePano(Panorama& p, _treeNode* f, const cv::Mat& refToFrame, const cv::Mat& frameToRef) {
  if (p.SkippedByCanvas(f->id))
    return;
  p.composition.AddMedianFrame(*f->image, refToFrame, frameToRef);
}

}  // namespace

_treeNode* Panorama::ProcessPanorama_AVL_HNodeToRoot(_treeNode* node, _treeNode* reference,
                                                     int started) {
  if (started == 0) {
    started = 1;
    if (Root_AVL != reference) {
      WarpIntoCanvas(*this, reference, Root_AVL, ComposedPlacement(Root_AVL->id),
                     &canvasSkippedIds);
    } else {
      composition.StartCanvas(&pano, *reference->image, imageW, imageH);
      frameStore.Release();
    }
  }
  if (node != nullptr) {
    for (_treeNode** child : {&node->left, &node->right}) {
      if (*child == nullptr)
        continue;
      if ((*child)->id != reference->id)
        WarpIntoCanvas(*this, reference, *child, ComposedPlacement((*child)->id),
                       &canvasSkippedIds);
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
      ReferenceFrameHomographies(*this, reference, Root_AVL, ComposedPlacement(Root_AVL->id));
      AddFramePano(*this, Root_AVL, H_Accumulated, H_Aux);
    }
  }
  if (node != nullptr) {
    for (_treeNode** child : {&node->left, &node->right}) {
      if (*child == nullptr)
        continue;
      if ((*child)->id != reference->id) {
        ReferenceFrameHomographies(*this, reference, *child, ComposedPlacement((*child)->id));
        AddFramePano(*this, *child, H_Accumulated, H_Aux);
      }
      *child = ProcessPanorama_AVL_HNodeToRoot_Vect_FPanos(*child, reference, started);
    }
  }
  return node;
}

cv::Mat Panorama::FrameToReference(_treeNode* node) {
  CV_Assert(node != nullptr && Node_PanoReference != nullptr);
  const cv::Mat* given = ComposedPlacement(node->id);
  return given != nullptr ? given->clone() : HomographyBetween(node, Node_PanoReference);
}

Placements Panorama::TreePlacements() {
  return Place(false);
}

Placements Panorama::PlacedKeyFrames() {
  return Place(true);
}

Placements Panorama::Place(bool asComposed) {
  _treeNode* reference = Node_PanoReference;
  CV_Assert(reference != nullptr);
  const std::vector<_treeNode*> order = KeyFramesInWalkOrder(reference);
  Placements placed;
  placed.reserve(order.size());
  for (_treeNode* n : order)
    placed.push_back(PlacedKeyFrame{
        n->id, *n->image,
        asComposed ? FrameToReference(n) : HomographyBetween(n, Node_PanoReference)});
  return placed;
}
