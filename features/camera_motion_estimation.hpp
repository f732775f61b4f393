// The current homography Hij (image i onto image j), its inverse, and the
// flag of the last automatic estimate. Also serves the tree code as a scratch
// register for products and inverses.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "io/operator.hpp"

// The acceptance rule of an automatic estimate: its unnormalised H33 lies
// strictly between 0.9 and 1.1.
bool IsPlausibleH33(double h33);

class CameraMotionEstimation {
 public:
  cv::Mat Hij;     // 3x3 CV_64F, image i onto image j
  cv::Mat invHij;  // inverse of Hij as of the last InverseHomography_Hij
  int ban_ExisteH = 0;
  cv::Point Point_Mouse;  // last left-button press in an interactive window

  CameraMotionEstimation();

  // Where messages, key waits and the interactive windows go (silent and
  // unattended until set; the operator must outlive this object's use).
  void setOperator(io::Operator& op) { operator_ = &op; }

  // RANSAC estimate from two equal-length lists (i side first). Accepted
  // when there are at least 8 points and 0.9 < H33 < 1.1; otherwise Hij is
  // the identity, ban_ExisteH is 0, a message goes to the operator's
  // standard output and a key is awaited.
  // width / height are not used.
  void HomographyEstimation_DLT_RANSAC(const std::vector<cv::Point2f>* points_i,
                                       const std::vector<cv::Point2f>* points_j, int width,
                                       int height);

  // Hij = B * A (A first, then B).
  void Calculate_HomographyFromPreviousEdges(cv::Mat A, cv::Mat B);
  // invHij = inverse of Hij (LU).
  void InverseHomography_Hij();

  cv::Mat getHomography() const { return Hij; }
  cv::Mat getInverseHomography() const { return invHij; }
  // Hij takes a copy of M's values.
  void setHomography(cv::Mat M);
  int getban_ExisteH() const { return ban_ExisteH; }

  // Four clicked points per image give Hij (image i onto image j).
  void HomographyEstimation_UserInteraction(cv::Mat frame_i, cv::Mat frame_j, int colourMode,
                                            int width, int height);
  static void on_mouse(int event, int x, int y, int flags, void* userdata);

 private:
  io::Operator* operator_ = &io::SilentOperator();
};
