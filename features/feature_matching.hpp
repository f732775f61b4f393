// Corner tracking by pyramidal Lucas-Kanade flow and SIFT matching by a
// two-nearest-neighbour ratio test. Both fill the correspondence lists
// Cpoints_i / Cpoints_j (always of equal length; entry k of one corresponds
// to entry k of the other).
#pragma once

#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>
#include <vector>

#include "features/lk_tracker.hpp"

// Population variance of values about the given mean, accumulated in float.
// An empty list has variance 0.
float Variance_vector_float(const std::vector<float>& values, float mean);

// The tracking filters, apart from the tracker so that they can be checked
// on exact values. from[k] was tracked to to[k] with the tracker's status[k]
// and err[k] (all four of equal length). Returns, in ascending order, the
// indices k with status[k] non-zero, err[k] <= 550 and a displacement not
// above the mean plus the standard deviation of those corners' displacements.
std::vector<int> SelectTrackedCorners(const std::vector<cv::Point2f>& from,
                                      const std::vector<cv::Point2f>& to,
                                      const std::vector<unsigned char>& status,
                                      const std::vector<float>& err);

// Fills out_i / out_j with the pairs (from[k], to[k]) for k in selected, in
// order, when there are more than 3; otherwise leaves both empty.
void CollectCorrespondences(const std::vector<cv::Point2f>& from,
                            const std::vector<cv::Point2f>& to, const std::vector<int>& selected,
                            std::vector<cv::Point2f>* out_i, std::vector<cv::Point2f>* out_j);

class FeatureMatching {
 public:
  std::unique_ptr<std::vector<cv::Point2f>> Corners_i;  // absent until first set
  std::unique_ptr<std::vector<cv::Point2f>> Corners_j;  // absent until first set
  std::vector<unsigned char> status;
  std::vector<float> err;
  int num_Corners = 0;
  std::vector<int> Idx_Good;  // scratch of one tracking
  int num_GoodCorners = 0;
  std::vector<cv::KeyPoint> SIFT_Features_i;
  std::vector<cv::KeyPoint> SIFT_Features_j;
  cv::Mat SIFT_Descriptor_i;
  cv::Mat SIFT_Descriptor_j;
  cv::BFMatcher BF_Matcher;
  lk::Tracker LK_Tracker;  // keeps the pyramids of the last frames tracked
  std::vector<std::vector<cv::DMatch>> Matches_knn;
  std::vector<std::vector<cv::DMatch>> Matches_Good;
  int num_GoodMatches = 0;
  std::vector<cv::Point2f> Cpoints_i;
  std::vector<cv::Point2f> Cpoints_j;

  FeatureMatching();

  // Tracks Corners_i (must be present) from frame i into frame j; writes
  // Cpoints_i, Cpoints_j, Corners_j (all tracked positions, unfiltered),
  // status, err, num_Corners, num_GoodCorners.
  void goodFeaturesToTrackMatching(cv::Mat frame_i, cv::Mat frame_j, int colourMode, int width,
                                   int height);

  // Tracks points_i with the initial guesses points_j; writes the two output
  // lists, status, err, num_Corners, num_GoodCorners; Corners_i / Corners_j
  // are left alone.
  void goodFeaturesToTrackMatching(std::vector<cv::Point2f>* out_i, std::vector<cv::Point2f>* out_j,
                                   std::vector<cv::Point2f> points_i,
                                   std::vector<cv::Point2f> points_j, cv::Mat frame_i,
                                   cv::Mat frame_j, int colourMode, int width, int height);

  std::vector<cv::Point2f> getCorners_i() const;
  std::vector<cv::Point2f> getCorners_j() const;
  std::vector<cv::Point2f>* getPointerCorners_j() { return Corners_j.get(); }
  void setCorners_i(std::vector<cv::Point2f> corners);
  void setCorners_j(std::vector<cv::Point2f> corners);
  std::vector<cv::Point2f>* getDirCpoints_i() { return &Cpoints_i; }
  std::vector<cv::Point2f>* getDirCpoints_j() { return &Cpoints_j; }

  // Matches SIFT_Descriptor_i (queries) against SIFT_Descriptor_j; writes
  // Cpoints_i, Cpoints_j, num_GoodMatches; scratch lists and the matcher are
  // left empty. Descriptor matrices that are empty, not CV_32F or of unequal
  // widths give no correspondences; a query with fewer than two neighbours
  // is skipped.
  void SIFTFeaturesMatching();

  std::vector<cv::KeyPoint> getSIFT_Features_i() const { return SIFT_Features_i; }
  std::vector<cv::KeyPoint> getSIFT_Features_j() const { return SIFT_Features_j; }
  void setSIFT_Features_i(std::vector<cv::KeyPoint> features) {
    SIFT_Features_i = std::move(features);
  }
  void setSIFT_Features_j(std::vector<cv::KeyPoint> features) {
    SIFT_Features_j = std::move(features);
  }
  cv::Mat getSIFT_Descriptor_i() const { return SIFT_Descriptor_i; }
  cv::Mat getSIFT_Descriptor_j() const { return SIFT_Descriptor_j; }
  // Shares the argument's elements (no element copy).
  void setSIFT_Descriptor_i(cv::Mat descriptor) { SIFT_Descriptor_i = descriptor; }
  void setSIFT_Descriptor_j(cv::Mat descriptor) { SIFT_Descriptor_j = descriptor; }
};
