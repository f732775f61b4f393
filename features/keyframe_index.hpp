// Registration by descriptors, for frames whose motion from the last good
// frame is too large for tracking, and an index of described key frames that
// finds, by appearance, the key frames a frame may show again.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <vector>

namespace keyframes {

// A frame's ORB keypoint positions (frame pixels) and binary descriptors.
struct DescribedFrame {
  std::vector<cv::Point2f> points;
  cv::Mat descriptors;  // CV_8U, one row per point
  size_t Bytes() const { return points.size() * sizeof(cv::Point2f) + descriptors.total(); }
};

// At most kFeaturesPerFrame keypoints of an 8-bit frame (one or three
// channels). Deterministic.
constexpr int kFeaturesPerFrame = 600;
DescribedFrame Describe(const cv::Mat& frame);

// A homography from a's pixels onto b's found by ratio-tested descriptor
// matches and RANSAC; H is empty unless at least kMinInliers agree with it.
struct DescriptorMatch {
  cv::Mat H;
  int inliers = 0;
};
constexpr int kMinInliers = 20;
DescriptorMatch MatchDescribed(const DescribedFrame& a, const DescribedFrame& b);

// H (a's pixels onto b's, from descriptors: roughly right) made exact:
// corners of a tracked into b from where H puts them, and a RANSAC fit to
// them. H itself when too few corners follow.
cv::Mat RefineByTracking(const cv::Mat& a, const cv::Mat& b, const cv::Mat& H);

// Described key frames, each known by its segment and its node id there.
class KeyFrameIndex {
 public:
  struct Entry {
    int segment = 0;
    int32_t id = 0;
    DescribedFrame described;
  };
  struct Candidate {
    size_t entry = 0;
    int votes = 0;  // ratio-tested matches of the query into this entry
  };

  // capacityBytes bounds the descriptors held; beyond it the oldest entries
  // are dropped.
  explicit KeyFrameIndex(size_t capacityBytes) : capacity_(capacityBytes) {}
  void Add(int segment, int32_t id, DescribedFrame described);
  bool Contains(int segment, int32_t id) const;
  // Moves the entries of segment `from` to segment `to`, each id renamed by
  // the map (old id, new id); entries the map does not name are dropped.
  void Relabel(int from, int to, const std::vector<std::pair<int32_t, int32_t>>& ids);
  const Entry& at(size_t entry) const { return entries_[entry]; }
  size_t size() const { return entries_.size(); }
  size_t Bytes() const { return bytes_; }

  // Entries ranked by the query's descriptor votes, most first (ties: the
  // newer entry first), at most `count`, each with at least minVotes.
  std::vector<Candidate> Lookup(const DescribedFrame& query, size_t count, int minVotes) const;

 private:
  size_t capacity_;
  size_t bytes_ = 0;
  std::vector<Entry> entries_;
};

}  // namespace keyframes
