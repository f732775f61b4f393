#include "features/feature_matching.hpp"

#include <cmath>
#include <opencv2/video/tracking.hpp>

#include "features/exact_knn.hpp"
#include "features/feature_extraction.hpp"
#include "features/lk_tracker.hpp"
#include "geometry/homography_mapping.hpp"

namespace {

// Pyramidal Lucas-Kanade tracking.
constexpr int kMinCornersToTrack = 8;
const cv::Size kTrackingWindowPx(21, 21);
constexpr int kTrackingMaxPyramidLevel = 5;
constexpr int kTrackingMaxIterations = 30;
constexpr double kTrackingMinStepPx = 0.3;
constexpr double kTrackingMinEigenvalue = 0.0001;
// Largest tracker error (mean absolute patch difference) a corner may have.
constexpr float kMaxTrackingError = 550.0f;

// A correspondence list needs more pairs than this to be handed on.
constexpr int kMaxRejectedPairCount = 3;

// SIFT matching: two nearest neighbours and Lowe's distance ratio.
constexpr int kNeighboursPerQuery = 2;
constexpr double kMaxDistanceRatio = 0.6;

// Runs the tracker on the frames as given (three channels, no grey
// conversion). With initialFlow, next holds the starting guesses on entry.
// The tracker gives cv::calcOpticalFlowPyrLK's results bit for bit.
void TrackPyramidal(lk::Tracker* tracker, const cv::Mat& frame_i, const cv::Mat& frame_j,
                    const std::vector<cv::Point2f>& points, std::vector<cv::Point2f>* next,
                    bool initialFlow, std::vector<unsigned char>* status, std::vector<float>* err) {
  const cv::TermCriteria criteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS,
                                  kTrackingMaxIterations, kTrackingMinStepPx);
  tracker->Track(frame_i, frame_j, points, next, status, err, kTrackingWindowPx,
                 kTrackingMaxPyramidLevel, criteria, initialFlow ? cv::OPTFLOW_USE_INITIAL_FLOW : 0,
                 kTrackingMinEigenvalue);
}

// The matcher needs two non-empty float matrices of the same width; anything
// else would throw inside OpenCV.
bool DescriptorsMatchable(const cv::Mat& query, const cv::Mat& train) {
  return !query.empty() && !train.empty() && query.dims == 2 && train.dims == 2 &&
         query.type() == CV_32F && train.type() == CV_32F && query.cols == train.cols;
}

// Strict: a nearest distance of exactly 0.6 times the second fails.
bool PassesRatioTest(float nearest, float second) {
  return kMaxDistanceRatio * static_cast<double>(second) > static_cast<double>(nearest);
}

bool IndexIn(int index, size_t size) {
  return index >= 0 && static_cast<size_t>(index) < size;
}

}  // namespace

float Variance_vector_float(const std::vector<float>& values, float mean) {
  if (values.empty())
    return 0.0f;
  float sum = 0.0f;
  for (float v : values) {
    const float d = v - mean;
    sum += d * d;
  }
  return sum / static_cast<float>(values.size());
}

std::vector<int> SelectTrackedCorners(const std::vector<cv::Point2f>& from,
                                      const std::vector<cv::Point2f>& to,
                                      const std::vector<unsigned char>& status,
                                      const std::vector<float>& err) {
  CV_Assert(to.size() == from.size() && status.size() == from.size() && err.size() == from.size());
  // First filter: the tracker's verdict and error.
  std::vector<int> passed;
  std::vector<float> distances;
  float sum = 0.0f;
  for (size_t k = 0; k < from.size(); ++k) {
    if (status[k] == 0 || err[k] > kMaxTrackingError)
      continue;
    const float d = EuclidianDistance(from[k].x, from[k].y, to[k].x, to[k].y);
    sum += d;
    distances.push_back(d);
    passed.push_back(static_cast<int>(k));
  }
  if (passed.empty())
    return passed;

  // Second filter: displacements above mean + one standard deviation are
  // taken for tracking failures (a camera motion moves all corners alike).
  const float mean = sum / static_cast<float>(passed.size());
  const float variance = Variance_vector_float(distances, mean);
  const float limit =
      static_cast<float>(static_cast<double>(mean) + std::sqrt(static_cast<double>(variance)));
  size_t kept = 0;
  for (size_t m = 0; m < passed.size(); ++m) {
    if (distances[m] <= limit)
      passed[kept++] = passed[m];
  }
  passed.resize(kept);
  return passed;
}

void CollectCorrespondences(const std::vector<cv::Point2f>& from,
                            const std::vector<cv::Point2f>& to, const std::vector<int>& selected,
                            std::vector<cv::Point2f>* out_i, std::vector<cv::Point2f>* out_j) {
  out_i->clear();
  out_j->clear();
  if (static_cast<int>(selected.size()) <= kMaxRejectedPairCount)
    return;
  out_i->reserve(selected.size());
  out_j->reserve(selected.size());
  for (int k : selected) {
    out_i->push_back(from[static_cast<size_t>(k)]);
    out_j->push_back(to[static_cast<size_t>(k)]);
  }
}

FeatureMatching::FeatureMatching() : BF_Matcher(cv::NORM_L2, false) {}

