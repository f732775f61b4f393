// The frame tree: walk containers, search, heights, LCA, path homographies,
// the side rule, balanced insertion and the homography rewiring of every
// rotation, checked against ground-truth homographies of a virtual camera.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "panorama/panorama.hpp"
#include "tests/support/test_support.hpp"

namespace {

constexpr int kImageW = 64;  // pixels: the frame size the side rule uses
constexpr int kImageH = 48;
constexpr double kCornerTolerancePx = 1e-6;
constexpr int kSiftMode = 1;        // node creation copies keypoints, detects nothing
constexpr int kNoFeaturesMode = 2;  // node creation stores no features

cv::Mat Translation(double tx, double ty) {
  return (cv::Mat_<double>(3, 3) << 1, 0, tx, 0, 1, ty, 0, 0, 1);
}

cv::Mat Inverse(const cv::Mat& H) {
  cv::Mat inverse;
  cv::invert(H, inverse, cv::DECOMP_LU);
  return inverse;
}

cv::Mat NanMatrix() {
  return cv::Mat(3, 3, CV_64F, cv::Scalar(std::numeric_limits<double>::quiet_NaN()));
}

// A tiny frame whose pixels carry its number, so copies can be told apart.
cv::Mat TaggedFrame(int tag) { return cv::Mat(3, 4, CV_8UC3, cv::Scalar(tag, 255 - tag, 7)); }

cv::Matx33d AsMatx(const cv::Mat& H) {
  CV_Assert(H.rows == 3 && H.cols == 3 && H.type() == CV_64F);
  return cv::Matx33d(H.isContinuous() ? H.ptr<double>() : H.clone().ptr<double>());
}

// Largest distance between the four frame corners mapped by A and by B, in
// pixels (the same measure as testsupport::MaxCornerError, without the
// per-call matrix allocations: the property test calls it very often).
double CornerError(const cv::Matx33d& A, const cv::Matx33d& B) {
  const cv::Vec3d corners[4] = {
      {0, 0, 1}, {kImageW - 1.0, 0, 1}, {kImageW - 1.0, kImageH - 1.0, 1}, {0, kImageH - 1.0, 1}};
  double worst = 0.0;
  for (const cv::Vec3d& c : corners) {
    const cv::Vec3d a = A * c;
    const cv::Vec3d b = B * c;
    worst = std::max(worst, std::hypot(a[0] / a[2] - b[0] / b[2], a[1] / a[2] - b[1] / b[2]));
  }
  return std::isnan(worst) ? std::numeric_limits<double>::infinity() : worst;
}

double CornerError(const cv::Mat& A, const cv::Matx33d& B) { return CornerError(AsMatx(A), B); }

bool SameMatrix(const cv::Mat& A, const cv::Mat& B) {
  return A.size() == B.size() && A.type() == B.type() && cv::norm(A, B, cv::NORM_INF) == 0.0;
}

void ConfigureForTests(Panorama* pano, int featureMode) {
  pano->imageW = kImageW;
  pano->imageH = kImageH;
  pano->Id_Features = featureMode;
}

// Attaches a hand-made node under parent (root when parent is null), owned by
// the Panorama. Ids and pointers are made consistent; link maps the parent's
// image onto the node's.
_treeNode* AddNode(Panorama* pano, int32_t id, _treeNode* parent, bool right, const cv::Mat& link) {
  auto owned = std::make_unique<_treeNode>();
  _treeNode* node = owned.get();
  node->id = id;
  node->image = std::make_unique<cv::Mat>(TaggedFrame(id));
  node->H_ParentToNode = std::make_unique<cv::Mat>(link.clone());
  pano->AdoptNode(std::move(owned));
  if (parent == nullptr) {
    pano->Root_AVL = node;
    return node;
  }
  node->parent = parent;
  node->id_Parent = parent->id;
  (right ? parent->right : parent->left) = node;
  (right ? parent->id_Right : parent->id_Left) = id;
  return node;
}

// Drives the tree the way the key-frame step does, from ground truth: frame k
// (node id k) sees the plane through truth[k - 1], which maps plane
// coordinates onto frame k's pixels. The true homography from frame a onto
// frame b is truth[b - 1] * inverse(truth[a - 1]).
class TreeHarness {
 public:
  Panorama pano;
  std::vector<cv::Matx33d> truth;         // plane onto frame k at k - 1
  std::vector<cv::Matx33d> truthInverse;  // frame k onto the plane

  explicit TreeHarness(int featureMode = kSiftMode) { ConfigureForTests(&pano, featureMode); }

  // Root creation: id 1, its link allocated but meaningless. It is filled with
  // NaN so that any product that wrongly uses it shows up.
  void StartRoot(const cv::Mat& planeToFrame) {
    pano.num_Nodes += 1;
    auto owned = std::make_unique<_treeNode>();
    _treeNode* root = owned.get();
    root->id = pano.num_Nodes;
    root->image = std::make_unique<cv::Mat>(TaggedFrame(root->id));
    root->H_ParentToNode = std::make_unique<cv::Mat>(NanMatrix());
    pano.AdoptNode(std::move(owned));
    pano.ban_RootCreated = 1;
    pano.Root_AVL = root;
    pano.Vect_Nodes.push_back(root);
    AddTruth(planeToFrame);
  }

  void AddTruth(const cv::Mat& planeToFrame) {
    truth.push_back(AsMatx(planeToFrame));
    truthInverse.push_back(truth.back().inv(cv::DECOMP_LU));
  }

  void DropLastTruth() {
    truth.pop_back();
    truthInverse.pop_back();
  }

  cv::Matx33d TrueHomography(int32_t fromId, int32_t toId) const {
    return truth[toId - 1] * truthInverse[fromId - 1];
  }

