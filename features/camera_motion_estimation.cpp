#include "features/camera_motion_estimation.hpp"

#include <opencv2/calib3d.hpp>

namespace {

// The automatic estimate: RANSAC over at least this many correspondences.
constexpr int kMinCorrespondences = 8;
constexpr HomographyFit kRansacFit{cv::RANSAC, 1.0, 2000, 0.995};
// An estimate is plausible when its unnormalised H33 lies strictly inside.
constexpr double kH33Low = 0.9;
constexpr double kH33High = 1.1;

// A new identity buffer. Assigning cv::Mat::eye to Hij directly would write
// into Hij's current buffer, changing handles callers took earlier with
// getHomography.
cv::Mat FreshIdentity() {
  return cv::Mat(cv::Mat::eye(3, 3, CV_64F));
}

}  // namespace

bool IsPlausibleH33(double h33) {
  return kH33Low < h33 && h33 < kH33High;
}

cv::Mat FitHomography(const cv::Mat& src, const cv::Mat& dst, const HomographyFit& fit) {
  return cv::findHomography(src, dst, fit.method, fit.reprojectionThresholdPx, cv::noArray(),
                            fit.maxIterations, fit.confidence);
}

CameraMotionEstimation::CameraMotionEstimation()
    : Hij(cv::Mat::eye(3, 3, CV_64F)), invHij(cv::Mat::eye(3, 3, CV_64F)) {}

void CameraMotionEstimation::HomographyEstimation_DLT_RANSAC(
    const std::vector<cv::Point2f>* points_i, const std::vector<cv::Point2f>* points_j,
    int /*width*/, int /*height*/) {
  CV_Assert(points_i != nullptr && points_j != nullptr && points_i->size() == points_j->size());
  ban_ExisteH = 0;
  if (static_cast<int>(points_i->size()) < kMinCorrespondences) {
    Hij = FreshIdentity();
    operator_->Out("\nCorrespondences < 8...");
    operator_->WaitForKey();
    return;
  }
  const cv::Mat src(static_cast<int>(points_i->size()), 1, CV_32FC2,
                    const_cast<cv::Point2f*>(points_i->data()));
  const cv::Mat dst(static_cast<int>(points_j->size()), 1, CV_32FC2,
                    const_cast<cv::Point2f*>(points_j->data()));
  cv::Mat H = FitHomography(src, dst, kRansacFit);
  if (H.empty()) {
    // No model found: treated like any other unusable estimate.
    Hij = FreshIdentity();
    operator_->Out("\nNo homography found...");
    operator_->WaitForKey();
    return;
  }
  Hij = H;
  const double h33 = Hij.at<double>(2, 2);
  if (IsPlausibleH33(h33)) {
    ban_ExisteH = 1;
    return;
  }
  operator_->Out(io::Format("\nH_33: %lf != 1.0  ", h33));
  Hij = FreshIdentity();
  operator_->WaitForKey();
}

void CameraMotionEstimation::Calculate_HomographyFromPreviousEdges(cv::Mat A, cv::Mat B) {
  CV_Assert(A.size() == cv::Size(3, 3) && B.size() == cv::Size(3, 3) && A.type() == CV_64F &&
            B.type() == CV_64F);
  // The product goes into a new buffer, so A or B may share Hij's elements
  // and handles taken earlier with getHomography keep their values.
  Hij = cv::Mat(B * A);
}

void CameraMotionEstimation::InverseHomography_Hij() {
  cv::invert(Hij, invHij, cv::DECOMP_LU);
}

void CameraMotionEstimation::setHomography(cv::Mat M) {
  CV_Assert(M.size() == cv::Size(3, 3) && M.type() == CV_64F);
  // A fresh buffer: handles obtained earlier from getHomography keep their values.
  Hij = M.clone();
}
