// The central state of a run: configuration, the frame tree with its chains,
// the scratch homographies shared by the tree operations, and the composed
// panoramas. One instance lives for the whole run.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <opencv2/core.hpp>
#include <set>
#include <string>
#include <vector>

#include "composition/composition.hpp"
#include "features/camera_motion_estimation.hpp"
#include "features/feature_extraction.hpp"
#include "features/feature_matching.hpp"
#include "geometry/overlap.hpp"
#include "io/operator.hpp"
#include "panorama/frame_store.hpp"
#include "panorama/refinement.hpp"
#include "panorama/tree_node.hpp"

// H_Small, a map between frames scaled from full to small, as the same map
// between the full-resolution frames.
cv::Mat ScaleConjugate(const cv::Mat& H_Small, cv::Size small, cv::Size full);

class Panorama {
 public:
  // Feature methods (Id_Features): corners tracked by pyramidal LK, or SIFT.
  static constexpr int kCornerFeatures = 0;
  static constexpr int kSiftFeatures = 1;
  // Registration modes (Id_HomographyEstimation).
  static constexpr int kAutomaticRegistration = 0;
  static constexpr int kInteractiveRegistration = 1;

  int Id_Database = 2;              // handed to the frame source, unused there
  int Id_ScaleProcess = 1;          // 1: every stored frame is 8-bit three-channel
  int Id_Warping = 1;               // warping mode of the composition
  float Alpha_Blending = 0.5f;      // preview blend weight
  int Id_Features = 0;              // kCornerFeatures or kSiftFeatures
  int Id_HomographyEstimation = 0;  // kAutomaticRegistration or kInteractiveRegistration
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
  cv::Mat pano_Median;  // saved as "pano_Median.png"
  cv::Mat pano_Blend;   // saved as "pano_Blend.png" (ComposeBlendedPanorama)
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
  // The reference key frame chosen by the last composition (null before).
  _treeNode* Node_PanoReference = nullptr;

  // Messages, key waits and the interactive windows of the run go to op
  // (which must outlive the panorama); without one the panorama is silent
  // and never waits.
  Panorama();
  explicit Panorama(io::Operator& op);
  ~Panorama();
  void setOperator(io::Operator& op);
  Panorama(const Panorama&) = delete;
  Panorama& operator=(const Panorama&) = delete;

  int getId_Database() const { return Id_Database; }
  int getId_ScaleProcess() const { return Id_ScaleProcess; }
  int getban_insert() const { return ban_insert; }

  // Every tree node is owned by the panorama for the whole run; a node built
  // outside (a tree assembled by hand) is handed over here. Returns it.
  _treeNode* AdoptNode(std::unique_ptr<_treeNode> node);
  const std::vector<std::unique_ptr<_treeNode>>& getOwnedNodes() const { return ownedNodes; }
  // True when the last composition left key frame id out of the mean (the
  // canvas bound); the median omits it too.
  bool SkippedByCanvas(int32_t id) const { return canvasSkippedIds.count(id) != 0; }

