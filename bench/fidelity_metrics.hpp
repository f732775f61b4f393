// Scores of the fidelity benchmark: how close a mosaic comes to the scene it
// was filmed from, and how far its key-frame homographies are from the truth.
// The benchmark's own yardstick; not part of the program.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

namespace fidelity {

// PSNR reported for identical images (where the mean squared error is 0).
constexpr double kPsnrCap = 99.0;

// Pixels holding data: any channel non-zero (the mosaics leave uncovered
// canvas black).
cv::Mat CoveredMask(const cv::Mat& image);

// PSNR in dB of image against truth (8-bit, same size and channels) over the
// pixels where mask is non-zero; NaN when the mask is empty.
double Psnr(const cv::Mat& image, const cv::Mat& truth, const cv::Mat& mask);

// The same PSNR after a gain and offset fitted per tile x tile block of the
// canvas (least squares, shared by the channels): discounts photometric error
// (exposure, vignetting) and keeps geometric error.
double TileGainPsnr(const cv::Mat& image, const cv::Mat& truth, const cv::Mat& mask,
                    int tile = 128);

// Mean distance between the four corners of a width x height frame mapped by
// A and by B.
double CornerError(const cv::Matx33d& A, const cv::Matx33d& B, cv::Size frameSize);

// The median of a list (mean of the two middle values); NaN when empty.
double Median(std::vector<double> values);

}  // namespace fidelity
