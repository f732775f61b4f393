// Per frame: chain the frame behind the latest key frame while it still
// overlaps it enough, otherwise register it directly against the key frame
// and insert it into the tree as a new key frame.
#include <memory>

#include "geometry/homography_mapping.hpp"
#include "panorama/panorama.hpp"

void Panorama::CreateAVLBinaryTree_Vlist_AdjustH(cv::Mat previous, cv::Mat current) {
  if (cameraMotion.getban_ExisteH() == 0) {
    operator_->Out("\nNo existe Hij....");
    operator_->WaitForKey();
  }

  if (ban_RootCreated == 0) {
    ++num_Nodes;
    auto root = std::make_unique<_treeNode>();
    root->id = num_Nodes;
    root->image = std::make_unique<cv::Mat>(frameStore.Keep(previous));
    if (Id_Features == kCornerFeatures) {
      root->Corners = std::make_unique<std::vector<cv::Point2f>>(
          featureMatching.Corners_i ? *featureMatching.Corners_i : std::vector<cv::Point2f>());
    } else if (Id_Features == kSiftFeatures) {
      root->SIFT_Features =
          std::make_unique<std::vector<cv::KeyPoint>>(featureMatching.getSIFT_Features_i());
      root->SIFT_Descriptors = std::make_unique<cv::Mat>(featureMatching.getSIFT_Descriptor_i());
    }
    // Never read for the root; identity keeps the record deterministic.
    root->H_ParentToNode = std::make_unique<cv::Mat>(cv::Mat::eye(3, 3, CV_64F));
    ban_RootCreated = 1;
    Root_AVL = Node_Reference = Node_Current = root.get();
    Vect_Nodes.push_back(root.get());
    ownedNodes.push_back(std::move(root));
  }

  if (Node_Reference->id != num_Nodes) {
    ReleaseChain();
    Node_Reference = find(Root_AVL, num_Nodes);
    CV_Assert(Node_Reference != nullptr);
    Node_Current = Node_Reference;
  }

  // Chain homography H(K -> current): the newest step on the left.
  const cv::Mat Hstep = cameraMotion.getHomography().clone();
  cv::Mat Hchain = Hstep.clone();
  for (_treeNode* record = Node_Current; record->prev_List != nullptr; record = record->prev_List) {
    Hchain = Hchain * (*record->H_ParentToNode);
  }

  const float overlap = CalculateOverlapPercentage(InverseHomography(Hchain), imageW, imageH);
  // A NaN overlap is not above the threshold: the frame becomes a key frame.
  const bool chainFrame = overlap > Threshold_Overlap;
  if (chainFrame) {
    InsertToList(Hstep, current);
    return;
  }

  _treeNode* const K = Node_Reference;
  if (Id_Features == kCornerFeatures) {
    std::vector<cv::Point2f> keyPoints;
    std::vector<cv::Point2f> currentPoints;
    ValidateCorrespondences_NCC(&keyPoints, &currentPoints, Hchain, *K->image, current);
    featureMatching.setCorners_i(keyPoints);
    featureMatching.setCorners_j(currentPoints);
    featureMatching.goodFeaturesToTrackMatching(
        featureMatching.getDirCpoints_i(), featureMatching.getDirCpoints_j(),
        featureMatching.getCorners_i(), featureMatching.getCorners_j(), *K->image, current,
        Id_ScaleProcess, imageW, imageH);
  } else if (Id_Features == kSiftFeatures) {
    // The next frame pair must start from all features of the current frame.
    const std::vector<cv::KeyPoint> currentFeatures = featureMatching.getSIFT_Features_j();
    const cv::Mat currentDescriptors = featureMatching.getSIFT_Descriptor_j();
    std::vector<cv::KeyPoint> keyFeatures;
    std::vector<cv::KeyPoint> matchedFeatures;
    ValidateCorrespondencesKeyPoints_NCC(&keyFeatures, &matchedFeatures, Hchain, *K->image,
                                         current);
    featureMatching.setSIFT_Features_i(keyFeatures);
    featureMatching.setSIFT_Features_j(matchedFeatures);
    const std::vector<cv::KeyPoint> none;
    featureMatching.setSIFT_Descriptor_i(featureExtraction.SIFTDescriptorOfDetected(
        keyFeatures, *K->image, K->SIFT_Features ? *K->SIFT_Features : none,
        K->SIFT_Descriptors ? *K->SIFT_Descriptors : cv::Mat()));
    featureMatching.setSIFT_Descriptor_j(featureExtraction.SIFTDescriptorOfDetected(
        matchedFeatures, current, currentFeatures, currentDescriptors));
    featureMatching.SIFTFeaturesMatching();
    featureMatching.setSIFT_Features_j(currentFeatures);
    featureMatching.setSIFT_Descriptor_j(currentDescriptors);
  }

  cameraMotion.HomographyEstimation_DLT_RANSAC(featureMatching.getDirCpoints_i(),
                                               featureMatching.getDirCpoints_j(), imageW, imageH);
  keyFrameRegistrationFailed = cameraMotion.getban_ExisteH() == 0;
  if (keyFrameRegistrationFailed && strictKeyFrames)
    return;
  if (cameraMotion.getban_ExisteH() == 0)
    cameraMotion.setHomography(Hchain);

  Vect_H.push_back(cameraMotion.getHomography().clone());
  ++num_VectH;

  // H(root -> current) through the path from K up to the root.
  H_Accumulated = cameraMotion.getHomography().clone();
  for (_treeNode* node = K; node->parent != nullptr; node = node->parent) {
    H_Accumulated = H_Accumulated * (*node->H_ParentToNode);
  }
  cameraMotion.setHomography(H_Accumulated);
  cameraMotion.InverseHomography_Hij();
  CalculateMovement_LRUD(cameraMotion.getInverseHomography(), imageW, imageH);

  ban_insert = 0;
  insert(Root_AVL, current);
  if (ban_insert == 1)
    ReleaseChain();
  Node_Reference = Node_Inserted;
  Node_Current = Node_Inserted;

  if (ban_insert == 1) {
    // Only the newest key frame's features are matched again.
    K->Corners.reset();
    K->SIFT_Features.reset();
    K->SIFT_Descriptors.reset();
    frameStore.Release();
    Root_AVL = ALLbalance(Root_AVL);
  } else {
    operator_->Out(io::Format("\n\nAVL Node not inserted: %d", num_Nodes));
  }
}

void Panorama::InsertToList(cv::Mat Hstep, cv::Mat current) {
  auto record = std::make_unique<_treeNode>();
  record->prev_List = Node_Current;
  record->id = num_Nodes;
  record->H_ParentToNode = std::make_unique<cv::Mat>(Hstep.clone());
  if (Id_Features == kCornerFeatures) {
    featureMatching.setCorners_j(
        featureExtraction.goodFeaturesToTrack(current, Id_ScaleProcess, imageW, imageH));
  }
  Node_Current->next_List = record.get();
  Node_Current = record.get();
  ownedChain.push_back(std::move(record));
  ban_insert = 1;
}

void Panorama::ReleaseChain() {
  if (Node_Reference != nullptr)
    Node_Reference->next_List = nullptr;
  ownedChain.clear();
  Node_Current = Node_Reference;
}
