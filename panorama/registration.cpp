#include "panorama/panorama.hpp"

namespace {

// Corner path. The corners held for the previous frame (Corners_j of the last
// pair, or fresh corners set when that frame was recorded) start this pair;
// only at the very first pair are they detected here. Leaves Corners_j on the
// current frame for the next pair.
void TrackCornersOfPair(FeatureExtraction& extraction, FeatureMatching& matching,
                        const cv::Mat& previous, const cv::Mat& current, int colourMode, int width,
                        int height) {
  if (matching.getPointerCorners_j() == nullptr) {
    matching.setCorners_i(extraction.goodFeaturesToTrack(previous, colourMode, width, height));
  } else {
    matching.setCorners_i(matching.getCorners_j());
  }
  matching.goodFeaturesToTrackMatching(previous, current, colourMode, width, height);
}

// SIFT path. The current frame's keypoints and descriptors of the last pair
// are this pair's i side; only the current frame is described anew. Leaves
// the j side on the current frame for the next pair.
void MatchSiftOfPair(FeatureExtraction& extraction, FeatureMatching& matching,
                     const cv::Mat& previous, const cv::Mat& current) {
  cv::Mat descriptors;
  if (matching.getSIFT_Features_j().empty()) {
    matching.setSIFT_Features_i(extraction.SIFTFeaturesAndDescriptor(previous, &descriptors));
    matching.setSIFT_Descriptor_i(descriptors);
  } else {
    matching.setSIFT_Features_i(matching.getSIFT_Features_j());
    matching.setSIFT_Descriptor_i(matching.getSIFT_Descriptor_j());
  }
  matching.setSIFT_Features_j(extraction.SIFTFeaturesAndDescriptor(current, &descriptors));
  matching.setSIFT_Descriptor_j(descriptors);
  matching.SIFTFeaturesMatching();
}

}  // namespace

// Leaves in cameraMotion Hij, mapping previous-frame pixels onto current-frame
// pixels, and ban_ExisteH; featureMatching's j side then describes the current
// frame.
void Panorama::CalculateFeatureExtractionMatching(cv::Mat previous, cv::Mat current) {
  if (Id_HomographyEstimation == kInteractiveRegistration) {
    cameraMotion.HomographyEstimation_UserInteraction(previous, current, Id_ScaleProcess, imageW,
                                                      imageH);
    return;
  }
  if (Id_HomographyEstimation != kAutomaticRegistration)
    return;

  if (Id_Features == kCornerFeatures) {
    TrackCornersOfPair(featureExtraction, featureMatching, previous, current, Id_ScaleProcess,
                       imageW, imageH);
  } else if (Id_Features == kSiftFeatures) {
    MatchSiftOfPair(featureExtraction, featureMatching, previous, current);
  }
  // Any other method computes nothing: the lists keep what they held.
  cameraMotion.HomographyEstimation_DLT_RANSAC(featureMatching.getDirCpoints_i(),
                                               featureMatching.getDirCpoints_j(), imageW, imageH);
}
