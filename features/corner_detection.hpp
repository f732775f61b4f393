// Shi-Tomasi corners exactly as cv::goodFeaturesToTrack (OpenCV 4.6) finds
// them - the same points in the same order - for 8-bit grey images, a 3x3 or
// 5x5 block, the minimum-eigenvalue measure and no mask. The eigenvalue map
// is computed in bands of columns in parallel, with AVX2 where the processor
// has it; the selection (threshold, 3x3 maximum, strongest first with
// OpenCV's order among equals, minimum distance) follows OpenCV's rules.
// Other parameters, images smaller than 8 pixels a side, and any OpenCV but
// 4.6 go to cv::goodFeaturesToTrack itself.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

namespace corners {

enum class Kernel {
  kOpenCv,    // cv::goodFeaturesToTrack
  kPortable,  // the exact detector without wider instructions
  kAvx2,      // the exact detector, eigenvalue map with AVX2
  kWidest,    // the widest kernel this processor runs
};

bool KernelAvailable(Kernel kernel);
Kernel WidestKernel();
const char* KernelName(Kernel kernel);

// cv::goodFeaturesToTrack(grey, corners, maxCorners, qualityLevel,
// minDistance, cv::noArray(), blockSize, false), same contract.
std::vector<cv::Point2f> GoodFeaturesToTrack(const cv::Mat& grey, int maxCorners,
                                             double qualityLevel, double minDistance, int blockSize,
                                             Kernel kernel = Kernel::kWidest);

}  // namespace corners
