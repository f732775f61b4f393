// Pairing of a key frame's features with the current frame's features: each
// key-frame feature is predicted into the current frame by a homography and
// matched to the best-correlated nearby candidate (normalised cross-
// correlation of 9x9 patches).
#pragma once

#include <opencv2/core.hpp>
#include <vector>

// NCC of two 8-bit three-channel patches of equal size, in [-1, 1]; NaN when
// a patch has no contrast.
float NormalizedCrossCorrelation(const cv::Mat& patchA, const cv::Mat& patchB);

namespace geometry {

// Appends to outKey / outCur one pair per reference feature that found a
// partner. H maps the key image onto the current image; both images are
// imageW x imageH, 8-bit three-channel.
void ValidateCorrespondences_NCC(const std::vector<cv::Point2f>& referenceFeatures,
                                 const std::vector<cv::Point2f>& candidates,
                                 std::vector<cv::Point2f>* outKey, std::vector<cv::Point2f>* outCur,
                                 const cv::Mat& H, const cv::Mat& keyImage, const cv::Mat& curImage,
                                 int imageW, int imageH);

// The same for keypoints (their positions are used; the keypoints are copied
// whole into the outputs).
void ValidateCorrespondencesKeyPoints_NCC(const std::vector<cv::KeyPoint>& referenceFeatures,
                                          const std::vector<cv::KeyPoint>& candidates,
                                          std::vector<cv::KeyPoint>* outKey,
                                          std::vector<cv::KeyPoint>* outCur, const cv::Mat& H,
                                          const cv::Mat& keyImage, const cv::Mat& curImage,
                                          int imageW, int imageH);

}  // namespace geometry
