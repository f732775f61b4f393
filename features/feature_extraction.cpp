#include "features/feature_extraction.hpp"

#include <algorithm>
#include <map>
#include <opencv2/imgproc.hpp>
#include <tuple>

#include "features/corner_detection.hpp"

namespace {

// Shi-Tomasi corner detection.
constexpr int kMaxCorners = 5000;
constexpr double kCornerQualityLevel = 0.001;  // fraction of the strongest corner's measure
constexpr double kCornerMinDistancePx = 5.0;
constexpr int kCornerBlockSizePx = 5;
constexpr bool kUseHarrisDetector = false;  // minimum-eigenvalue measure
constexpr double kHarrisK = 0.04;

// SIFT detector: no feature limit, 5 layers per octave, a low contrast
// threshold and a sharp base image, so that small video frames still give
// many keypoints.
constexpr int kSiftMaxFeatures = 0;  // 0: no limit
constexpr int kSiftOctaveLayers = 5;
constexpr double kSiftContrastThreshold = 0.01;
constexpr double kSiftEdgeThreshold = 10.0;
constexpr double kSiftBaseSigma = 1.0;  // pixels

// Below this side the detector's pyramid has no octave and OpenCV throws
// (std::length_error): such a frame has no SIFT features, as a featureless
// frame has none.
constexpr int kSiftMinSidePx = 3;

bool TooSmallForSift(const cv::Mat& frame) {
  return std::min(frame.cols, frame.rows) < kSiftMinSidePx;
}

cv::Ptr<cv::Feature2D> CreateSiftDetector() {
  return cv::SIFT::create(kSiftMaxFeatures, kSiftOctaveLayers, kSiftContrastThreshold,
                          kSiftEdgeThreshold, kSiftBaseSigma);
}

// A descriptor depends on the keypoint's fields and the scale space alone.
auto Fields(const cv::KeyPoint& k) {
  return std::make_tuple(k.pt.x, k.pt.y, k.size, k.angle, k.response, k.octave, k.class_id);
}
using KeypointFields = decltype(Fields(cv::KeyPoint()));

// The detection builds its scale space from the upsampled first octave; a
// description does so only when one of its keypoints lies there.
bool InFirstOctave(const cv::KeyPoint& k) {
  return (k.octave & 255) == 255;  // octave -1 in the low byte
}

}  // namespace

std::vector<cv::Point2f> FeatureExtraction::goodFeaturesToTrack(cv::Mat frame, int /*colourMode*/,
                                                                int width, int height) {
  CV_Assert(!frame.empty() && frame.depth() == CV_8U &&
            (frame.channels() == 3 || frame.channels() == 1));
  if (const OfferedFeatures* offered = OfferFor(frame); offered && offered->hasCorners)
    return offered->corners;
  Image_Gray.create(height, width, CV_8UC1);
  qualityLevel = kCornerQualityLevel;
  minDistance = kCornerMinDistancePx;
  blockSize = kCornerBlockSizePx;
  useHarrisDetector = kUseHarrisDetector;
  k = kHarrisK;
  // Frames are three-channel BGR (colour mode 1); a grey frame is taken as it
  // is. The conversion sizes Image_Gray to the frame itself.
  if (frame.channels() == 3) {
    cv::cvtColor(frame, Image_Gray, cv::COLOR_BGR2GRAY);
  } else {
    frame.copyTo(Image_Gray);
  }
  // cv::goodFeaturesToTrack's corners, found faster.
  static_assert(!kUseHarrisDetector, "the exact detector measures the minimum eigenvalue");
  std::vector<cv::Point2f> found =
      corners::GoodFeaturesToTrack(Image_Gray, kMaxCorners, qualityLevel, minDistance, blockSize);
  Image_Gray.release();
  return found;
}

std::vector<cv::KeyPoint> FeatureExtraction::SIFTFeatures(cv::Mat frame) {
  SIFT_Detector = CreateSiftDetector();
  std::vector<cv::KeyPoint> keypoints;
  if (TooSmallForSift(frame))
    return keypoints;
  SIFT_Detector->detect(frame, keypoints, cv::noArray());
  return keypoints;
}

cv::Mat FeatureExtraction::SIFTDescriptor(std::vector<cv::KeyPoint> keypoints, cv::Mat frame) {
  // Description normally follows a detection; without one, a detector with
  // the same parameters describes just as well.
  if (SIFT_Detector.empty())
    SIFT_Detector = CreateSiftDetector();
  cv::Mat descriptors;
  if (TooSmallForSift(frame))
    return descriptors;
  SIFT_Detector->compute(frame, keypoints, descriptors);
  return descriptors;
}

cv::Mat FeatureExtraction::SIFTDescriptorOfDetected(const std::vector<cv::KeyPoint>& keypoints,
                                                    const cv::Mat& frame,
                                                    const std::vector<cv::KeyPoint>& detected,
                                                    const cv::Mat& detectedDescriptors) {
  const bool usable = !keypoints.empty() && !TooSmallForSift(frame) &&
                      detectedDescriptors.type() == CV_32F &&
                      detectedDescriptors.rows == static_cast<int>(detected.size()) &&
                      std::any_of(keypoints.begin(), keypoints.end(), InFirstOctave);
  if (!usable)
    return SIFTDescriptor(keypoints, frame);
  std::map<KeypointFields, int> rowOf;
  for (size_t r = 0; r < detected.size(); ++r)
    rowOf.emplace(Fields(detected[r]), static_cast<int>(r));
  cv::Mat descriptors(static_cast<int>(keypoints.size()), detectedDescriptors.cols, CV_32F);
  for (size_t k = 0; k < keypoints.size(); ++k) {
    const auto found = rowOf.find(Fields(keypoints[k]));
    if (found == rowOf.end())
      return SIFTDescriptor(keypoints, frame);
    detectedDescriptors.row(found->second).copyTo(descriptors.row(static_cast<int>(k)));
  }
  return descriptors;
}

std::vector<cv::KeyPoint> FeatureExtraction::SIFTFeaturesAndDescriptor(cv::Mat frame,
                                                                       cv::Mat* descriptors) {
  CV_Assert(descriptors != nullptr);
  SIFT_Detector = CreateSiftDetector();
  if (const OfferedFeatures* offered = OfferFor(frame); offered && offered->hasSift) {
    *descriptors = offered->descriptors.clone();
    return offered->keypoints;
  }
  std::vector<cv::KeyPoint> keypoints;
  if (TooSmallForSift(frame)) {
    descriptors->release();
    return keypoints;
  }
  SIFT_Detector->detectAndCompute(frame, cv::noArray(), keypoints, *descriptors, false);
  return keypoints;
}

void FeatureExtraction::Offer(OfferedFeatures offered) {
  constexpr std::size_t kOffersKept = 2;  // the previous and the current frame
  offers_.push_back(std::move(offered));
  while (offers_.size() > kOffersKept)
    offers_.pop_front();
}

const OfferedFeatures* FeatureExtraction::OfferFor(const cv::Mat& frame) const {
  for (const OfferedFeatures& offered : offers_) {
    const cv::Mat& f = offered.frame;
    if (f.data == frame.data && f.size == frame.size && f.type() == frame.type() &&
        f.step == frame.step) {
      return &offered;
    }
  }
  return nullptr;
}