  // Per frame pair: registration, then the chain / key-frame decision.
  void ProcessTwoImages_AVL(cv::Mat previous, cv::Mat current, float overlapThreshold,
                            int featureMethod);
  void releaseImages();
  // Writes "pano_Mean.png", "pano_Median.png" and "pano_Blend.png" (those that hold data) into
  // directory (empty: the working directory), each replaced at once or not
  // at all (io/output_file.hpp), and adds the paths written to written.
  // Returns false, after a message on standard error, when a write failed.
  // A suffix goes before ".png" ("_2": "pano_Mean_2.png").
  bool Save_PanoNew(const std::string& directory = std::string(),
                    std::vector<std::string>* written = nullptr,
                    const std::string& suffix = std::string());
  // Each non-empty mosaic (mean, median, blend) written by write as
  // directory/pano_<Kind><ending>; the paths written are added to written
  // (when given). False after a message when one could not be written.
  using MosaicWriter =
      std::function<bool(const std::string& path, const cv::Mat& image, std::string* error)>;
  bool SaveMosaics(const std::string& directory, const std::string& ending,
                   const MosaicWriter& write, std::vector<std::string>* written);

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
                                   std::vector<cv::Point2f>* outCur, cv::Mat H, cv::Mat keyImage,
                                   cv::Mat curImage);
  void ValidateCorrespondencesKeyPoints_NCC(std::vector<cv::KeyPoint>* outKey,
                                            std::vector<cv::KeyPoint>* outCur, cv::Mat H,
                                            cv::Mat keyImage, cv::Mat curImage);

  // Passing over bad frames (--keep-going). What registering one frame may
  // change, so that a frame found bad leaves the tree and the next pair's
  // features as they were (panorama/frame_attempt.cpp).
  struct FrameAttemptState;
  std::shared_ptr<FrameAttemptState> SaveAttemptState() const;
  void RestoreAttemptState(const FrameAttemptState& state);
  // With strictKeyFrames, a key frame whose direct registration against the
  // last key frame fails is not inserted (keyFrameRegistrationFailed tells)
  // instead of being placed by the chain's estimate.
  bool strictKeyFrames = false;
  bool keyFrameRegistrationFailed = false;
  // The first half of ProcessTwoImages_AVL: registers current against
  // previous; true when a homography was found (cameraMotion holds it).
  bool RegisterPair(cv::Mat previous, cv::Mat current, float overlapThreshold, int featureMethod);
  // Takes H (previous frame's pixels onto current's, found another way) as
  // the pair's registration, with the features the next steps expect.
  void SetPairRegistration(const cv::Mat& H, const cv::Mat& previous, const cv::Mat& current);
  // Inserts frame as a new key frame placed by H_KToFrame (K's pixels onto
  // the frame's), K any key frame of the tree. False, with nothing changed,
  // when the tree refuses it.
  bool InsertKeyFrameAt(_treeNode* K, const cv::Mat& H_KToFrame, const cv::Mat& frame);

  // Ends registration on frames scaled down: key frame id k takes
  // fullFrames[k - 1] (kept in the frame store, all of one size) as its
  // image, and every link of the tree is carried over to its pixels, so that
  // what follows (reference, refinement, composition) works at full
  // resolution. No frame may be registered after it.
  void UseFullResolutionKeyFrames(const std::vector<cv::Mat>& fullFrames);

  // Reference choice and composition.
  // Maps from's image onto to's image, through their lowest common ancestor.
  cv::Mat HomographyBetween(_treeNode* from, _treeNode* to);
  // ChooseReference, then ComposeCentredPanorama.
  void CalculateCenteredPanorama(int withMedian);
  // Scores every key frame, prints the node count, the tree root and the
  // choice, and sets Node_PanoReference. An empty tree prints
  // "\nBinary Tree empty..." and gives null.
  _treeNode* ChooseReference();
  // The mean (and, with withMedian non-zero, the median) in the plane of
  // Node_PanoReference, each key frame placed by its tree path.
  void ComposeCentredPanorama(int withMedian);
  // The same with the key frames placed as given (onto the plane of
  // Node_PanoReference); a key frame missing from placements follows its
  // tree path. The placements composed are kept (ComposedPlacements).
  void ComposeCentredPanorama(int withMedian, const Placements& placements);

  // The mean composed one canvas tile (tileSize pixels a side) at a time,
  // never held whole (composition/tiled_mean.hpp): open is told the canvas
  // size, then put receives each tile's region, mean and coverage, row by
  // row. pano stays empty; CanvasSize() and the canvas origin tell the canvas.
  // False as soon as open or put fails.
  bool ComposeMeanInTiles(
      const Placements& placements, int tileSize, const std::function<bool(cv::Size)>& open,
      const std::function<bool(const cv::Rect&, const cv::Mat&, const cv::Mat&)>& put);
  // The canvas of the last composition, whole or in tiles (empty before).
  cv::Size CanvasSize() const { return pano.empty() ? tiledCanvas : pano.size(); }

  // After the composition: the same key frames, placed as the mean placed
  // them, corrected for vignetting and exposure, cut along seams and
  // multi-band blended on the mean's canvas, into pano_Blend (left empty
  // when nothing was composed).
  void ComposeBlendedPanorama();
  // The same with the key frames placed as given (those the mean left out
  // stay out).
  void ComposeBlendedPanorama(const Placements& placements);

  // The key frames in the order the mean adds them: the reference, the tree
  // root (unless it is the reference), then depth first from the root, each
  // child before its own descendants, left before right.
  std::vector<_treeNode*> KeyFramesInWalkOrder(_treeNode* reference);

  // A key frame as the composition places it (panorama/refinement.hpp).
  using PlacedKeyFrame = ::PlacedKeyFrame;
  // Every key frame in composition order (the reference first), placed by
  // its tree path. Needs a chosen reference.
  Placements TreePlacements();
  // The same, placed as the last composition placed them (FrameToReference).
  Placements PlacedKeyFrames();
  // Maps node's pixels onto the reference plane as the last composition did:
  // the placement it was given, else the tree's path.
  cv::Mat FrameToReference(_treeNode* node);
  // RefinePlacements with the pages of spilled key frames released between
  // batches of pairs. The reference (first) stays fixed.
  Placements RefineKeyFrames(const Placements& placements, const RefinementSettings& settings,
                             RefinementResult* result);
  float CalculateReprojectionDistance_node2node_nn(_treeNode* end, _treeNode* node, int k,
                                                   int direction);
  _treeNode* ProcessPanorama_AVL_HNodeToRoot(_treeNode* node, _treeNode* reference, int started);
  _treeNode* ProcessPanorama_AVL_HNodeToRoot_Vect_FPanos(_treeNode* node, _treeNode* reference,
                                                         int started);

 private:
  io::Operator* operator_;
  // Ownership of every record: tree nodes for the whole run; the chain
  // records of the latest key frame only (older chains are never read again).
  std::vector<std::unique_ptr<_treeNode>> ownedNodes;
  std::vector<std::unique_ptr<_treeNode>> ownedChain;
  std::set<int32_t> canvasSkippedIds;
  cv::Size tiledCanvas;  // set by ComposeMeanInTiles
  // The placements the last composition was given, by key-frame id (empty:
  // every key frame followed its tree path).
  std::map<int32_t, cv::Mat> composedFrameToRef;
  void ComposeWith(int withMedian, std::map<int32_t, cv::Mat> frameToRef);
  const cv::Mat* ComposedPlacement(int32_t id) const;
  Placements Place(bool asComposed);
};