void FeatureMatching::goodFeaturesToTrackMatching(cv::Mat frame_i, cv::Mat frame_j,
                                                  int /*colourMode*/, int /*width*/,
                                                  int /*height*/) {
  Cpoints_i.clear();
  Cpoints_j.clear();
  num_Corners = Corners_i ? static_cast<int>(Corners_i->size()) : 0;
  num_GoodCorners = 0;
  if (num_Corners < kMinCornersToTrack)
    return;  // Corners_j keeps its contents

  std::vector<cv::Point2f> next;
  TrackPyramidal(&LK_Tracker, frame_i, frame_j, *Corners_i, &next, false, &status, &err);
  Idx_Good = SelectTrackedCorners(*Corners_i, next, status, err);
  num_GoodCorners = static_cast<int>(Idx_Good.size());
  CollectCorrespondences(*Corners_i, next, Idx_Good, &Cpoints_i, &Cpoints_j);
  Idx_Good.clear();
  // Every tracked position, dropped ones included: the next pair starts here.
  Corners_j = std::make_unique<std::vector<cv::Point2f>>(std::move(next));
}

void FeatureMatching::goodFeaturesToTrackMatching(
    std::vector<cv::Point2f>* out_i, std::vector<cv::Point2f>* out_j,
    std::vector<cv::Point2f> points_i, std::vector<cv::Point2f> points_j, cv::Mat frame_i,
    cv::Mat frame_j, int /*colourMode*/, int /*width*/, int /*height*/) {
  CV_Assert(out_i != nullptr && out_j != nullptr && points_i.size() == points_j.size());
  out_i->clear();
  out_j->clear();
  num_Corners = static_cast<int>(points_i.size());
  num_GoodCorners = 0;
  if (num_Corners < kMinCornersToTrack)
    return;

  // points_j is our own copy of the guesses; the tracker refines it in place.
  TrackPyramidal(&LK_Tracker, frame_i, frame_j, points_i, &points_j, true, &status, &err);
  Idx_Good = SelectTrackedCorners(points_i, points_j, status, err);
  num_GoodCorners = static_cast<int>(Idx_Good.size());
  CollectCorrespondences(points_i, points_j, Idx_Good, out_i, out_j);
  Idx_Good.clear();
}

std::vector<cv::Point2f> FeatureMatching::getCorners_i() const {
  CV_Assert(Corners_i != nullptr);
  return *Corners_i;
}

std::vector<cv::Point2f> FeatureMatching::getCorners_j() const {
  CV_Assert(Corners_j != nullptr);
  return *Corners_j;
}

void FeatureMatching::setCorners_i(std::vector<cv::Point2f> corners) {
  Corners_i = std::make_unique<std::vector<cv::Point2f>>(std::move(corners));
}

void FeatureMatching::setCorners_j(std::vector<cv::Point2f> corners) {
  Corners_j = std::make_unique<std::vector<cv::Point2f>>(std::move(corners));
}

void FeatureMatching::SIFTFeaturesMatching() {
  Matches_knn.clear();
  Matches_Good.clear();
  if (DescriptorsMatchable(SIFT_Descriptor_i, SIFT_Descriptor_j)) {
    // The integer search gives the brute-force matcher's result bit for bit
    // (neighbours, their order, distances) when the descriptors are SIFT's
    // whole numbers; anything else goes to the matcher itself.
    if (exactknn::FastSearchApplies(SIFT_Descriptor_i, SIFT_Descriptor_j)) {
      exactknn::KnnMatch2(SIFT_Descriptor_i, SIFT_Descriptor_j, &Matches_knn);
    } else {
      BF_Matcher.knnMatch(SIFT_Descriptor_i, SIFT_Descriptor_j, Matches_knn, kNeighboursPerQuery,
                          cv::noArray(), false);
    }
  }
  for (const std::vector<cv::DMatch>& neighbours : Matches_knn) {
    // Fewer than two neighbours (image j has one descriptor): no ratio to test.
    if (neighbours.size() < static_cast<size_t>(kNeighboursPerQuery))
      continue;
    if (!PassesRatioTest(neighbours[0].distance, neighbours[1].distance))
      continue;
    // Keypoint lists shorter than their descriptor matrices give no position.
    if (!IndexIn(neighbours[0].queryIdx, SIFT_Features_i.size()) ||
        !IndexIn(neighbours[0].trainIdx, SIFT_Features_j.size())) {
      continue;
    }
    Matches_Good.push_back(neighbours);
  }
  num_GoodMatches = static_cast<int>(Matches_Good.size());

  Cpoints_i.clear();
  Cpoints_j.clear();
  if (num_GoodMatches > kMaxRejectedPairCount) {
    Cpoints_i.reserve(Matches_Good.size());
    Cpoints_j.reserve(Matches_Good.size());
    for (const std::vector<cv::DMatch>& good : Matches_Good) {
      const cv::DMatch& nearest = good[0];
      Cpoints_i.push_back(SIFT_Features_i[static_cast<size_t>(nearest.queryIdx)].pt);
      Cpoints_j.push_back(SIFT_Features_j[static_cast<size_t>(nearest.trainIdx)].pt);
    }
  }
  Matches_knn.clear();
  Matches_Good.clear();
  BF_Matcher.clear();
}
