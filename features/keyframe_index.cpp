#include "features/keyframe_index.hpp"

#include <algorithm>
#include <opencv2/calib3d.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include "features/corner_detection.hpp"

namespace keyframes {
namespace {

// Lowe's ratio test on Hamming distances.
constexpr float kRatio = 0.8f;
constexpr double kRansacThresholdPx = 3.0;
// A retrieval vote: a query descriptor's nearest neighbour among all entries,
// within this Hamming distance (no ratio test: overlapping key frames hold
// the same scene points, so the two nearest are often equally good).
constexpr float kMaxVoteDistance = 40.0f;

// The ratio-tested matches of query rows into train rows.
std::vector<cv::DMatch> RatioMatches(const cv::Mat& query, const cv::Mat& train) {
  std::vector<cv::DMatch> kept;
  if (query.empty() || train.rows < 2)
    return kept;
  cv::BFMatcher matcher(cv::NORM_HAMMING);
  std::vector<std::vector<cv::DMatch>> knn;
  matcher.knnMatch(query, train, knn, 2);
  for (const auto& pair : knn) {
    if (pair.size() == 2 && pair[0].distance < kRatio * pair[1].distance)
      kept.push_back(pair[0]);
  }
  return kept;
}

cv::Mat Grey(const cv::Mat& frame) {
  if (frame.channels() != 3)
    return frame;
  cv::Mat grey;
  cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY);
  return grey;
}

}  // namespace

DescribedFrame Describe(const cv::Mat& frame) {
  CV_Assert(!frame.empty() && frame.depth() == CV_8U);
  const cv::Mat grey = Grey(frame);
  cv::Ptr<cv::ORB> orb = cv::ORB::create(kFeaturesPerFrame);
  std::vector<cv::KeyPoint> keypoints;
  DescribedFrame described;
  orb->detectAndCompute(grey, cv::noArray(), keypoints, described.descriptors);
  cv::KeyPoint::convert(keypoints, described.points);
  return described;
}

DescriptorMatch MatchDescribed(const DescribedFrame& a, const DescribedFrame& b) {
  DescriptorMatch result;
  const std::vector<cv::DMatch> matches = RatioMatches(a.descriptors, b.descriptors);
  if (static_cast<int>(matches.size()) < kMinInliers)
    return result;
  std::vector<cv::Point2f> from, to;
  for (const cv::DMatch& m : matches) {
    from.push_back(a.points[static_cast<size_t>(m.queryIdx)]);
    to.push_back(b.points[static_cast<size_t>(m.trainIdx)]);
  }
  std::vector<unsigned char> inlier;
  cv::Mat H = cv::findHomography(from, to, cv::RANSAC, kRansacThresholdPx, inlier, 2000, 0.995);
  const int inliers = cv::countNonZero(inlier);
  if (H.empty() || inliers < kMinInliers)
    return result;
  result.H = H;
  result.inliers = inliers;
  return result;
}

cv::Mat RefineByTracking(const cv::Mat& a, const cv::Mat& b, const cv::Mat& H) {
  constexpr int kCorners = 400;
  constexpr double kFitThresholdPx = 1.0;
  const cv::Mat greyA = Grey(a), greyB = Grey(b);
  constexpr int kBlockPx = 3;
  std::vector<cv::Point2f> from =
                               corners::GoodFeaturesToTrack(greyA, kCorners, 0.01, 8.0, kBlockPx),
                           guess;
  if (static_cast<int>(from.size()) < kMinInliers)
    return H;
  cv::perspectiveTransform(from, guess, H);
  std::vector<unsigned char> status;
  std::vector<float> error;
  cv::calcOpticalFlowPyrLK(
      greyA, greyB, from, guess, status, error, cv::Size(21, 21), 2,
      cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 30, 0.01),
      cv::OPTFLOW_USE_INITIAL_FLOW);
  std::vector<cv::Point2f> kept, to;
  for (size_t k = 0; k < from.size(); ++k) {
    const cv::Point2f p = guess[k];
    if (status[k] != 0 && p.x >= 0 && p.y >= 0 && p.x < b.cols && p.y < b.rows) {
      kept.push_back(from[k]);
      to.push_back(p);
    }
  }
  if (static_cast<int>(kept.size()) < kMinInliers)
    return H;
  std::vector<unsigned char> inlier;
  cv::Mat refined = cv::findHomography(kept, to, cv::RANSAC, kFitThresholdPx, inlier, 2000, 0.995);
  if (refined.empty() || cv::countNonZero(inlier) < kMinInliers)
    return H;
  return refined;
}

void KeyFrameIndex::Add(int segment, int32_t id, DescribedFrame described) {
  bytes_ += described.Bytes();
  entries_.push_back(Entry{segment, id, std::move(described)});
  while (bytes_ > capacity_ && entries_.size() > 1) {
    bytes_ -= entries_.front().described.Bytes();
    entries_.erase(entries_.begin());
  }
}

bool KeyFrameIndex::Contains(int segment, int32_t id) const {
  return std::any_of(entries_.begin(), entries_.end(),
                     [&](const Entry& e) { return e.segment == segment && e.id == id; });
}

void KeyFrameIndex::Relabel(int from, int to, const std::vector<std::pair<int32_t, int32_t>>& ids) {
  std::vector<Entry> kept;
  bytes_ = 0;
  for (Entry& e : entries_) {
    if (e.segment == from) {
      const auto it = std::find_if(ids.begin(), ids.end(),
                                   [&e](const auto& pair) { return pair.first == e.id; });
      if (it == ids.end())
        continue;  // a key frame the other segment did not take
      e.segment = to;
      e.id = it->second;
    }
    bytes_ += e.described.Bytes();
    kept.push_back(std::move(e));
  }
  entries_ = std::move(kept);
}

std::vector<KeyFrameIndex::Candidate> KeyFrameIndex::Lookup(const DescribedFrame& query,
                                                            size_t count, int minVotes) const {
  std::vector<Candidate> ranked;
  if (entries_.empty() || query.descriptors.empty())
    return ranked;
  // One nearest-neighbour search against every entry's descriptors at once:
  // each query descriptor votes for the entry of its match.
  std::vector<int> owner;
  std::vector<cv::Mat> rows;
  for (size_t e = 0; e < entries_.size(); ++e) {
    if (entries_[e].described.descriptors.empty())
      continue;
    rows.push_back(entries_[e].described.descriptors);
    owner.insert(owner.end(), static_cast<size_t>(entries_[e].described.descriptors.rows),
                 static_cast<int>(e));
  }
  if (rows.empty())
    return ranked;
  cv::Mat all;
  cv::vconcat(rows, all);
  std::vector<cv::DMatch> nearest;
  cv::BFMatcher(cv::NORM_HAMMING).match(query.descriptors, all, nearest);
  std::vector<int> votes(entries_.size(), 0);
  for (const cv::DMatch& m : nearest) {
    if (m.distance <= kMaxVoteDistance)
      ++votes[static_cast<size_t>(owner[static_cast<size_t>(m.trainIdx)])];
  }
  for (size_t e = 0; e < entries_.size(); ++e) {
    if (votes[e] >= minVotes)
      ranked.push_back(Candidate{e, votes[e]});
  }
  std::sort(ranked.begin(), ranked.end(), [](const Candidate& x, const Candidate& y) {
    return x.votes != y.votes ? x.votes > y.votes : x.entry > y.entry;
  });
  if (ranked.size() > count)
    ranked.resize(count);
  return ranked;
}

}  // namespace keyframes
