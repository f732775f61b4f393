// The central state of a run: configuration, the frame tree with its chains,
// the scratch homographies shared by the tree operations, and the composed
// panoramas. One instance lives for the whole run.
#pragma once

#include <memory>
#include <set>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "composition/composition.hpp"
#include "features/camera_motion_estimation.hpp"
#include "features/feature_extraction.hpp"
#include "features/feature_matching.hpp"
#include "geometry/overlap.hpp"
#include "panorama/frame_store.hpp"
#include "panorama/tree_node.hpp"

class Panorama {
 public:
  int Id_Database = 2;             // handed to the frame source, unused there
  int Id_ScaleProcess = 1;         // 1: every stored frame is 8-bit three-channel
  int Id_Warping = 1;              // warping mode of the composition
  float Alpha_Blending = 0.5f;     // preview blend weight
  int Id_Features = 0;             // 0 corners + LK tracking, 1 SIFT
  int Id_HomographyEstimation = 0; // 0 automatic, 1 interactive
  int imageW = 0;
  int imageH = 0;
  int ban_RootCreated = 0;
  int Movement_LR = 1;  // side for the node at hand: 0 left, 1 right
  int num_VectH = 0;
  int ban_insert = 1;
  double Threshold_Determinant = 0.2;  // a link at or below this is refused
  float Threshold_Overlap = 90.0f;     // percent
  // Entry k - 1 maps key frame k onto key frame k + 1.
  std::vector<cv::Mat> Vect_H;
  cv::Mat H_Accumulated;  // scratch, 3x3 CV_64F
  cv::Mat H_Aux;
  cv::Mat H_Insert;
  cv::Mat H_Rotation_A;
  cv::Mat H_Rotation_B;
  cv::Mat pano;          // mean panorama, saved as "pano_Mean.png"
  cv::Mat pano_Weights;  // 8-bit weight map, never saved
  // Per-key-frame canvases of the median. The median is composed in strips
  // (Composition::computeMedianPanoramaInStrips) and keeps no full-canvas
  // image per key frame: both lists are left empty by the median stage.
  std::vector<cv::Mat> Vect_FPanos;
  std::vector<cv::Mat> Vect_FMasks;
  cv::Mat pano_Median;   // saved as "pano_Median.png"
  FeatureExtraction featureExtraction;
  FeatureMatching featureMatching;
  CameraMotionEstimation cameraMotion;
  Composition composition;
  _treeNode* Root_AVL = nullptr;
  _treeNode* Node_Reference = nullptr;  // the last key frame inserted
  _treeNode* Node_Current = nullptr;    // last record of Node_Reference's chain
  _treeNode* Node_Inserted = nullptr;
  _treeNode* Node_LeftMostLeaf = nullptr;
  _treeNode* Node_RightMostLeaf = nullptr;
  std::vector<_treeNode*> Vect_Nodes;  // tree nodes in creation order (id k at k - 1)
  int num_Nodes = 0;

  // The key frames' pixels (the nodes' images are views into it).
  FrameStore frameStore;
  // Ownership of every record: tree nodes for the whole run; the chain
  // records of the latest key frame only (older chains are never read again).
  std::vector<std::unique_ptr<_treeNode>> ownedNodes;
  std::vector<std::unique_ptr<_treeNode>> ownedChain;
  // The reference key frame chosen by the last composition (null before).
  _treeNode* Node_PanoReference = nullptr;
  // Key frames the canvas bound left out of the mean; the median omits them too.
  std::set<int32_t> canvasSkippedIds;

  Panorama();
  ~Panorama();
  Panorama(const Panorama&) = delete;
  Panorama& operator=(const Panorama&) = delete;

  int getId_Database() const { return Id_Database; }
  int getId_ScaleProcess() const { return Id_ScaleProcess; }
  int getban_insert() const { return ban_insert; }

  // Per frame pair: registration, then the chain / key-frame decision.
  void ProcessTwoImages_AVL(cv::Mat previous, cv::Mat current, float overlapThreshold,
                            int featureMethod);
  void releaseImages();
  // Writes "pano_Mean.png" and "pano_Median.png" (those that hold data) into
  // the working directory, each through a temporary file renamed into place.
  // Returns false, after a message on standard error, when a write failed.
  bool Save_PanoNew();
  // The temporary file Save_PanoNew writes name to before renaming it into
  // place (unique to this process), for signal handlers to remove.
  static std::string TemporaryNameFor(const std::string& name);