  // Records the direct key-frame homography, positions the new frame against
  // the root through the tree path from the latest key frame and inserts it.
  // Returns ban_insert; does not rebalance.
  int InsertOnly(const cv::Mat& planeToFrame) {
    _treeNode* latest = pano.find(pano.Root_AVL, pano.num_Nodes);
    EXPECT_NE(latest, nullptr);
    const int32_t newId = pano.num_Nodes + 1;
    AddTruth(planeToFrame);
    const cv::Mat keyToNew(TrueHomography(latest->id, newId));
    pano.Vect_H.push_back(keyToNew.clone());
    pano.num_VectH += 1;
    pano.H_Accumulated = keyToNew * pano.calculateHomBToA(latest, pano.Root_AVL);
    pano.cameraMotion.setHomography(pano.H_Accumulated);
    pano.cameraMotion.InverseHomography_Hij();
    pano.CalculateMovement_LRUD(pano.cameraMotion.getInverseHomography(), pano.imageW, pano.imageH);
    pano.ban_insert = 0;
    pano.insert(pano.Root_AVL, TaggedFrame(newId % 256));
    if (pano.ban_insert == 0) DropLastTruth();
    return pano.ban_insert;
  }

  int Offer(const cv::Mat& planeToFrame) {
    const int inserted = InsertOnly(planeToFrame);
    if (inserted == 1) pano.Root_AVL = pano.ALLbalance(pano.Root_AVL);
    return inserted;
  }

  _treeNode* Node(int32_t id) { return pano.Vect_Nodes.at(id - 1); }
};

// A camera over the plane: frame pixel = K * (plane point - origin), with K a
// small rotation and scale plus a faint perspective term, all in frame-local
// coordinates.
cv::Mat PlaneToFrame(double originX, double originY, double angleRad, double scale,
                     double perspectiveX, double perspectiveY) {
  const double c = scale * std::cos(angleRad);
  const double s = scale * std::sin(angleRad);
  const cv::Mat K = (cv::Mat_<double>(3, 3) << c, -s, 0, s, c, 0, perspectiveX, perspectiveY, 1);
  return K * Translation(-originX, -originY);
}

// A camera whose frame starts at plane x = originX, turned and zoomed a
// little so that the link homographies do not commute.
cv::Mat Camera(double originX, double angleRad, double scale) {
  return PlaneToFrame(originX, 0.1 * originX, angleRad, scale, 0.0, 0.0);
}

// ---------------------------------------------------------------------------
// Structural checks shared by the tests.

int32_t TrueHeight(const _treeNode* n) {
  return n == nullptr ? 0 : 1 + std::max(TrueHeight(n->left), TrueHeight(n->right));
}

void CollectInOrder(_treeNode* n, std::vector<_treeNode*>* out) {
  if (n == nullptr) return;
  CollectInOrder(n->left, out);
  out->push_back(n);
  CollectInOrder(n->right, out);
}

// Links, ids, balance and the gapless id sequence of the whole tree.
void ExpectConsistentBalancedTree(TreeHarness* h) {
  Panorama& pano = h->pano;
  ASSERT_NE(pano.Root_AVL, nullptr);
  EXPECT_EQ(pano.Root_AVL->parent, nullptr);
  std::vector<_treeNode*> inOrder;
  CollectInOrder(pano.Root_AVL, &inOrder);
  ASSERT_EQ(static_cast<int>(inOrder.size()), pano.num_Nodes);
  ASSERT_EQ(static_cast<int>(pano.Vect_Nodes.size()), pano.num_Nodes);
  ASSERT_EQ(static_cast<int>(pano.getOwnedNodes().size()), pano.num_Nodes);
  std::vector<int> seen(pano.num_Nodes + 1, 0);
  for (int k = 1; k <= pano.num_Nodes; ++k) EXPECT_EQ(pano.Vect_Nodes[k - 1]->id, k);
  for (_treeNode* n : inOrder) {
    ASSERT_GE(n->id, 1);
    ASSERT_LE(n->id, pano.num_Nodes);
    seen[n->id] += 1;
    EXPECT_EQ(pano.Vect_Nodes[n->id - 1], n) << "node " << n->id;
    EXPECT_LE(std::abs(TrueHeight(n->right) - TrueHeight(n->left)), 1) << "node " << n->id;
    if (n->left != nullptr) {
      EXPECT_EQ(n->left->parent, n);
      EXPECT_EQ(n->left->id_Parent, n->id);
      EXPECT_EQ(n->id_Left, n->left->id);
    }
    if (n->right != nullptr) {
      EXPECT_EQ(n->right->parent, n);
      EXPECT_EQ(n->right->id_Parent, n->id);
      EXPECT_EQ(n->id_Right, n->right->id);
    }
    if (n->parent != nullptr) {
      EXPECT_TRUE(n->parent->left == n || n->parent->right == n) << "node " << n->id;
      EXPECT_LT(CornerError(*n->H_ParentToNode, h->TrueHomography(n->parent->id, n->id)),
                kCornerTolerancePx)
          << "link of node " << n->id << " under " << n->parent->id;
    }
  }
  for (int k = 1; k <= pano.num_Nodes; ++k) EXPECT_EQ(seen[k], 1) << "id " << k;
}

// For every ordered pair: through their LCA, P's image onto Q's image.
void ExpectEveryPairMatchesTruth(TreeHarness* h) {
  Panorama& pano = h->pano;
  for (_treeNode* p : pano.Vect_Nodes) {
    for (_treeNode* q : pano.Vect_Nodes) {
      _treeNode* l = pano.LCA(pano.Root_AVL, p, q);
      ASSERT_NE(l, nullptr);
      ASSERT_EQ(l, pano.LCAByParents(p, q)) << "pair " << p->id << " -> " << q->id;
      const cv::Matx33d pToQ = AsMatx(pano.calculateHomBToA(q, l)) *
                               AsMatx(pano.calculateHomBToA(p, l)).inv(cv::DECOMP_LU);
      EXPECT_LT(CornerError(pToQ, h->TrueHomography(p->id, q->id)), kCornerTolerancePx)
          << "pair " << p->id << " -> " << q->id;
    }
  }
}

struct NodeSnapshot {
  _treeNode* left;
  _treeNode* right;
  _treeNode* parent;
  int32_t id_Parent;
  int32_t id_Left;
  int32_t id_Right;
  cv::Mat link;
};

std::map<const _treeNode*, NodeSnapshot> Snapshot(const Panorama& pano) {
  std::map<const _treeNode*, NodeSnapshot> out;
  for (_treeNode* n : pano.Vect_Nodes) {
    out[n] = {n->left,
              n->right,
              n->parent,
              n->id_Parent,
              n->id_Left,
              n->id_Right,
              n->H_ParentToNode->clone()};
  }
  return out;
}

// Bit for bit, so that the root's NaN link compares equal to itself.
bool SameBits(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() && a.isContinuous() && b.isContinuous() &&
         std::memcmp(a.data, b.data, a.total() * a.elemSize()) == 0;
}

// ---------------------------------------------------------------------------
// Walk containers.

TEST(TreeContainers, QueueIsFifoWithExactCount) {
  Panorama pano;
  _treeNode a, b, c;
  _QueuePointers q;
  EXPECT_EQ(pano.dequeue(&q), nullptr);
  EXPECT_EQ(q.count, 0);
  pano.queue(&q, &a);
  EXPECT_EQ(q.count, 1);
  pano.queue(&q, &b);
  pano.queue(&q, &c);
  EXPECT_EQ(q.count, 3);
  EXPECT_EQ(pano.dequeue(&q), &a);
  EXPECT_EQ(q.count, 2);
  EXPECT_EQ(pano.dequeue(&q), &b);
  EXPECT_EQ(pano.dequeue(&q), &c);
  EXPECT_EQ(q.count, 0);
  EXPECT_EQ(q.front, nullptr);
  EXPECT_EQ(q.rear, nullptr);
  EXPECT_EQ(pano.dequeue(&q), nullptr);
  EXPECT_EQ(q.count, 0);
  // Usable again once emptied; leftovers are freed by the destructor.
  pano.queue(&q, &c);
  pano.queue(&q, &a);
  EXPECT_EQ(q.count, 2);
  EXPECT_EQ(pano.dequeue(&q), &c);
  pano.queue(&q, &b);
  EXPECT_EQ(q.count, 2);
  EXPECT_EQ(pano.dequeue(&q), &a);
  EXPECT_EQ(q.front, q.rear);
}

TEST(TreeContainers, StackIsLifoWithExactCount) {
  Panorama pano;
  _treeNode a, b, c;
  _StackPointers s;
  EXPECT_EQ(pano.pop(&s), nullptr);
  pano.push(&s, &a);
  pano.push(&s, &b);
  pano.push(&s, &c);
  EXPECT_EQ(s.count, 3);
  EXPECT_EQ(pano.pop(&s), &c);
  EXPECT_EQ(s.count, 2);
  EXPECT_EQ(pano.pop(&s), &b);
  EXPECT_EQ(pano.pop(&s), &a);
  EXPECT_EQ(s.count, 0);
  EXPECT_EQ(s.top, nullptr);
  EXPECT_EQ(pano.pop(&s), nullptr);
  EXPECT_EQ(s.count, 0);
  pano.push(&s, &b);
  pano.push(&s, &a);  // left for the destructor
  EXPECT_EQ(s.count, 2);
}

// ---------------------------------------------------------------------------
// Small walks on a hand-made tree: 1 has children 2 (left) and 3 (right);
// 4 is the right child of 2, 5 the left child of 3, 6 the right child of 5.

class HandTree : public ::testing::Test {
 protected:
  Panorama pano;
  _treeNode* n[7] = {};
  cv::Mat link[7];

