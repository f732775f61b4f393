#include "features/frame_screening.hpp"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>
#include <vector>

namespace screening {
namespace {

constexpr int kLookWidthPx = 160;

// Scales a homography on frame pixels to one on look pixels.
cv::Mat ToLookPixels(const cv::Mat& H, double scaleA, double scaleB) {
  const cv::Mat toA = (cv::Mat_<double>(3, 3) << 1 / scaleA, 0, 0, 0, 1 / scaleA, 0, 0, 0, 1);
  const cv::Mat fromB = (cv::Mat_<double>(3, 3) << scaleB, 0, 0, 0, scaleB, 0, 0, 0, 1);
  return fromB * H * toA;
}

}  // namespace

FrameLook Look(const cv::Mat& frame) {
  CV_Assert(!frame.empty() && frame.depth() == CV_8U);
  FrameLook look;
  cv::Mat grey;
  if (frame.channels() == 3) {
    cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY);
  } else {
    grey = frame;
  }
  look.scale = std::min(1.0, static_cast<double>(kLookWidthPx) / frame.cols);
  cv::resize(grey, look.grey, cv::Size(), look.scale, look.scale, cv::INTER_AREA);
  cv::Scalar mean, deviation;
  cv::meanStdDev(look.grey, mean, deviation);
  look.contrast = deviation[0];
  cv::Mat laplacian;
  cv::Laplacian(look.grey, laplacian, CV_32F);
  cv::meanStdDev(laplacian, mean, deviation);
  look.sharpness = deviation[0] * deviation[0];
  return look;
}

void SharpnessHistory::Add(double sharpness) {
  recent_.push_back(sharpness);
  if (recent_.size() > kFrames)
    recent_.pop_front();
}

bool SharpnessHistory::IsBlurred(double sharpness, double reference) const {
  if (recent_.size() < 3)
    return sharpness < kBlurredFraction * reference;
  std::vector<double> sorted(recent_.begin(), recent_.end());
  std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
  return sharpness < kBlurredFraction * sorted[sorted.size() / 2];
}

Agreement PairAgreement(const FrameLook& a, const FrameLook& b, const cv::Mat& H) {
  Agreement agreement;
  if (H.empty() || a.grey.empty() || b.grey.empty())
    return agreement;
  const cv::Mat Hlook = ToLookPixels(H, a.scale, b.scale);
  cv::Mat warped, mask;
  cv::warpPerspective(a.grey, warped, Hlook, b.grey.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT);
  cv::warpPerspective(cv::Mat(a.grey.size(), CV_8U, cv::Scalar(255)), mask, Hlook, b.grey.size(),
                      cv::INTER_NEAREST, cv::BORDER_CONSTANT);
  const int covered = cv::countNonZero(mask);
  agreement.overlap = static_cast<double>(covered) / static_cast<double>(b.grey.total());
  if (covered < 16)
    return agreement;
  cv::Scalar meanA, devA, meanB, devB;
  cv::meanStdDev(warped, meanA, devA, mask);
  cv::meanStdDev(b.grey, meanB, devB, mask);
  if (devA[0] < kFlatContrast || devB[0] < kFlatContrast)
    return agreement;
  cv::Mat da, db;
  warped.convertTo(da, CV_64F, 1.0, -meanA[0]);
  b.grey.convertTo(db, CV_64F, 1.0, -meanB[0]);
  const cv::Mat product = da.mul(db);
  agreement.ncc = cv::mean(product, mask)[0] / (devA[0] * devB[0]);
  return agreement;
}

}  // namespace screening
