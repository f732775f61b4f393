// Walks over the frame tree: the pointer FIFO / LIFO, search by id, heights,
// lowest common ancestor and the path homography between a node and one of
// its ancestors.
#include <algorithm>
#include <memory>

#include "geometry/homography_mapping.hpp"
#include "panorama/panorama.hpp"

namespace {

// Deletes a singly linked run of elements starting at first.
void FreeElements(PointerElement* first) {
  while (first != nullptr) {
    std::unique_ptr<PointerElement> doomed(first);
    first = first->next;
  }
}

int32_t Depth(const _treeNode* node) {
  int32_t depth = 0;
  for (; node->parent != nullptr; node = node->parent)
    ++depth;
  return depth;
}

}  // namespace

_QueuePointers::~_QueuePointers() {
  FreeElements(front);
}
_StackPointers::~_StackPointers() {
  FreeElements(top);
}

// Each element is heap-allocated here and owned by the container until
// dequeue / pop (or the container's destructor) frees it.
void Panorama::queue(_QueuePointers* q, _treeNode* node) {
  auto element = std::make_unique<PointerElement>();
  element->node = node;
  PointerElement* added = element.release();
  if (q->front == nullptr) {
    q->front = added;
    q->count = 1;
  } else {
    q->rear->next = added;
    q->count += 1;
  }
  q->rear = added;
}

_treeNode* Panorama::dequeue(_QueuePointers* q) {
  if (q->front == nullptr)
    return nullptr;
  std::unique_ptr<PointerElement> removed(q->front);
  q->front = removed->next;
  if (q->front == nullptr)
    q->rear = nullptr;
  q->count -= 1;
  return removed->node;
}

void Panorama::push(_StackPointers* s, _treeNode* node) {
  auto element = std::make_unique<PointerElement>();
  element->node = node;
  element->next = s->top;
  s->count = (s->top == nullptr) ? 1 : s->count + 1;
  s->top = element.release();
}

_treeNode* Panorama::pop(_StackPointers* s) {
  if (s->top == nullptr)
    return nullptr;
  std::unique_ptr<PointerElement> removed(s->top);
  s->top = removed->next;
  s->count -= 1;
  return removed->node;
}

// Level order, left before right; the first node carrying id is returned,
// null when no node carries it. Elements still queued are freed on return.
_treeNode* Panorama::find(_treeNode* root, int32_t id) {
  if (root == nullptr) {
    operator_->Out("\nBinary Tree empty...");
    return nullptr;
  }
  _QueuePointers pending;
  queue(&pending, root);
  while (pending.count > 0) {
    _treeNode* node = dequeue(&pending);
    if (node->id == id)
      return node;
    if (node->left != nullptr)
      queue(&pending, node->left);
    if (node->right != nullptr)
      queue(&pending, node->right);
  }
  return nullptr;
}

// Recomputed from scratch on every call; nodes cache no height.
int32_t Panorama::height(_treeNode* node) {
  if (node == nullptr)
    return 0;
  return 1 + std::max(height(node->left), height(node->right));
}

// Positive when the right subtree is the taller one.
int32_t Panorama::diff(_treeNode* node) {
  CV_Assert(node != nullptr);
  return height(node->right) - height(node->left);
}

// Nodes are compared by identity; when one of a, b is an ancestor of the
// other, the ancestor is returned.
_treeNode* Panorama::LCA(_treeNode* root, _treeNode* a, _treeNode* b) {
  if (root == nullptr)
    return nullptr;
  if (root == a || root == b)
    return root;
  _treeNode* inLeft = LCA(root->left, a, b);
  _treeNode* inRight = LCA(root->right, a, b);
  if (inLeft != nullptr && inRight != nullptr)
    return root;
  return inLeft != nullptr ? inLeft : inRight;
}

_treeNode* Panorama::LCAByParents(_treeNode* a, _treeNode* b) {
  CV_Assert(a != nullptr && b != nullptr);
  int32_t depthA = Depth(a);
  int32_t depthB = Depth(b);
  for (; depthA > depthB; --depthA)
    a = a->parent;
  for (; depthB > depthA; --depthB)
    b = b->parent;
  while (a != b) {
    a = a->parent;
    b = b->parent;
  }
  CV_Assert(a != nullptr);  // null: the nodes are in different trees
  return a;
}

// Returns a new 3x3 CV_64F matrix mapping A's image onto B's image:
// B.link * parent(B).link * ... up to, not including, A's own link (so the
// root's meaningless link never enters). A must be B or an ancestor of B.
cv::Mat Panorama::calculateHomBToA(_treeNode* B, _treeNode* A) {
  cv::Mat H = cv::Mat::eye(3, 3, CV_64F);
  for (_treeNode* n = B; n != A; n = n->parent) {
    CV_Assert(n != nullptr);  // A is not on B's path to the root
    CV_Assert(n->H_ParentToNode != nullptr && IsHomography(*n->H_ParentToNode));
    H = H * (*n->H_ParentToNode);
  }
  return H;
}

// The end of the chain of left links; may still have a right child.
_treeNode* Panorama::CalculateLeftMostLeaf(_treeNode* node) {
  CV_Assert(node != nullptr);
  while (node->left != nullptr)
    node = node->left;
  return node;
}

// The end of the chain of right links; may still have a left child.
_treeNode* Panorama::CalculateRightMostLeaf(_treeNode* node) {
  CV_Assert(node != nullptr);
  while (node->right != nullptr)
    node = node->right;
  return node;
}