  void SetUp() override {
    ConfigureForTests(&pano, kNoFeaturesMode);
    for (int k = 2; k <= 6; ++k) {
      link[k] = Translation(3.0 * k, -1.0 * k);
      link[k].at<double>(0, 1) = 0.01 * k;  // non-commuting factors
    }
    n[1] = AddNode(&pano, 1, nullptr, false, NanMatrix());
    n[2] = AddNode(&pano, 2, n[1], false, link[2]);
    n[3] = AddNode(&pano, 3, n[1], true, link[3]);
    n[4] = AddNode(&pano, 4, n[2], true, link[4]);
    n[5] = AddNode(&pano, 5, n[3], false, link[5]);
    n[6] = AddNode(&pano, 6, n[5], true, link[6]);
  }
};

TEST_F(HandTree, FindVisitsEveryNodeAndMissesAbsentIds) {
  for (int k = 1; k <= 6; ++k) EXPECT_EQ(pano.find(pano.Root_AVL, k), n[k]);
  testing::internal::CaptureStdout();
  EXPECT_EQ(pano.find(pano.Root_AVL, 7), nullptr);
  EXPECT_EQ(pano.find(pano.Root_AVL, 0), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(TreeFind, EmptyTreePrintsMessageAndOneNodeTreeFindsRoot) {
  Panorama pano(testsupport::StdStreams());
  testing::internal::CaptureStdout();
  EXPECT_EQ(pano.find(nullptr, 1), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nBinary Tree empty...");
  _treeNode* root = AddNode(&pano, 1, nullptr, false, NanMatrix());
  EXPECT_EQ(pano.find(root, 1), root);
}

TEST_F(HandTree, HeightAndDiff) {
  EXPECT_EQ(pano.height(nullptr), 0);
  EXPECT_EQ(pano.height(n[6]), 1);
  EXPECT_EQ(pano.height(n[3]), 3);
  EXPECT_EQ(pano.height(n[1]), 4);
  EXPECT_EQ(pano.diff(n[2]), 1);   // only a right child
  EXPECT_EQ(pano.diff(n[3]), -2);  // only a left subtree of height 2
  EXPECT_EQ(pano.diff(n[5]), 1);
  EXPECT_EQ(pano.diff(n[1]), 1);
  EXPECT_EQ(pano.diff(n[6]), 0);
}

TEST_F(HandTree, LowestCommonAncestor) {
  EXPECT_EQ(pano.LCA(pano.Root_AVL, n[4], n[4]), n[4]);
  EXPECT_EQ(pano.LCA(pano.Root_AVL, n[3], n[6]), n[3]);  // ancestor and descendant
  EXPECT_EQ(pano.LCA(pano.Root_AVL, n[6], n[3]), n[3]);
  EXPECT_EQ(pano.LCA(pano.Root_AVL, n[2], n[3]), n[1]);  // two children
  EXPECT_EQ(pano.LCA(pano.Root_AVL, n[4], n[6]), n[1]);
  EXPECT_EQ(pano.LCA(n[3], n[5], n[6]), n[5]);
  EXPECT_EQ(pano.LCAByParents(n[4], n[4]), n[4]);
  EXPECT_EQ(pano.LCAByParents(n[6], n[3]), n[3]);
  EXPECT_EQ(pano.LCAByParents(n[2], n[3]), n[1]);
  EXPECT_EQ(pano.LCA(nullptr, n[5], n[6]), nullptr);
  // Identity, not id: a detached record with the same id is not in the tree.
  _treeNode twin;
  twin.id = 6;
  EXPECT_EQ(pano.LCA(n[3], &twin, &twin), nullptr);
}

TEST_F(HandTree, PathHomographyMultipliesLinksUpToTheAncestor) {
  const cv::Mat I = cv::Mat::eye(3, 3, CV_64F);
  const cv::Mat self = pano.calculateHomBToA(n[1], n[1]);
  EXPECT_TRUE(SameMatrix(self, I));  // the root's NaN link is never used
  EXPECT_EQ(self.type(), CV_64F);
  EXPECT_TRUE(SameMatrix(pano.calculateHomBToA(n[6], n[6]), I));
  EXPECT_TRUE(SameMatrix(pano.calculateHomBToA(n[5], n[3]), link[5]));
  EXPECT_TRUE(SameMatrix(pano.calculateHomBToA(n[6], n[3]), link[6] * link[5]));
  EXPECT_TRUE(SameMatrix(pano.calculateHomBToA(n[6], n[1]), link[6] * link[5] * link[3]));
  // A fresh matrix each time: changing the result leaves the links alone.
  cv::Mat result = pano.calculateHomBToA(n[5], n[3]);
  result.setTo(0.0);
  EXPECT_TRUE(SameMatrix(*n[5]->H_ParentToNode, link[5]));
}

TEST_F(HandTree, LeftMostAndRightMost) {
  EXPECT_EQ(pano.CalculateLeftMostLeaf(n[1]), n[2]);  // n[2] still has a right child
  EXPECT_EQ(pano.CalculateRightMostLeaf(n[1]), n[3]);
  EXPECT_EQ(pano.CalculateLeftMostLeaf(n[5]), n[5]);
  EXPECT_EQ(pano.CalculateRightMostLeaf(n[5]), n[6]);
  EXPECT_EQ(pano.CalculateLeftMostLeaf(n[3]), n[5]);
}

// ---------------------------------------------------------------------------
// Side rule.

TEST(TreeSideRule, LeftEdgeRoundsToNegativeXGoesLeft) {
  Panorama pano;
  struct Case {
    double tx;
    int expected;
  } cases[] = {{0.0, 1}, {-1.4, 1}, {-1.5, 0}, {-20.0, 0}, {5.0, 1}};
  for (const Case& c : cases) {
    pano.Movement_LR = 1 - c.expected;
    pano.CalculateMovement_LRUD(Translation(c.tx, 3.0), kImageW, kImageH);
    EXPECT_EQ(pano.Movement_LR, c.expected) << "x = " << c.tx;
  }
}

TEST(TreeSideRule, BottomLeftCornerIsRowHeightMinusOne) {
  Panorama pano;
  // x = shear * y: row h-1 maps to -1.46875 (integer 0), row h would give -1.5.
  const double shear = -0.03125;
  cv::Mat H = cv::Mat::eye(3, 3, CV_64F);
  H.at<double>(0, 1) = shear;
  pano.Movement_LR = 0;
  pano.CalculateMovement_LRUD(H, kImageW, kImageH);
  EXPECT_EQ(pano.Movement_LR, 1);
  H.at<double>(0, 1) = 2 * shear;  // row h-1 maps to -2.9375
  pano.CalculateMovement_LRUD(H, kImageW, kImageH);
  EXPECT_EQ(pano.Movement_LR, 0);
  // The top-left corner alone can send it left too (bottom-left maps to +1.7).
  H = Translation(-3.0, 0.0);
  H.at<double>(0, 1) = 0.1;
  pano.Movement_LR = 1;
  pano.CalculateMovement_LRUD(H, kImageW, kImageH);
  EXPECT_EQ(pano.Movement_LR, 0);
}

// ---------------------------------------------------------------------------
// Insertion.

TEST(TreeInsert, NewNodeOwnsCopiesOfFrameAndKeypoints) {
  TreeHarness h(kSiftMode);
  const std::vector<cv::KeyPoint> keypoints = {cv::KeyPoint(3.f, 4.f, 2.f),
                                               cv::KeyPoint(10.f, 1.f, 5.f)};
  h.pano.featureMatching.setSIFT_Features_j(keypoints);
  h.StartRoot(Translation(0, 0));
  _treeNode* root = h.pano.Root_AVL;
  root->next_List = root;  // a chain hanging from the root must not be touched

  cv::Mat frame = TaggedFrame(42);
  h.pano.cameraMotion.setHomography(Translation(-10.0, 0.0));  // new frame right of root
  h.pano.Movement_LR = 1;
  h.pano.ban_insert = 0;
  EXPECT_EQ(h.pano.insert(root, frame), root);
  ASSERT_EQ(h.pano.ban_insert, 1);
  _treeNode* node = h.pano.Node_Inserted;
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(root->right, node);
  EXPECT_EQ(root->left, nullptr);
  EXPECT_EQ(root->id_Right, 2);
  EXPECT_EQ(node->id, 2);
  EXPECT_EQ(h.pano.num_Nodes, 2);
  EXPECT_EQ(node->parent, root);
  EXPECT_EQ(node->id_Parent, 1);
  EXPECT_EQ(node->prev_List, nullptr);
  EXPECT_EQ(node->next_List, nullptr);
  EXPECT_EQ(root->next_List, root);
  ASSERT_EQ(h.pano.Vect_Nodes.size(), 2u);
  EXPECT_EQ(h.pano.Vect_Nodes[1], node);
  EXPECT_TRUE(SameMatrix(*node->H_ParentToNode, Translation(-10.0, 0.0)));
  EXPECT_EQ(node->Corners, nullptr);
  ASSERT_NE(node->SIFT_Features, nullptr);
  ASSERT_EQ(node->SIFT_Features->size(), 2u);
  EXPECT_EQ((*node->SIFT_Features)[1].pt, keypoints[1].pt);

  // Deep copies: later changes of the frame or of the matcher's list, and of
  // the scratch Hij, do not reach the node.
  ASSERT_NE(node->image, nullptr);
  EXPECT_NE(node->image->data, frame.data);
  frame.setTo(cv::Scalar(0, 0, 0));
  EXPECT_EQ(node->image->at<cv::Vec3b>(1, 1), cv::Vec3b(42, 213, 7));
  h.pano.featureMatching.setSIFT_Features_j({});
  EXPECT_EQ(node->SIFT_Features->size(), 2u);
  h.pano.cameraMotion.Hij.setTo(0.0);
  EXPECT_TRUE(SameMatrix(*node->H_ParentToNode, Translation(-10.0, 0.0)));
}

TEST(TreeInsert, OtherFeatureModeStoresNoFeatures) {
  TreeHarness h(kNoFeaturesMode);
  h.pano.featureMatching.setSIFT_Features_j({cv::KeyPoint(1.f, 1.f, 1.f)});
  h.StartRoot(Translation(0, 0));
  ASSERT_EQ(h.Offer(Translation(-20.0, 0.0)), 1);
  EXPECT_EQ(h.pano.Node_Inserted->SIFT_Features, nullptr);
  EXPECT_EQ(h.pano.Node_Inserted->Corners, nullptr);
}

TEST(TreeInsert, DescentReexpressesTheFrameAgainstEachChild) {
  // Frames at x = 0 (root), -40 (left), -20: the third goes left of the root,
  // then right of node 2, and its link must be the truth 2 onto 3.
  TreeHarness h;
  h.StartRoot(Translation(0, 0));
  ASSERT_EQ(h.InsertOnly(Camera(-40, 0.05, 1.1)), 1);
  ASSERT_EQ(h.InsertOnly(Camera(-20, -0.04, 0.9)), 1);
  _treeNode* root = h.pano.Root_AVL;
  ASSERT_NE(root->left, nullptr);
  EXPECT_EQ(root->right, nullptr);
  EXPECT_EQ(root->left->id, 2);
  ASSERT_NE(root->left->right, nullptr);
  EXPECT_EQ(root->left->right->id, 3);
  EXPECT_EQ(root->left->id_Right, 3);
  EXPECT_LT(CornerError(*h.Node(3)->H_ParentToNode, h.TrueHomography(2, 3)), kCornerTolerancePx);
  // The scratch register held the root-to-frame homography re-expressed
  // against node 2, and its inverse decided the side there.
  EXPECT_LT(CornerError(h.pano.cameraMotion.Hij, h.TrueHomography(2, 3)), kCornerTolerancePx);
  EXPECT_EQ(h.pano.Movement_LR, 1);
}

TEST(TreeInsert, DeterminantAtThresholdOrNanIsRefused) {
  TreeHarness h;
  h.StartRoot(Translation(0, 0));
  _treeNode* root = h.pano.Root_AVL;
  const auto tryInsert = [&](const cv::Mat& rootToNew) {
    h.pano.cameraMotion.setHomography(rootToNew);
    h.pano.Movement_LR = 1;
    h.pano.ban_insert = 0;
    EXPECT_EQ(h.pano.insert(root, TaggedFrame(9)), root);
    return h.pano.ban_insert;
  };
  root->id_Right = 77;  // stale id of a free side must stay as it is on refusal
  cv::Mat atThreshold = cv::Mat::eye(3, 3, CV_64F);
  atThreshold.at<double>(0, 0) = 0.2;
  ASSERT_EQ(cv::determinant(atThreshold), 0.2);
  EXPECT_EQ(tryInsert(atThreshold), 0);
  EXPECT_EQ(tryInsert(NanMatrix()), 0);
  cv::Mat mirrored = cv::Mat::eye(3, 3, CV_64F);
  mirrored.at<double>(0, 0) = -1.0;
  EXPECT_EQ(tryInsert(mirrored), 0);
  EXPECT_EQ(root->right, nullptr);
  EXPECT_EQ(root->left, nullptr);
  EXPECT_EQ(root->id_Right, 77);
  EXPECT_EQ(h.pano.num_Nodes, 1);
  EXPECT_EQ(h.pano.Vect_Nodes.size(), 1u);
  EXPECT_EQ(h.pano.getOwnedNodes().size(), 1u);

  cv::Mat justAbove = atThreshold.clone();
  justAbove.at<double>(0, 0) = std::nextafter(0.2, 1.0);
  EXPECT_EQ(tryInsert(justAbove), 1);
  EXPECT_EQ(h.pano.num_Nodes, 2);
  EXPECT_EQ(root->id_Right, 2);
}

TEST(TreeInsert, DeterminantIsTestedAtTheFreePlaceAfterDescent) {
  TreeHarness h;
  h.StartRoot(Translation(0, 0));
  _treeNode* root = h.pano.Root_AVL;
  cv::Mat scaleTwo = cv::Mat::eye(3, 3, CV_64F);
  scaleTwo.at<double>(0, 0) = 2.0;  // root onto its right child, determinant 2
  AddNode(&h.pano, 2, root, true, scaleTwo);
  h.pano.num_Nodes = 2;
  h.pano.Vect_Nodes.push_back(root->right);
  cv::Mat rootToNew = cv::Mat::eye(3, 3, CV_64F);
  rootToNew.at<double>(0, 0) = 0.4;  // determinant 0.4 at the root, 0.2 below node 2
  h.pano.cameraMotion.setHomography(rootToNew);
  h.pano.Movement_LR = 1;
  h.pano.ban_insert = 0;
  h.pano.insert(root, TaggedFrame(3));
  EXPECT_EQ(h.pano.ban_insert, 0);
  EXPECT_EQ(root->right->right, nullptr);
  EXPECT_EQ(root->right->left, nullptr);
  EXPECT_EQ(h.pano.num_Nodes, 2);
}

// ---------------------------------------------------------------------------
// Rotations and rewiring.

TEST(TreeRotation, ThreeFramesToTheRightRotateOnceAtTheRoot) {
  TreeHarness h;
  h.StartRoot(Translation(0, 0));
  ASSERT_EQ(h.Offer(Camera(20, 0.05, 1.1)), 1);
  ASSERT_EQ(h.InsertOnly(Camera(40, -0.04, 0.9)), 1);
  _treeNode* n1 = h.Node(1);
  _treeNode* n2 = h.Node(2);
  _treeNode* n3 = h.Node(3);
  ASSERT_EQ(n1->right, n2);
  ASSERT_EQ(n2->right, n3);
  const cv::Mat old2 = n2->H_ParentToNode->clone();
  const cv::Mat old3 = n3->H_ParentToNode->clone();

  h.pano.Root_AVL = h.pano.ALLbalance(h.pano.Root_AVL);
  EXPECT_EQ(h.pano.Root_AVL, n2);
  EXPECT_EQ(n2->parent, nullptr);
  EXPECT_EQ(n2->left, n1);
  EXPECT_EQ(n2->right, n3);
  EXPECT_EQ(n1->parent, n2);
  EXPECT_EQ(n1->right, nullptr);
  EXPECT_EQ(n1->id_Parent, 2);
  EXPECT_EQ(n2->id_Left, 1);
  EXPECT_TRUE(SameMatrix(*n1->H_ParentToNode, Inverse(old2)));
  EXPECT_TRUE(SameMatrix(*n3->H_ParentToNode, old3));
  EXPECT_TRUE(SameMatrix(h.pano.H_Rotation_B, old2));
  ExpectConsistentBalancedTree(&h);
}

TEST(TreeRotation, LeftThenRightChildTakesTheDoubleRotation) {
  TreeHarness h;
  h.StartRoot(Translation(0, 0));
  ASSERT_EQ(h.Offer(Camera(-40, 0.05, 1.1)), 1);        // node 2 left of 1
  ASSERT_EQ(h.InsertOnly(Camera(-20, -0.04, 0.9)), 1);  // node 3 right of 2
  _treeNode* n1 = h.Node(1);
  _treeNode* n2 = h.Node(2);
  _treeNode* n3 = h.Node(3);
  ASSERT_EQ(n1->left, n2);
  ASSERT_EQ(n2->right, n3);
  ASSERT_EQ(h.pano.diff(n1), -2);
  ASSERT_EQ(h.pano.diff(n2), 1);
  const cv::Mat oneOntoTwo = n2->H_ParentToNode->clone();
  const cv::Mat twoOntoThree = n3->H_ParentToNode->clone();

  h.pano.Root_AVL = h.pano.ALLbalance(h.pano.Root_AVL);
  EXPECT_EQ(h.pano.Root_AVL, n3);
  EXPECT_EQ(n3->left, n2);
  EXPECT_EQ(n3->right, n1);
  EXPECT_EQ(n2->right, nullptr);
  EXPECT_EQ(n1->left, nullptr);
  // The repair after the first rotation chained the saved links (ids 1 and 3
  // are not consecutive); the second rotation saved that repaired link.
  const cv::Mat oneOntoThree = twoOntoThree * oneOntoTwo;
  EXPECT_LT(cv::norm(h.pano.H_Rotation_B, oneOntoThree, cv::NORM_INF), 1e-12);
  EXPECT_LT(cv::norm(*n2->H_ParentToNode, Inverse(twoOntoThree), cv::NORM_INF), 1e-12);
  EXPECT_LT(cv::norm(*n1->H_ParentToNode, Inverse(oneOntoThree), cv::NORM_INF), 1e-12);
  ExpectConsistentBalancedTree(&h);
}

TEST(TreeRotation, DoubleRotationStepByStep) {
  TreeHarness h;
  h.StartRoot(Translation(0, 0));
  ASSERT_EQ(h.Offer(Camera(-40, 0.05, 1.1)), 1);
  ASSERT_EQ(h.InsertOnly(Camera(-20, -0.04, 0.9)), 1);
  _treeNode* n1 = h.Node(1);
  _treeNode* n2 = h.Node(2);
  _treeNode* n3 = h.Node(3);
  const cv::Mat oneOntoTwo = n2->H_ParentToNode->clone();
  const cv::Mat twoOntoThree = n3->H_ParentToNode->clone();

  n1->left = h.pano.rr_rotation(n1->left);
  EXPECT_EQ(n1->left, n3);
  EXPECT_EQ(n3->left, n2);
  EXPECT_EQ(n3->parent, n1);
  EXPECT_EQ(n3->id_Parent, 2);  // stale until the repair
  EXPECT_TRUE(SameMatrix(h.pano.H_Rotation_A, oneOntoTwo));
  EXPECT_TRUE(SameMatrix(h.pano.H_Rotation_B, twoOntoThree));
  h.pano.VerifyH(&n1->left, &n1);
  EXPECT_EQ(n3->id_Parent, 1);
  EXPECT_EQ(n1->id_Left, 3);
  EXPECT_LT(cv::norm(*n3->H_ParentToNode, twoOntoThree * oneOntoTwo, cv::NORM_INF), 1e-12);
  h.pano.Root_AVL = h.pano.ll_rotation(n1);
  EXPECT_EQ(h.pano.Root_AVL, n3);
  ExpectConsistentBalancedTree(&h);
}

// Hand-made trees where Vect_H deliberately disagrees with the chained
// product, so the test can tell which one a moved node received.
class RewiringChoice : public ::testing::Test {
 protected:
  Panorama pano;
  cv::Mat link[6];

  void SetUp() override {
    ConfigureForTests(&pano, kNoFeaturesMode);
    for (int k = 1; k <= 5; ++k) link[k] = Translation(7.0 * k, 0.5 * k);
    for (int k = 1; k <= 4; ++k) pano.Vect_H.push_back(Translation(100.0 + k, -100.0 - k));
  }
};

TEST_F(RewiringChoice, InnerGrandchildWithNextIdTakesVectH) {
  // 1 -> right 3 -> left 2: rr_rotation at 1 moves 2 under 1.
  _treeNode* a = AddNode(&pano, 1, nullptr, false, NanMatrix());
  _treeNode* b = AddNode(&pano, 3, a, true, link[3]);
  _treeNode* c = AddNode(&pano, 2, b, false, link[2]);
  EXPECT_EQ(pano.rr_rotation(a), b);
  EXPECT_EQ(a->right, c);
  EXPECT_EQ(c->parent, a);
  EXPECT_EQ(c->id_Parent, 1);
  EXPECT_EQ(a->id_Right, 2);
  EXPECT_EQ(b->left, a);
  EXPECT_EQ(b->id_Left, 1);
  EXPECT_EQ(a->id_Parent, 3);
  EXPECT_TRUE(SameMatrix(*c->H_ParentToNode, pano.Vect_H[0]));
  EXPECT_NE(c->H_ParentToNode->data, pano.Vect_H[0].data);  // a copy, not a share
  EXPECT_TRUE(SameMatrix(*a->H_ParentToNode, Inverse(link[3])));
}

TEST_F(RewiringChoice, InnerGrandchildWithPreviousIdTakesInverseVectH) {
  // 3 -> left 1 -> right 2: ll_rotation at 3 moves 2 under 3.
  _treeNode* a = AddNode(&pano, 3, nullptr, false, NanMatrix());
  _treeNode* b = AddNode(&pano, 1, a, false, link[1]);
  _treeNode* c = AddNode(&pano, 2, b, true, link[2]);
  EXPECT_EQ(pano.ll_rotation(a), b);
  EXPECT_EQ(a->left, c);
  EXPECT_EQ(a->id_Left, 2);
  EXPECT_EQ(b->right, a);
  EXPECT_EQ(b->id_Right, 3);
  EXPECT_TRUE(SameMatrix(*c->H_ParentToNode, Inverse(pano.Vect_H[1])));
}

TEST_F(RewiringChoice, DistantInnerGrandchildChainsThroughTheLiftedNode) {
  // 1 -> right 2 -> left 4: ids 1 and 4 are not consecutive.
  _treeNode* a = AddNode(&pano, 1, nullptr, false, NanMatrix());
  _treeNode* b = AddNode(&pano, 2, a, true, link[2]);
  _treeNode* c = AddNode(&pano, 4, b, false, link[4]);
  pano.rr_rotation(a);
  EXPECT_TRUE(SameMatrix(*c->H_ParentToNode, link[4] * link[2]));
}

TEST_F(RewiringChoice, RotationWithoutInnerGrandchildLeavesInnerSideEmpty) {
  _treeNode* a = AddNode(&pano, 1, nullptr, false, NanMatrix());
  _treeNode* b = AddNode(&pano, 2, a, true, link[2]);
  AddNode(&pano, 3, b, true, link[3]);
  EXPECT_EQ(pano.rr_rotation(a), b);
  EXPECT_EQ(a->right, nullptr);
  EXPECT_EQ(a->parent, b);
  EXPECT_EQ(b->parent, nullptr);
}

TEST_F(RewiringChoice, VerifyHRepairsOnlyInconsistentLinks) {
  _treeNode* p = AddNode(&pano, 3, nullptr, false, NanMatrix());
  _treeNode* ch = AddNode(&pano, 1, p, false, link[2]);
  pano.H_Rotation_A = link[1].clone();
  pano.H_Rotation_B = link[3].clone();

  pano.VerifyH(&p->left, &p);  // consistent: untouched
  EXPECT_TRUE(SameMatrix(*ch->H_ParentToNode, link[2]));

  ch->id_Parent = 9;  // as a rotation leaves it
  pano.VerifyH(&p->left, &p);
  EXPECT_TRUE(SameMatrix(*ch->H_ParentToNode, link[3] * link[1]));
  EXPECT_EQ(ch->id_Parent, 3);
  EXPECT_EQ(p->id_Left, 1);

  // Consecutive ids take Vect_H, forward or inverted; the right side is found.
  _treeNode* next = AddNode(&pano, 4, p, true, link[4]);
  p->id_Right = 0;
  pano.VerifyH(&p->right, &p);
  EXPECT_TRUE(SameMatrix(*next->H_ParentToNode, pano.Vect_H[3 - 1]));
  EXPECT_EQ(p->id_Right, 4);
  EXPECT_EQ(next->id_Parent, 3);
  ch->id = 2;  // now one below its parent's id, and inconsistent again
  pano.VerifyH(&p->left, &p);
  EXPECT_TRUE(SameMatrix(*ch->H_ParentToNode, Inverse(pano.Vect_H[2 - 1])));
  EXPECT_EQ(p->id_Left, 2);

  _treeNode* none = nullptr;
  pano.VerifyH(&p->left, &none);  // no parent: nothing to do
}

TEST_F(RewiringChoice, VerifyHForwardConsecutiveUsesVectH) {
  _treeNode* p = AddNode(&pano, 2, nullptr, false, NanMatrix());
  _treeNode* ch = AddNode(&pano, 3, p, true, link[3]);
  ch->id_Parent = 0;
  pano.VerifyH(&p->right, &p);
  EXPECT_TRUE(SameMatrix(*ch->H_ParentToNode, pano.Vect_H[1]));
}

// Left-left (and right-right) imbalance whose child is itself balanced.
TEST(TreeBalance, MinusTwoWithBalancedLeftChildTakesSingleRotation) {
  Panorama pano;
  ConfigureForTests(&pano, kNoFeaturesMode);
  _treeNode* a = AddNode(&pano, 10, nullptr, false, NanMatrix());
  _treeNode* b = AddNode(&pano, 20, a, false, Translation(30, 0));
  _treeNode* bl = AddNode(&pano, 30, b, false, Translation(30, 0));
  _treeNode* br = AddNode(&pano, 40, b, true, Translation(-10, 0));
  ASSERT_EQ(pano.diff(a), -2);
  ASSERT_EQ(pano.diff(b), 0);
  EXPECT_EQ(pano.balance(a), b);  // a double rotation would lift br
  EXPECT_EQ(b->left, bl);
  EXPECT_EQ(b->right, a);
  EXPECT_EQ(a->left, br);
  EXPECT_EQ(br->parent, a);
}

TEST(TreeBalance, PlusTwoWithBalancedRightChildTakesSingleRotation) {
  Panorama pano;
  ConfigureForTests(&pano, kNoFeaturesMode);
  _treeNode* a = AddNode(&pano, 10, nullptr, false, NanMatrix());
  _treeNode* b = AddNode(&pano, 20, a, true, Translation(-30, 0));
  _treeNode* bl = AddNode(&pano, 30, b, false, Translation(10, 0));
  _treeNode* br = AddNode(&pano, 40, b, true, Translation(-30, 0));
  ASSERT_EQ(pano.diff(a), 2);
  ASSERT_EQ(pano.diff(b), 0);
  EXPECT_EQ(pano.balance(a), b);
  EXPECT_EQ(b->left, a);
  EXPECT_EQ(b->right, br);
  EXPECT_EQ(a->right, bl);
  EXPECT_EQ(bl->parent, a);
}

TEST(TreeBalance, AllBalanceOnBalancedConsistentTreeChangesNothing) {
  TreeHarness h;
  h.StartRoot(Translation(0, 0));
  // Positions 0, -20, 20, -30, -10, 10, 30 fill a perfect tree of height 3.
  for (double x : {-20.0, 20.0, -30.0, -10.0, 10.0, 30.0}) {
    ASSERT_EQ(h.Offer(Translation(-x, 0.25 * x)), 1);
  }
  ASSERT_EQ(h.pano.height(h.pano.Root_AVL), 3);
  _treeNode* root = h.pano.Root_AVL;
  const auto before = Snapshot(h.pano);
  h.pano.H_Rotation_A = NanMatrix();  // stale scratch must not be used
  h.pano.H_Rotation_B = NanMatrix();
  EXPECT_EQ(h.pano.ALLbalance(root), root);
  const auto after = Snapshot(h.pano);
  for (const auto& [node, was] : before) {
    const NodeSnapshot& now = after.at(node);
    EXPECT_EQ(now.left, was.left);
    EXPECT_EQ(now.right, was.right);
    EXPECT_EQ(now.parent, was.parent);
    EXPECT_EQ(now.id_Parent, was.id_Parent);
    EXPECT_EQ(now.id_Left, was.id_Left);
    EXPECT_EQ(now.id_Right, was.id_Right);
    EXPECT_TRUE(SameBits(now.link, was.link)) << "node " << node->id;
  }
  EXPECT_EQ(h.pano.ALLbalance(nullptr), nullptr);
}

// ---------------------------------------------------------------------------
// Property: any placement order keeps the tree balanced, ordered left to
// right and geometrically exact.

struct Placement {
  double x;  // plane x of the frame's top-left pixel
  cv::Mat planeToFrame;
};

// Frames move in a random walk along x, sometimes jumping back inside the
// covered range, so new key frames land left, right and between older ones.
// Positions stay at least kMinGapPx apart so that the side decision against
// every other frame is unambiguous despite small rotations and scales.
void RandomPlacements(std::mt19937* rng, int count, std::vector<Placement>* out) {
  constexpr double kMinGapPx = 8.0;
  constexpr double kMaxAngleRad = 0.02;
  std::uniform_real_distribution<double> step(kMinGapPx, 40.0);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::uniform_real_distribution<double> angle(-kMaxAngleRad, kMaxAngleRad);
  std::uniform_real_distribution<double> scale(0.95, 1.05);
  std::uniform_real_distribution<double> drift(-5.0, 5.0);
  std::uniform_real_distribution<double> perspective(-1e-5, 1e-5);
  const auto isClear = [&](double candidate) {
    return std::all_of(out->begin(), out->end(),
                       [&](const Placement& p) { return std::abs(p.x - candidate) >= kMinGapPx; });
  };
  double x = 0.0;
  double lo = 0.0;
  double hi = 0.0;
  const bool oneWay = unit(*rng) < 0.2;  // some runs only ever move right
  constexpr int kAttempts = 50;
  for (int k = 0; k < count; ++k) {
    bool placed = (k == 0);
    for (int attempt = 0; !placed && attempt < kAttempts; ++attempt) {
      const double u = unit(*rng);
      double candidate;
      if (oneWay) {
        candidate = hi + step(*rng);
      } else if (u < 0.25) {
        candidate = lo - kMinGapPx + (hi - lo + 2 * kMinGapPx) * unit(*rng);
      } else {
        candidate = x + (u < 0.6 ? step(*rng) : -step(*rng));
      }
      placed = isClear(candidate);
      if (placed) x = candidate;
    }
    if (!placed) x = (unit(*rng) < 0.5) ? lo - step(*rng) : hi + step(*rng);  // crowded
    ASSERT_TRUE(k == 0 || isClear(x)) << "could not place frame " << k;
    lo = std::min(lo, x);
    hi = std::max(hi, x);
    const double y = drift(*rng);
    out->push_back(
        {x, PlaneToFrame(x, y, angle(*rng), scale(*rng), perspective(*rng), perspective(*rng))});
  }
}

// In-order traversal lists the frames from left to right on the plane.
void ExpectInOrderIsLeftToRight(TreeHarness* h, const std::vector<Placement>& placed) {
  std::vector<_treeNode*> inOrder;
  CollectInOrder(h->pano.Root_AVL, &inOrder);
  for (size_t k = 1; k < inOrder.size(); ++k) {
    EXPECT_LT(placed[inOrder[k - 1]->id - 1].x, placed[inOrder[k]->id - 1].x)
        << "nodes " << inOrder[k - 1]->id << " and " << inOrder[k]->id;
  }
}

TEST(TreeProperty, RandomPlacementsStayBalancedOrderedAndExact) {
  constexpr int kTrees = 200;
  constexpr int kMaxFrames = 60;
  constexpr int kFullPairCheckEvery = 40;  // trees whose every state checks all pairs
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<int> frames(2, kMaxFrames);
  int rotations = 0;
  for (int t = 0; t < kTrees; ++t) {
    SCOPED_TRACE("tree " + std::to_string(t));
    std::vector<Placement> placed;
    RandomPlacements(&rng, frames(rng), &placed);
    ASSERT_FALSE(HasFatalFailure());
    TreeHarness h;
    h.StartRoot(placed[0].planeToFrame);
    for (size_t k = 1; k < placed.size(); ++k) {
      SCOPED_TRACE("after key frame " + std::to_string(k + 1));
      const _treeNode* rootBefore = h.pano.Root_AVL;
      ASSERT_EQ(h.InsertOnly(placed[k].planeToFrame), 1);
      const int heightBefore = TrueHeight(h.pano.Root_AVL);
      h.pano.Root_AVL = h.pano.ALLbalance(h.pano.Root_AVL);
      if (h.pano.Root_AVL != rootBefore || TrueHeight(h.pano.Root_AVL) != heightBefore) {
        rotations += 1;
      }
      ExpectConsistentBalancedTree(&h);
      ExpectInOrderIsLeftToRight(&h, placed);
      if (t % kFullPairCheckEvery == 0) ExpectEveryPairMatchesTruth(&h);
      if (HasFailure()) return;  // one broken tree says enough
    }
    ExpectEveryPairMatchesTruth(&h);
    if (HasFailure()) return;
  }
  EXPECT_GT(rotations, kTrees);  // the runs did exercise the rotations
}

}  // namespace
