// NCC validation with arbitrary reference points, candidates and homography
// on small images: no read outside the images, paired outputs of equal
// length, never more pairs than reference features.
#include <opencv2/core.hpp>
#include <vector>

#include "fuzz/fuzz_input.hpp"
#include "fuzz/fuzz_targets.hpp"
#include "geometry/ncc_validation.hpp"

namespace fuzz {
namespace {
constexpr int kMinSide = 1;
constexpr int kMaxSide = 48;                // pixels
constexpr int kMaxPoints = 24;              // per list
constexpr float kCoordinateSpread = 64.0f;  // pixels, for points read as bytes

// Either a raw float (any bit pattern) or a byte-sized coordinate near the
// image, so that both the odd and the ordinary cases are reached.
float Coordinate(FuzzInput& input) {
  const uint8_t kind = input.Byte();
  if (kind % 4 == 0)
    return input.Float();
  return static_cast<float>(input.Byte()) / 255.0f * kCoordinateSpread - 8.0f;
}

std::vector<cv::Point2f> Points(FuzzInput& input) {
  std::vector<cv::Point2f> points(static_cast<size_t>(input.IntIn(0, kMaxPoints)));
  for (cv::Point2f& p : points)
    p = cv::Point2f(Coordinate(input), Coordinate(input));
  return points;
}

cv::Mat Image(FuzzInput& input, int w, int h) {
  cv::Mat image(h, w, CV_8UC3);
  for (int r = 0; r < h; ++r) {
    for (int c = 0; c < w * 3; ++c)
      image.ptr<uint8_t>(r)[c] = input.Byte();
  }
  return image;
}

}  // namespace

int FuzzNccValidation(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  const int w = input.IntIn(kMinSide, kMaxSide);
  const int h = input.IntIn(kMinSide, kMaxSide);
  cv::Mat H = cv::Mat::eye(3, 3, CV_64F);
  // Mostly near the identity (a shift), sometimes any bit pattern.
  if (input.Byte() % 4 == 0) {
    for (int i = 0; i < 9; ++i)
      H.at<double>(i / 3, i % 3) = input.Double();
  } else {
    H.at<double>(0, 2) = input.IntIn(-8, 8);
    H.at<double>(1, 2) = input.IntIn(-8, 8);
  }
  const std::vector<cv::Point2f> reference = Points(input);
  const std::vector<cv::Point2f> candidates = Points(input);
  const cv::Mat keyImage = Image(input, w, h);
  const cv::Mat curImage = Image(input, w, h);

  std::vector<cv::Point2f> outKey;
  std::vector<cv::Point2f> outCur;
  geometry::ValidateCorrespondences_NCC(reference, candidates, &outKey, &outCur, H, keyImage,
                                        curImage, w, h);
  Require(outKey.size() == outCur.size(), "point pairs have equal length");
  Require(outKey.size() <= reference.size(), "no more pairs than reference points");

  std::vector<cv::KeyPoint> referenceKeys;
  std::vector<cv::KeyPoint> candidateKeys;
  for (const cv::Point2f& p : reference)
    referenceKeys.emplace_back(p, 1.0f);
  for (const cv::Point2f& p : candidates)
    candidateKeys.emplace_back(p, 1.0f);
  std::vector<cv::KeyPoint> outKeyPoints;
  std::vector<cv::KeyPoint> outCurPoints;
  geometry::ValidateCorrespondencesKeyPoints_NCC(referenceKeys, candidateKeys, &outKeyPoints,
                                                 &outCurPoints, H, keyImage, curImage, w, h);
  Require(outKeyPoints.size() == outCurPoints.size(), "keypoint pairs have equal length");
  Require(outKeyPoints.size() <= referenceKeys.size(), "no more pairs than reference keypoints");
  return 0;
}

}  // namespace fuzz

VMOSAIC_FUZZ_ENTRY(fuzz::FuzzNccValidation)
