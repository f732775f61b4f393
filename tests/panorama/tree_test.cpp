// The frame tree: search, heights, LCA, path homographies,
// the side rule, balanced insertion and the homography rewiring of every
// rotation, checked against ground-truth homographies of a virtual camera.
#include <gtest/gtest.h>

#include <deque>
#include <limits>
#include <random>
#include <tuple>

#include "panorama/panorama.hpp"
#include "tests/support/test_support.hpp"

namespace {

using testsupport::SameBits;
using testsupport::Translation;

constexpr int kImageW = 64, kImageH = 48;  // the frame size the side rule uses
constexpr double kCornerTolerancePx = 1e-6;
// Node creation copies keypoints and detects nothing in SIFT mode, and stores no features in
// mode 2.
constexpr int kSiftMode = 1, kNoFeaturesMode = 2;

cv::Mat NanMatrix() {
  return cv::Mat(3, 3, CV_64F, cv::Scalar(std::numeric_limits<double>::quiet_NaN()));
}
cv::Mat ScaleX(double sx) {
  return (cv::Mat_<double>(3, 3) << sx, 0, 0, 0, 1, 0, 0, 0, 1);
}
cv::Mat TaggedFrame(int tag) {
  return cv::Mat(3, 4, CV_8UC3, cv::Scalar(tag, 255 - tag, 7));
}
double CornerError(const cv::Mat& A, const cv::Mat& B) {
  return testsupport::MaxCornerError(A, B, kImageW, kImageH);
}
void Configure(Panorama* pano, int featureMode) {
  pano->imageW = kImageW, pano->imageH = kImageH, pano->Id_Features = featureMode;
}

// A hand-made node under parent (the root when parent is null), kept for the
// whole test run; link maps the parent's image onto the node's.
_treeNode* AddNode(Panorama* pano, int32_t id, _treeNode* parent, bool right, const cv::Mat& link) {
  static std::deque<_treeNode> arena;
  _treeNode* node = &arena.emplace_back();
  node->id = id;
  node->image = std::make_unique<cv::Mat>(TaggedFrame(id));
  node->H_ParentToNode = std::make_unique<cv::Mat>(link.clone());
  if (parent == nullptr)
    return pano->Root_AVL = node;
  node->parent = parent, node->id_Parent = parent->id;
  (right ? parent->right : parent->left) = node, (right ? parent->id_Right : parent->id_Left) = id;
  return node;
}

// Drives the tree the way the key-frame step does, from ground truth: frame k
// (node id k) sees the plane through truth[k - 1] (plane onto frame pixels).
class TreeHarness {
 public:
  Panorama pano;
  std::vector<cv::Mat> truth;

  explicit TreeHarness(const cv::Mat& rootPlaneToFrame, int featureMode = kSiftMode) {
    Configure(&pano, featureMode);
    // The root's link is meaningless: NaN, so that any use of it shows.
    pano.num_Nodes = pano.ban_RootCreated = 1;
    pano.Vect_Nodes.push_back(AddNode(&pano, 1, nullptr, false, NanMatrix()));
    truth.push_back(rootPlaneToFrame.clone());
  }
  cv::Mat TrueHomography(int32_t from, int32_t to) const {
    return truth[to - 1] * truth[from - 1].inv();
  }

