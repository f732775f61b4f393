// Pyramidal Lucas-Kanade tracking that returns exactly what
// cv::calcOpticalFlowPyrLK (OpenCV 4.6) returns - next positions, status and
// errors, bit for bit - for three-channel 8-bit frames and a 21x21 window,
// several points per vector register. It keeps the pyramids of the frames it
// last saw, so that a pair's current frame is not built again as the next
// pair's previous frame. Other inputs, processors without the vector
// instructions, and any OpenCV but 4.6 (whose arithmetic the kernels follow)
// go to cv::calcOpticalFlowPyrLK itself.
#pragma once

#include <memory>
#include <opencv2/core.hpp>
#include <vector>

namespace lk {

enum class Kernel {
  kOpenCv,  // cv::calcOpticalFlowPyrLK
  kAvx2,    // two points per 256-bit register
  kAvx512,  // four points per 512-bit register (AVX-512 F and BW)
  kWidest,  // the widest kernel this processor runs
};

// Whether the kernels reproduce the tracker of this OpenCV version.
bool KernelsReproduce(int openCvMajor, int openCvMinor);
// Whether kernel runs here: on this processor, and with the OpenCV loaded.
bool KernelAvailable(Kernel kernel);
// The kernel kWidest stands for on this processor.
Kernel WidestKernel();
const char* KernelName(Kernel kernel);

// cv::buildOpticalFlowPyramid(frame, *levels, window, maxLevel, true): the
// same levels and derivatives, with their borders; the derivatives of an
// 8-bit three-channel frame computed with AVX2 where the kernels run.
int BuildPyramid(const cv::Mat& frame, cv::Size window, int maxLevel, std::vector<cv::Mat>* levels);

class Tracker {
 public:
  Tracker();
  ~Tracker();
  Tracker(Tracker&&) noexcept;
  Tracker& operator=(Tracker&&) noexcept;

  // cv::calcOpticalFlowPyrLK(prev, next, prevPts, *nextPts, *status, *err,
  // window, maxLevel, criteria, flags, minEigThreshold), same contract
  // (with OPTFLOW_USE_INITIAL_FLOW, *nextPts holds the guesses on entry; an
  // err entry of a point lost at the finest level keeps its earlier value,
  // as with OpenCV).
  void Track(const cv::Mat& prev, const cv::Mat& next, const std::vector<cv::Point2f>& prevPts,
             std::vector<cv::Point2f>* nextPts, std::vector<unsigned char>* status,
             std::vector<float>* err, cv::Size window, int maxLevel,
             const cv::TermCriteria& criteria, int flags, double minEigThreshold,
             Kernel kernel = Kernel::kWidest);

  // The kernel that ran the last Track call.
  Kernel LastKernel() const { return lastKernel_; }

 private:
  struct Cache;
  std::unique_ptr<Cache> cache_;
  Kernel lastKernel_ = Kernel::kOpenCv;
};

}  // namespace lk
