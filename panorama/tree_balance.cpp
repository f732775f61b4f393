// Balanced insertion of key frames into the frame tree. The tree is ordered
// by geometry: at every node a new frame goes left when one of its left
// corners lands at a negative x in that node's image. Every rotation changes
// who is whose parent, so it recomputes the link homographies it touches;
// VerifyH then repairs the link between a rotated subtree's new top and the
// node above it.
//
// Link convention: node.H_ParentToNode maps the parent's image onto the
// node's image; H2 * H1 maps a onto c when H1 maps a onto b and H2 b onto c.
#include <algorithm>
#include <cstdlib>
#include <memory>

#include "geometry/homography_mapping.hpp"
#include "panorama/panorama.hpp"

namespace {

const cv::Mat& LinkOf(const _treeNode* node) {
  CV_Assert(node != nullptr && node->H_ParentToNode != nullptr &&
            IsHomography(*node->H_ParentToNode));
  return *node->H_ParentToNode;
}

// A new matrix mapping a onto c, given first (a onto b) and then (b onto c).
cv::Mat Chain(const cv::Mat& first, const cv::Mat& then) {
  return then * first;
}

bool AreConsecutive(int32_t a, int32_t b) {
  return std::abs(a - b) == 1;
}

// A new matrix mapping key frame `from` onto key frame `to` (ids one apart)
// from the directly estimated homographies: entry k - 1 of Vect_H maps key
// frame k onto key frame k + 1.
cv::Mat LinkBetweenConsecutive(const std::vector<cv::Mat>& Vect_H, int32_t from, int32_t to) {
  CV_Assert(AreConsecutive(from, to));
  const int32_t lower = std::min(from, to);
  CV_Assert(lower >= 1 && static_cast<size_t>(lower) <= Vect_H.size());
  const cv::Mat& forward = Vect_H[lower - 1];
  CV_Assert(IsHomography(forward));
  return (from < to) ? forward.clone() : InverseHomography(forward);
}

bool IsRightChildOf(const _treeNode* child, const _treeNode* parent) {
  return parent->right == child;
}

int32_t& ChildIdSlot(_treeNode* parent, bool right) {
  return right ? parent->id_Right : parent->id_Left;
}

}  // namespace

// Only the frame's left edge decides the side, so the width is not used.
void Panorama::CalculateMovement_LRUD(cv::Mat H, int /*width*/, int frameHeight) {
  CV_Assert(IsHomography(H));
  const cv::Mat Hc = H.isContinuous() ? H : H.clone();
  int topX = 0;
  int topY = 0;
  int bottomX = 0;
  int bottomY = 0;
  ApplyHomography(&topX, &topY, 0, 0, Hc);
  ApplyHomography(&bottomX, &bottomY, 0, frameHeight - 1, Hc);
  const int minX = std::min(topX, bottomX);
  Movement_LR = (minX < 0) ? 0 : 1;
}

// Expects cameraMotion.Hij to map r's image onto the new frame and
// Movement_LR to hold the side for r. Returns r (or the new node when r is
// null). Sets ban_insert to 1 when a node was attached; leaves it as the
// caller set it (0) when the frame was refused, with the tree unchanged.
_treeNode* Panorama::insert(_treeNode* r, cv::Mat frame) {
  if (r == nullptr) {
    // Node creation; the attaching caller fills the link and the parent.
    auto owned = std::make_unique<_treeNode>();
    _treeNode* node = owned.get();
    num_Nodes += 1;
    node->id = num_Nodes;
    node->image = std::make_unique<cv::Mat>(frameStore.Keep(frame));
    if (Id_Features == kCornerFeatures) {
      std::vector<cv::Point2f> corners =
          featureExtraction.goodFeaturesToTrack(frame, Id_ScaleProcess, imageW, imageH);
      // The next frame pair tracks the corners of this key frame.
      featureMatching.setCorners_j(corners);
      node->Corners = std::make_unique<std::vector<cv::Point2f>>(std::move(corners));
    } else if (Id_Features == kSiftFeatures) {
      node->SIFT_Features =
          std::make_unique<std::vector<cv::KeyPoint>>(featureMatching.getSIFT_Features_j());
      node->SIFT_Descriptors = std::make_unique<cv::Mat>(featureMatching.getSIFT_Descriptor_j());
    }
    node->H_ParentToNode = std::make_unique<cv::Mat>(cv::Mat::eye(3, 3, CV_64F));
    ownedNodes.push_back(std::move(owned));
    Node_Inserted = node;
    Vect_Nodes.push_back(node);
    return node;
  }

  const bool goRight = (Movement_LR != 0);
  _treeNode*& side = goRight ? r->right : r->left;
  CV_Assert(IsHomography(cameraMotion.Hij));

  if (side != nullptr) {
    // Re-express the new frame against the child: Hij (r onto new) times
    // the inverse link (child onto r) maps the child onto the new frame.
    H_Insert = InverseHomography(LinkOf(side));
    cameraMotion.Calculate_HomographyFromPreviousEdges(H_Insert, cameraMotion.getHomography());
    cameraMotion.InverseHomography_Hij();
    CalculateMovement_LRUD(cameraMotion.getInverseHomography(), imageW, imageH);
    side = insert(side, frame);
    return r;
  }

  // Attachment: refuse a degenerate or mirrored link (NaN fails the test).
  const double determinant = cv::determinant(cameraMotion.Hij);
  const bool acceptable = determinant > Threshold_Determinant;
  if (!acceptable) {
    ban_insert = 0;
    return r;
  }
  ChildIdSlot(r, goRight) = num_Nodes + 1;
  _treeNode* node = insert(nullptr, frame);
  side = node;
  *node->H_ParentToNode = cameraMotion.Hij.clone();
  node->id_Parent = r->id;
  node->parent = r;
  ban_insert = 1;
  return r;
}

