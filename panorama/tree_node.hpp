// The record of a key frame (tree node) or of a chained frame (chain record),
// and the pointer containers used by the tree walks.
#pragma once

#include <cstdint>
#include <memory>
#include <opencv2/core.hpp>
#include <vector>

struct _treeNode {
  _treeNode* left = nullptr;
  _treeNode* right = nullptr;
  _treeNode* parent = nullptr;     // null at the root
  _treeNode* prev_List = nullptr;  // previous chain record (null in a tree node)
  _treeNode* next_List = nullptr;  // next chain record
  int32_t id = 0;
  std::unique_ptr<cv::Mat> image;                            // deep copy of the frame
  std::unique_ptr<std::vector<cv::KeyPoint>> SIFT_Features;  // SIFT mode only
  std::unique_ptr<cv::Mat> SIFT_Descriptors;                 // theirs, one row each
  std::unique_ptr<std::vector<cv::Point2f>> Corners;         // corner mode only
  // Maps the parent's image onto this node's image (chain record: the frame
  // before it onto its own frame). Meaningless at the root.
  std::unique_ptr<cv::Mat> H_ParentToNode;
  int32_t id_Parent = 0;
  int32_t id_Left = 0;
  int32_t id_Right = 0;
};

struct PointerElement {
  _treeNode* node = nullptr;
  PointerElement* next = nullptr;
};

// The walks' containers own their elements, so they are never copied.
struct WalkContainer {
  WalkContainer() = default;
  WalkContainer(const WalkContainer&) = delete;
  WalkContainer& operator=(const WalkContainer&) = delete;
};

// FIFO of node pointers, local to one walk.
struct _QueuePointers : WalkContainer {
  PointerElement* front = nullptr;
  PointerElement* rear = nullptr;
  int64_t count = 0;
  ~_QueuePointers();  // frees elements still queued
};

// LIFO of node pointers, local to one walk.
struct _StackPointers : WalkContainer {
  PointerElement* top = nullptr;
  int64_t count = 0;
  ~_StackPointers();  // frees elements still stacked
};