  // Frame-pair registration: Hij (previous onto current) and ban_ExisteH.
  void CalculateFeatureExtractionMatching(cv::Mat previous, cv::Mat current);

  // Key-frame insertion.
  void CreateAVLBinaryTree_Vlist_AdjustH(cv::Mat previous, cv::Mat current);
  void InsertToList(cv::Mat Hstep, cv::Mat current);
  // Frees the chain records of the latest key frame before it is replaced.
  void ReleaseChain();

  // Tree walks.
  void queue(_QueuePointers* q, _treeNode* node);
  _treeNode* dequeue(_QueuePointers* q);
  void push(_StackPointers* s, _treeNode* node);
  _treeNode* pop(_StackPointers* s);
  _treeNode* find(_treeNode* root, int32_t id);
  int32_t height(_treeNode* node);
  int32_t diff(_treeNode* node);
  _treeNode* LCA(_treeNode* root, _treeNode* a, _treeNode* b);
  // The same node as LCA(Root_AVL, a, b) for two nodes of the tree, found by
  // climbing parent pointers: O(depth) instead of a walk of the whole tree.
  _treeNode* LCAByParents(_treeNode* a, _treeNode* b);
  // Product of the links from B up to its ancestor A: maps A's image onto B's.
  cv::Mat calculateHomBToA(_treeNode* B, _treeNode* A);
  _treeNode* CalculateLeftMostLeaf(_treeNode* node);
  _treeNode* CalculateRightMostLeaf(_treeNode* node);

  // Balanced insertion with homography rewiring.
  _treeNode* insert(_treeNode* r, cv::Mat frame);
  _treeNode* rr_rotation(_treeNode* a);
  _treeNode* ll_rotation(_treeNode* a);
  _treeNode* lr_rotation(_treeNode* a);
  _treeNode* rl_rotation(_treeNode* a);
  _treeNode* balance(_treeNode* n);
  _treeNode* ALLbalance(_treeNode* n);
  void VerifyH(_treeNode** childSlot, _treeNode** parentSlot);
  // H maps the new frame onto the node's image; sets Movement_LR.
  void CalculateMovement_LRUD(cv::Mat H, int width, int height);

  // Overlap percentage (delegates to geometry/).
  float CalculateOverlapPercentage(cv::Mat H, int width, int height);
  geometry::OverlapPolygon setPolygon(std::vector<geometry::OverlapPoint> ring);
  float getUnionArea(geometry::OverlapPolygon a, geometry::OverlapPolygon b);
  float getIntersectionArea(geometry::OverlapPolygon a, geometry::OverlapPolygon b);
  float getPercentage(float unionArea, float intersectionArea);

  // Correspondence validation against Node_Reference (delegates to geometry/).
  void ValidateCorrespondences_NCC(std::vector<cv::Point2f>* outKey,
                                   std::vector<cv::Point2f>* outCur, cv::Mat H,
                                   cv::Mat keyImage, cv::Mat curImage);
  void ValidateCorrespondencesKeyPoints_NCC(std::vector<cv::KeyPoint>* outKey,
                                            std::vector<cv::KeyPoint>* outCur, cv::Mat H,
                                            cv::Mat keyImage, cv::Mat curImage);

  // Reference choice and composition.
  // Maps from's image onto to's image, through their lowest common ancestor.
  cv::Mat HomographyBetween(_treeNode* from, _treeNode* to);
  void CalculateCenteredPanorama(int withMedian);
  float CalculateReprojectionDistance_node2node_nn(_treeNode* end, _treeNode* node, int k,
                                                   int direction);
  _treeNode* ProcessPanorama_AVL_HNodeToRoot(_treeNode* node, _treeNode* reference,
                                             int started);
  _treeNode* ProcessPanorama_AVL_HNodeToRoot_Vect_FPanos(_treeNode* node,
                                                         _treeNode* reference, int started);
};