  // Records the direct key-frame homography, positions the new frame against
  // the root through the tree path from the latest key frame and inserts it
  // (without rebalancing). Returns ban_insert.
  int InsertOnly(const cv::Mat& planeToFrame) {
    _treeNode* latest = pano.find(pano.Root_AVL, pano.num_Nodes);
    truth.push_back(planeToFrame.clone());
    const cv::Mat keyToNew = TrueHomography(latest->id, pano.num_Nodes + 1);
    pano.Vect_H.push_back(keyToNew.clone()), pano.num_VectH += 1;
    pano.cameraMotion.setHomography(keyToNew * pano.calculateHomBToA(latest, pano.Root_AVL));
    pano.cameraMotion.InverseHomography_Hij();
    pano.CalculateMovement_LRUD(pano.cameraMotion.getInverseHomography(), kImageW, kImageH);
    pano.ban_insert = 0, pano.insert(pano.Root_AVL, TaggedFrame(pano.num_Nodes + 1));
    if (pano.ban_insert == 0)
      truth.pop_back();
    return pano.ban_insert;
  }
};

// A camera over the plane: frame pixel = K * (plane point - origin), K a
// small rotation and scale plus a faint perspective term.
cv::Mat PlaneToFrame(double x, double y, double angle, double scale, double px = 0, double py = 0) {
  const double c = scale * std::cos(angle), s = scale * std::sin(angle);
  return (cv::Mat_<double>(3, 3) << c, -s, 0, s, c, 0, px, py, 1) * Translation(-x, -y);
}

int32_t TrueHeight(const _treeNode* n) {
  return n == nullptr ? 0 : 1 + std::max(TrueHeight(n->left), TrueHeight(n->right));
}

void InOrder(_treeNode* n, std::vector<_treeNode*>* out) {
  if (n != nullptr)
    InOrder(n->left, out), out->push_back(n), InOrder(n->right, out);
}

// Links, ids, balance, the gapless id sequence, and every link against the truth.
void ExpectConsistentBalancedTree(TreeHarness& h) {
  Panorama& pano = h.pano;
  ASSERT_EQ(pano.Root_AVL->parent, nullptr);
  std::vector<_treeNode*> nodes;
  InOrder(pano.Root_AVL, &nodes);
  ASSERT_TRUE(static_cast<int>(nodes.size()) == pano.num_Nodes &&
              static_cast<int>(pano.Vect_Nodes.size()) == pano.num_Nodes);
  for (_treeNode* n : nodes) {
    ASSERT_EQ(pano.Vect_Nodes.at(n->id - 1), n) << "node " << n->id;
    EXPECT_LE(std::abs(TrueHeight(n->right) - TrueHeight(n->left)), 1) << "node " << n->id;
    for (_treeNode* child : {n->left, n->right}) {
      if (child == nullptr)
        continue;
      EXPECT_TRUE(child->parent == n && child->id_Parent == n->id &&
                  (child == n->left ? n->id_Left : n->id_Right) == child->id)
          << "node " << child->id;
      EXPECT_LT(CornerError(*child->H_ParentToNode, h.TrueHomography(n->id, child->id)),
                kCornerTolerancePx)
          << "link of node " << child->id << " under " << n->id;
    }
  }
}

// For every ordered pair, through their LCA: P's image onto Q's.
void ExpectEveryPairMatchesTruth(TreeHarness& h) {
  Panorama& pano = h.pano;
  for (_treeNode* p : pano.Vect_Nodes) {
    for (_treeNode* q : pano.Vect_Nodes) {
      _treeNode* l = pano.LCA(pano.Root_AVL, p, q);
      ASSERT_EQ(l, pano.LCAByParents(p, q)) << "pair " << p->id << " -> " << q->id;
      const cv::Mat pToQ = pano.calculateHomBToA(q, l) * pano.calculateHomBToA(p, l).inv();
      EXPECT_LT(CornerError(pToQ, h.TrueHomography(p->id, q->id)), kCornerTolerancePx)
          << "pair " << p->id << " -> " << q->id;
    }
  }
}

// 1 has children 2 (left) and 3 (right); 4 is the right child of 2, 5 the
// left child of 3, 6 the right child of 5.
class HandTree : public ::testing::Test {
 protected:
  void SetUp() override {
    Configure(&pano, kNoFeaturesMode);
    pano.setOperator(testsupport::StdStreams());
    n[1] = AddNode(&pano, 1, nullptr, false, NanMatrix());
    const int parent[7] = {0, 0, 1, 1, 2, 3, 5};
    for (int k = 2; k <= 6; ++k)
      n[k] = AddNode(&pano, k, n[parent[k]], k == 3 || k == 4 || k == 6, Translation(k, 0));
  }
  Panorama pano;
  _treeNode* n[7] = {};
};

TEST_F(HandTree, FindHeightDiffAndExtremeLeaves) {
  for (int k = 1; k <= 6; ++k)
    EXPECT_EQ(pano.find(pano.Root_AVL, k), n[k]);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(pano.find(pano.Root_AVL, 7) == nullptr && pano.find(pano.Root_AVL, 0) == nullptr &&
              pano.find(nullptr, 1) == nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nBinary Tree empty...");
  EXPECT_EQ(pano.height(nullptr), 0);
  const int height[7] = {0, 4, 2, 3, 1, 2, 1}, diff[7] = {0, 1, 1, -2, 0, 1, 0};
  for (int k = 1; k <= 6; ++k)
    EXPECT_EQ(cv::Vec2i(pano.height(n[k]), pano.diff(n[k])), cv::Vec2i(height[k], diff[k])) << k;
  // {from, left-most, right-most}; n[2] still has a right child
  for (const auto& c : {cv::Vec3i(1, 2, 3), cv::Vec3i(5, 5, 6), cv::Vec3i(3, 5, 3)}) {
    EXPECT_TRUE(pano.CalculateLeftMostLeaf(n[c[0]]) == n[c[1]] &&
                pano.CalculateRightMostLeaf(n[c[0]]) == n[c[2]])
        << c;
  }
  // An empty tree has no extreme leaf: an error, not a null dereference.
  EXPECT_THROW(pano.CalculateLeftMostLeaf(nullptr), cv::Exception);
  EXPECT_THROW(pano.CalculateRightMostLeaf(nullptr), cv::Exception);
}

TEST_F(HandTree, LowestCommonAncestor) {
  const int cases[][3] = {{4, 4, 4}, {3, 6, 3}, {6, 3, 3}, {2, 3, 1}, {4, 6, 1}, {5, 6, 5}};
  for (const auto& c : cases) {
    EXPECT_TRUE(pano.LCA(pano.Root_AVL, n[c[0]], n[c[1]]) == n[c[2]] &&
                pano.LCAByParents(n[c[0]], n[c[1]]) == n[c[2]])
        << c[0] << ", " << c[1];
  }
  EXPECT_TRUE(pano.LCA(n[3], n[5], n[6]) == n[5] && pano.LCA(nullptr, n[5], n[6]) == nullptr);
  _treeNode twin;  // identity, not id: a detached record with the same id is not in the tree
  twin.id = 6;
  EXPECT_EQ(pano.LCA(n[3], &twin, &twin), nullptr);
}

// Left when a left corner (top-left, or bottom-left at row h - 1) rounds to
// a negative x; the integer rounding adds 0.5 and truncates toward zero.
TEST(TreeSideRule, LeftCornerRoundingToNegativeXGoesLeft) {
  const auto sheared = [](double tx, double shear) {
    return cv::Mat((cv::Mat_<double>(3, 3) << 1, shear, tx, 0, 1, 3, 0, 0, 1));
  };
  const std::pair<cv::Mat, int> cases[] = {
      {Translation(0, 3), 1},    {Translation(-1.4, 3), 1},
      {Translation(-1.5, 3), 0}, {Translation(-20, 3), 0},
      {Translation(5, 3), 1},    {sheared(0, -0.03125), 1},  // row 47: -1.47
      {sheared(0, -0.0625), 0},  {sheared(-3, 0.1), 0}};     // top-left alone sends it left
  Panorama pano;
  for (const auto& [H, side] : cases) {
    pano.Movement_LR = 1 - side;
    pano.CalculateMovement_LRUD(H, kImageW, kImageH);
    EXPECT_EQ(pano.Movement_LR, side) << H;
  }
}

TEST(TreeInsert, DeterminantAtOrBelowThresholdOrNanIsRefused) {
  TreeHarness h(Translation(0, 0));
  _treeNode* root = h.pano.Root_AVL;
  const auto tryInsert = [&](double scaleX) {
    h.pano.cameraMotion.setHomography(std::isnan(scaleX) ? NanMatrix() : ScaleX(scaleX));
    h.pano.Movement_LR = 1, h.pano.ban_insert = 0;
    EXPECT_EQ(h.pano.insert(root, TaggedFrame(9)), root);
    return h.pano.ban_insert;
  };
  root->id_Right = 77;  // the stale id of a free side stays on refusal
  for (double scaleX : {0.2, -1.0, std::numeric_limits<double>::quiet_NaN()})
    EXPECT_EQ(tryInsert(scaleX), 0);
  EXPECT_TRUE(root->right == nullptr && root->left == nullptr);
  EXPECT_EQ(cv::Vec3i(root->id_Right, h.pano.num_Nodes, static_cast<int>(h.pano.Vect_Nodes.size())),
            cv::Vec3i(77, 1, 1));
  EXPECT_TRUE(tryInsert(std::nextafter(0.2, 1.0)) == 1 && root->id_Right == 2);
  // Tested at the free place after the descent: 0.4 at the root, 0.2 below
  // node 2 (root onto node 2 scales by 2).
  _treeNode* second = h.pano.Vect_Nodes.at(1);
  *second->H_ParentToNode = ScaleX(2.0);
  EXPECT_EQ(tryInsert(0.4), 0);
  EXPECT_TRUE(second->right == nullptr && second->left == nullptr);
}

// Hand-made trees where Vect_H deliberately disagrees with the chained links,
// so that the tests tell which one a moved node received: consecutive ids take
// Vect_H (inverted when going down in id), others chain through the lifted node.
class RewiringChoice : public ::testing::Test {
 protected:
  // Root ida, its child idb on side rb, idb's child idc on side rc.
  std::tuple<_treeNode*, _treeNode*, _treeNode*> Chain(int ida, int idb, bool rb, int idc,
                                                       bool rc) {
    _treeNode* a = AddNode(&pano, ida, nullptr, false, NanMatrix());
    _treeNode* b = AddNode(&pano, idb, a, rb, link[idb]);
    return {a, b, AddNode(&pano, idc, b, rc, link[idc])};
  }
  void SetUp() override {
    Configure(&pano, kNoFeaturesMode);
    for (int k = 1; k <= 5; ++k)
      link[k] = Translation(7.0 * k, 0.5 * k);
    for (int k = 1; k <= 4; ++k)
      pano.Vect_H.push_back(Translation(100.0 + k, -100.0 - k));
  }
  Panorama pano;
  cv::Mat link[6];
};

TEST_F(RewiringChoice, InnerGrandchildTakesVectHItsInverseOrTheChain) {
  // 1 -> right 3 -> left 2: rr_rotation at 1 moves 2 under 1.
  auto [a, b, c] = Chain(1, 3, true, 2, false);
  EXPECT_EQ(pano.rr_rotation(a), b);
  EXPECT_TRUE(a->right == c && c->parent == a && b->left == a && a->parent == b);
  EXPECT_EQ(cv::Vec4i(c->id_Parent, a->id_Right, b->id_Left, a->id_Parent), cv::Vec4i(1, 2, 1, 3));
  EXPECT_TRUE(SameBits(*c->H_ParentToNode, pano.Vect_H[0]) &&
              SameBits(*a->H_ParentToNode, link[3].inv()));
  // 3 -> left 1 -> right 2: ll_rotation at 3 moves 2 under 3.
  std::tie(a, b, c) = Chain(3, 1, false, 2, true);
  EXPECT_EQ(pano.ll_rotation(a), b);
  EXPECT_TRUE(a->left == c && b->right == a && a->id_Left == 2 && b->id_Right == 3);
  EXPECT_TRUE(SameBits(*c->H_ParentToNode, pano.Vect_H[1].inv()));
  // 1 -> right 2 -> left 4: ids 1 and 4 are not consecutive.
  std::tie(a, b, c) = Chain(1, 2, true, 4, false);
  pano.rr_rotation(a);
  EXPECT_TRUE(SameBits(*c->H_ParentToNode, link[4] * link[2]));
}

TEST_F(RewiringChoice, VerifyHRepairsOnlyInconsistentLinks) {
  _treeNode* p = AddNode(&pano, 3, nullptr, false, NanMatrix());
  _treeNode* ch = AddNode(&pano, 1, p, false, link[2]);
  pano.H_Rotation_A = link[1].clone(), pano.H_Rotation_B = link[3].clone();
  pano.VerifyH(&p->left, &p);  // consistent: untouched
  EXPECT_TRUE(SameBits(*ch->H_ParentToNode, link[2]));
  ch->id_Parent = 9,
  pano.VerifyH(&p->left, &p);  // as a rotation leaves it: chained from the saved links
  EXPECT_TRUE(SameBits(*ch->H_ParentToNode, link[3] * link[1]) && ch->id_Parent == 3 &&
              p->id_Left == 1);
  _treeNode* next = AddNode(&pano, 4, p, true, link[4]);  // consecutive: Vect_H
  p->id_Right = 0, pano.VerifyH(&p->right, &p);
  EXPECT_TRUE(SameBits(*next->H_ParentToNode, pano.Vect_H[2]) && p->id_Right == 4 &&
              next->id_Parent == 3);
  ch->id = 2, pano.VerifyH(&p->left, &p);  // one below its parent's id: inverted Vect_H
  EXPECT_TRUE(SameBits(*ch->H_ParentToNode, pano.Vect_H[1].inv()) && p->id_Left == 2);
  _treeNode* none = nullptr;
  *ch->H_ParentToNode = link[5].clone(), ch->id_Parent = 9;
  pano.VerifyH(&p->left, &none);  // no parent: nothing to do
  EXPECT_TRUE(SameBits(*ch->H_ParentToNode, link[5]));
}

// -2 (or +2) whose child is itself balanced takes a single rotation; a
// double one would lift the inner grandchild.
TEST(TreeBalance, TwoWithBalancedChildTakesSingleRotation) {
  for (bool right : {false, true}) {
    Panorama pano;
    const double s = right ? -1 : 1;
    _treeNode* a = AddNode(&pano, 10, nullptr, false, NanMatrix());
    _treeNode* b = AddNode(&pano, 20, a, right, Translation(30 * s, 0));
    _treeNode* outer = AddNode(&pano, 30, b, right, Translation(30 * s, 0));
    _treeNode* inner = AddNode(&pano, 40, b, !right, Translation(-10 * s, 0));
    ASSERT_EQ(pano.diff(a), right ? 2 : -2);
    EXPECT_EQ(pano.balance(a), b);
    EXPECT_TRUE((right ? b->right : b->left) == outer && (right ? b->left : b->right) == a &&
                (right ? a->right : a->left) == inner && inner->parent == a);
  }
}

// Property: any placement order keeps the tree balanced, ordered left to
// right and geometrically exact. Frames move in a random walk along x,
// sometimes jumping back inside the covered range, so new key frames land
// left, right and between older ones; positions stay at least 8 px apart so
// that the side against every other frame is unambiguous.
TEST(TreeProperty, RandomPlacementsStayBalancedOrderedAndExact) {
  constexpr int kTrees = 200;
  constexpr double kMinGapPx = 8.0;
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<int> frames(2, 60);
  std::uniform_real_distribution<double> step(kMinGapPx, 40), unit(0, 1), angle(-0.02, 0.02),
      scale(0.95, 1.05), drift(-5, 5), perspective(-1e-5, 1e-5);
  int rotations = 0;
  for (int t = 0; t < kTrees; ++t) {
    SCOPED_TRACE("tree " + std::to_string(t));
    std::vector<double> xs = {0.0};
    TreeHarness h(PlaneToFrame(0, drift(rng), angle(rng), scale(rng)));
    const bool oneWay = unit(rng) < 0.2;  // some runs only ever move right
    const int count = frames(rng);
    for (int k = 1; k < count; ++k) {
      const double lo = *std::min_element(xs.begin(), xs.end()),
                   hi = *std::max_element(xs.begin(), xs.end());
      const auto clear = [&](double c) {
        return std::all_of(xs.begin(), xs.end(),
                           [&](double x) { return std::abs(x - c) >= kMinGapPx; });
      };
      double x = oneWay ? hi + step(rng) : NAN;
      for (int attempt = 0; attempt < 50 && !clear(x); ++attempt) {
        const double u = unit(rng);
        x = u < 0.25 ? lo - kMinGapPx + (hi - lo + 2 * kMinGapPx) * unit(rng)
                     : xs.back() + (u < 0.6 ? step(rng) : -step(rng));
      }
      if (!clear(x))
        x = unit(rng) < 0.5 ? lo - step(rng) : hi + step(rng);  // crowded
      xs.push_back(x);
      SCOPED_TRACE("after key frame " + std::to_string(k + 1));
      const _treeNode* rootBefore = h.pano.Root_AVL;
      ASSERT_EQ(h.InsertOnly(PlaneToFrame(x, drift(rng), angle(rng), scale(rng), perspective(rng),
                                          perspective(rng))),
                1);
      const int heightBefore = TrueHeight(h.pano.Root_AVL);
      h.pano.Root_AVL = h.pano.ALLbalance(h.pano.Root_AVL);
      rotations += h.pano.Root_AVL != rootBefore || TrueHeight(h.pano.Root_AVL) != heightBefore;
      ExpectConsistentBalancedTree(h);
      std::vector<_treeNode*> nodes;  // in order is left to right on the plane
      InOrder(h.pano.Root_AVL, &nodes);
      for (size_t k2 = 1; k2 < nodes.size(); ++k2)
        EXPECT_LT(xs[nodes[k2 - 1]->id - 1], xs[nodes[k2]->id - 1]);
      if (t % 40 == 0)
        ExpectEveryPairMatchesTruth(h);
      if (HasFailure())
        return;  // one broken tree says enough
    }
    ExpectEveryPairMatchesTruth(h);
    if (HasFailure())
      return;
  }
  EXPECT_GT(rotations, kTrees);  // the runs did exercise the rotations
}

}  // namespace
