// Registering a frame so that it can be undone, and inserting a key frame
// against any key frame of the tree: what passing over bad frames needs.
#include <opencv2/core.hpp>
#include <optional>

#include "geometry/homography_mapping.hpp"
#include "panorama/panorama.hpp"

struct Panorama::FrameAttemptState {
  std::optional<std::vector<cv::Point2f>> cornersI, cornersJ;
  std::vector<cv::KeyPoint> siftI, siftJ;
  cv::Mat descriptorI, descriptorJ;
  cv::Mat Hij, invHij;
  int banExisteH = 0;
  size_t vectH = 0;
  int numVectH = 0;
  size_t chain = 0;
  _treeNode* current = nullptr;
  _treeNode* reference = nullptr;
  _treeNode* inserted = nullptr;
  int banInsert = 1;
};

namespace {

std::optional<std::vector<cv::Point2f>> CopyOf(const std::vector<cv::Point2f>* corners) {
  if (corners == nullptr)
    return std::nullopt;
  return *corners;
}

void Put(std::unique_ptr<std::vector<cv::Point2f>>& slot,
         const std::optional<std::vector<cv::Point2f>>& corners) {
  if (corners) {
    slot = std::make_unique<std::vector<cv::Point2f>>(*corners);
  } else {
    slot.reset();
  }
}

}  // namespace

std::shared_ptr<Panorama::FrameAttemptState> Panorama::SaveAttemptState() const {
  auto s = std::make_shared<FrameAttemptState>();
  s->cornersI = CopyOf(featureMatching.Corners_i.get());
  s->cornersJ = CopyOf(featureMatching.Corners_j.get());
  s->siftI = featureMatching.SIFT_Features_i;
  s->siftJ = featureMatching.SIFT_Features_j;
  s->descriptorI = featureMatching.SIFT_Descriptor_i;
  s->descriptorJ = featureMatching.SIFT_Descriptor_j;
  s->Hij = cameraMotion.Hij.clone();
  s->invHij = cameraMotion.invHij.clone();
  s->banExisteH = cameraMotion.ban_ExisteH;
  s->vectH = Vect_H.size();
  s->numVectH = num_VectH;
  s->chain = ownedChain.size();
  s->current = Node_Current;
  s->reference = Node_Reference;
  s->inserted = Node_Inserted;
  s->banInsert = ban_insert;
  return s;
}

void Panorama::RestoreAttemptState(const FrameAttemptState& s) {
  Put(featureMatching.Corners_i, s.cornersI);
  Put(featureMatching.Corners_j, s.cornersJ);
  featureMatching.SIFT_Features_i = s.siftI;
  featureMatching.SIFT_Features_j = s.siftJ;
  featureMatching.SIFT_Descriptor_i = s.descriptorI;
  featureMatching.SIFT_Descriptor_j = s.descriptorJ;
  cameraMotion.Hij = s.Hij.clone();
  cameraMotion.invHij = s.invHij.clone();
  cameraMotion.ban_ExisteH = s.banExisteH;
  Vect_H.resize(s.vectH);
  num_VectH = s.numVectH;
  // Only chain records added since the save are dropped; the tree itself is
  // never changed by a frame that failed (a refused key frame leaves it).
  CV_Assert(ownedChain.size() >= s.chain);
  ownedChain.resize(s.chain);
  Node_Current = s.current;
  Node_Reference = s.reference;
  Node_Inserted = s.inserted;
  if (s.reference == nullptr && Root_AVL != nullptr) {
    // The attempt made the previous frame the root: that frame was good.
    Node_Reference = Node_Current = Node_Inserted = Root_AVL;
  }
  if (Node_Current != nullptr)
    Node_Current->next_List = nullptr;
  ban_insert = s.banInsert;
  keyFrameRegistrationFailed = false;
}

bool Panorama::RegisterPair(cv::Mat previous, cv::Mat current, float overlapThreshold,
                            int featureMethod) {
  CV_Assert(!previous.empty() && !current.empty());
  imageW = previous.cols;
  imageH = previous.rows;
  Threshold_Overlap = overlapThreshold;
  Id_Features = featureMethod;
  CalculateFeatureExtractionMatching(previous, current);
  return cameraMotion.getban_ExisteH() != 0;
}

void Panorama::SetPairRegistration(const cv::Mat& H, const cv::Mat& previous,
                                   const cv::Mat& current) {
  CV_Assert(IsHomography(H));
  if (Id_Features == kCornerFeatures) {
    // The previous frame's corners, and where H puts them: the key-frame
    // step refines such guesses by correlation and tracking.
    std::vector<cv::Point2f> corners =
        featureMatching.Corners_j
            ? *featureMatching.Corners_j
            : featureExtraction.goodFeaturesToTrack(previous, Id_ScaleProcess, imageW, imageH);
    std::vector<cv::Point2f> moved;
    if (!corners.empty())
      cv::perspectiveTransform(corners, moved, H);
    featureMatching.setCorners_i(corners);
    featureMatching.setCorners_j(moved);
  } else if (Id_Features == kSiftFeatures) {
    cv::Mat descriptors;
    featureMatching.setSIFT_Features_j(
        featureExtraction.SIFTFeaturesAndDescriptor(current, &descriptors));
    featureMatching.setSIFT_Descriptor_j(descriptors);
  }
  cameraMotion.setHomography(H);
  cameraMotion.ban_ExisteH = 1;
}

bool Panorama::InsertKeyFrameAt(_treeNode* K, const cv::Mat& H_KToFrame, const cv::Mat& frame) {
  CV_Assert(K != nullptr && Root_AVL != nullptr && !Vect_Nodes.empty() && IsHomography(H_KToFrame));
  _treeNode* const latest = Vect_Nodes.back();
  // Entry k - 1 of Vect_H maps key frame k onto k + 1, whoever K is.
  Vect_H.push_back(latest == K ? H_KToFrame.clone()
                               : cv::Mat(H_KToFrame * HomographyBetween(latest, K)));
  ++num_VectH;
  cv::Mat rootToFrame = H_KToFrame.clone();
  for (_treeNode* node = K; node->parent != nullptr; node = node->parent)
    rootToFrame = rootToFrame * (*node->H_ParentToNode);
  cameraMotion.setHomography(rootToFrame);
  cameraMotion.InverseHomography_Hij();
  CalculateMovement_LRUD(cameraMotion.getInverseHomography(), imageW, imageH);
  if (Id_Features == kSiftFeatures) {
    cv::Mat descriptors;
    featureMatching.setSIFT_Features_j(
        featureExtraction.SIFTFeaturesAndDescriptor(frame, &descriptors));
    featureMatching.setSIFT_Descriptor_j(descriptors);
  }
  ban_insert = 0;
  insert(Root_AVL, frame);
  if (ban_insert == 0) {
    Vect_H.pop_back();
    --num_VectH;
    return false;
  }
  ReleaseChain();
  latest->Corners.reset();
  latest->SIFT_Features.reset();
  Node_Reference = Node_Current = Node_Inserted;
  frameStore.Release();
  Root_AVL = ALLbalance(Root_AVL);
  return true;
}