namespace {

// The two single rotations are mirror images: a side is the child slot
// that is lifted and the one opposite it, with their id fields.
struct RotationSide {
  _treeNode* _treeNode::*lifted;
  _treeNode* _treeNode::*inner;
  int32_t _treeNode::*liftedId;
  int32_t _treeNode::*innerId;
};
constexpr RotationSide kLiftRight{&_treeNode::right, &_treeNode::left, &_treeNode::id_Right,
                                  &_treeNode::id_Left};
constexpr RotationSide kLiftLeft{&_treeNode::left, &_treeNode::right, &_treeNode::id_Left,
                                 &_treeNode::id_Right};

// Lifts a's child b on the given side. The inner grandchild c (b's child on
// the other side) moves under a. b's link and id_Parent still describe the
// old a -> b link; the caller repairs them with VerifyH using H_Rotation_A /
// H_Rotation_B.
_treeNode* Rotate(Panorama& p, _treeNode* a, const RotationSide& side) {
  CV_Assert(a != nullptr && a->*side.lifted != nullptr);
  _treeNode* b = a->*side.lifted;
  _treeNode* c = b->*side.inner;
  // A: a's old parent onto a (meaningless when a is the root); B: a onto b.
  p.H_Rotation_A = a->H_ParentToNode ? a->H_ParentToNode->clone() : cv::Mat::eye(3, 3, CV_64F);
  p.H_Rotation_B = LinkOf(b).clone();
  if (c != nullptr) {
    if (AreConsecutive(a->id, c->id)) {
      *c->H_ParentToNode = LinkBetweenConsecutive(p.Vect_H, a->id, c->id);
    } else {
      *c->H_ParentToNode = Chain(LinkOf(b), LinkOf(c));
    }
    a->*side.liftedId = c->id;
    c->id_Parent = a->id;
    c->parent = a;
  }
  a->*side.lifted = c;
  b->*side.inner = a;
  a->id_Parent = b->id;
  b->*side.innerId = a->id;
  b->parent = a->parent;
  a->parent = b;
  *a->H_ParentToNode = InverseHomography(LinkOf(b));
  return b;
}

}  // namespace

// Lifts a's right child.
_treeNode* Panorama::rr_rotation(_treeNode* a) {
  return Rotate(*this, a, kLiftRight);
}

// Lifts a's left child.
_treeNode* Panorama::ll_rotation(_treeNode* a) {
  return Rotate(*this, a, kLiftLeft);
}

// The repair between the two single rotations runs while the first one's
// saved matrices are still in place.
_treeNode* Panorama::lr_rotation(_treeNode* a) {
  a->left = rr_rotation(a->left);
  VerifyH(&a->left, &a);
  return ll_rotation(a);
}

_treeNode* Panorama::rl_rotation(_treeNode* a) {
  a->right = ll_rotation(a->right);
  VerifyH(&a->right, &a);
  return rr_rotation(a);
}

_treeNode* Panorama::balance(_treeNode* n) {
  const int32_t d = diff(n);
  if (d < -1) {
    return (diff(n->left) > 0) ? lr_rotation(n) : ll_rotation(n);
  }
  if (d > 1) {
    return (diff(n->right) < 0) ? rl_rotation(n) : rr_rotation(n);
  }
  return n;
}

// Post-order over the whole subtree. A subtree's own balancing is the last
// thing its call does, so when the repair right after it runs, the saved
// rotation matrices belong to the rotation at that subtree's top.
_treeNode* Panorama::ALLbalance(_treeNode* n) {
  if (n == nullptr)
    return nullptr;
  if (n->left != nullptr) {
    n->left = ALLbalance(n->left);
    VerifyH(&n->left, &n);
  }
  if (n->right != nullptr) {
    n->right = ALLbalance(n->right);
    VerifyH(&n->right, &n);
  }
  return balance(n);
}

// Rebuilds the child's link (parent's image onto the child's) when the ids
// show that a rotation has put the child under this parent. The parent
// pointer is left alone: the rotation already set it.
void Panorama::VerifyH(_treeNode** childSlot, _treeNode** parentSlot) {
  _treeNode* p = *parentSlot;
  _treeNode* ch = *childSlot;
  if (p == nullptr || ch == nullptr)
    return;
  const bool right = IsRightChildOf(ch, p);
  int32_t& sideId = ChildIdSlot(p, right);
  const bool consistent = (ch->id_Parent == p->id) && (sideId == ch->id);
  if (consistent)
    return;
  CV_Assert(ch->H_ParentToNode != nullptr);
  if (AreConsecutive(p->id, ch->id)) {
    *ch->H_ParentToNode = LinkBetweenConsecutive(Vect_H, p->id, ch->id);
  } else {
    // p onto the old top a, then a onto the lifted child.
    *ch->H_ParentToNode = Chain(H_Rotation_A, H_Rotation_B);
  }
  sideId = ch->id;
  ch->id_Parent = p->id;
}
