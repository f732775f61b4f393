// Corner detection (Shi-Tomasi) and SIFT keypoints / descriptors.
#pragma once

#include <deque>
#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>
#include <vector>

// A frame's features worked out ahead of their use, exactly as the detection
// below would find them.
struct OfferedFeatures {
  cv::Mat frame;  // holds the pixels, so no other frame can take their place
  bool hasCorners = false;
  std::vector<cv::Point2f> corners;
  bool hasSift = false;
  std::vector<cv::KeyPoint> keypoints;
  cv::Mat descriptors;
};

class FeatureExtraction {
 public:
  cv::Mat Image_Gray;                    // scratch grey image of one detection
  double qualityLevel = 0.0;             // set to 0.001 at every detection
  double minDistance = 0.0;              // pixels, set to 5.0 at every detection
  int blockSize = 0;                     // set to 5 at every detection
  bool useHarrisDetector = false;        // minimum-eigenvalue measure
  double k = 0.0;                        // Harris parameter, set to 0.04
  cv::Ptr<cv::Feature2D> SIFT_Detector;  // object of the latest SIFT detection

  FeatureExtraction() = default;

  // At most 5000 corners of the frame (three-channel BGR in colour mode 1),
  // in the order the detector yields them.
  std::vector<cv::Point2f> goodFeaturesToTrack(cv::Mat frame, int colourMode, int width,
                                               int height);

  // Keypoints of the whole frame from a newly created SIFT object, which
  // replaces SIFT_Detector.
  std::vector<cv::KeyPoint> SIFTFeatures(cv::Mat frame);

  // Descriptors (CV_32F, one row per keypoint) of a copy of the keypoints,
  // computed by the latest detector (created if none exists yet).
  cv::Mat SIFTDescriptor(std::vector<cv::KeyPoint> keypoints, cv::Mat frame);

  // SIFTFeatures followed by SIFTDescriptor of the same frame, with one
  // scale space instead of two: the same keypoints and descriptors, bit for
  // bit. Sets *descriptors.
  std::vector<cv::KeyPoint> SIFTFeaturesAndDescriptor(cv::Mat frame, cv::Mat* descriptors);

  // SIFTDescriptor(keypoints, frame), taken from rows of detectedDescriptors
  // (the descriptors of `detected`, this frame's detection) when that is the
  // same: every keypoint is one of `detected`, and one lies in the first
  // (upsampled) octave, so the description would build the detection's scale
  // space. Otherwise described anew.
  cv::Mat SIFTDescriptorOfDetected(const std::vector<cv::KeyPoint>& keypoints, const cv::Mat& frame,
                                   const std::vector<cv::KeyPoint>& detected,
                                   const cv::Mat& detectedDescriptors);

  // Features of a frame found ahead: goodFeaturesToTrack and
  // SIFTFeaturesAndDescriptor on a frame sharing these pixels return them
  // instead of detecting again. The two latest offers are kept.
  void Offer(OfferedFeatures offered);

 private:
  const OfferedFeatures* OfferFor(const cv::Mat& frame) const;
  std::deque<OfferedFeatures> offers_;
};
