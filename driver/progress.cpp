#include "driver/progress.hpp"

#include <unistd.h>

#include <cstdio>
#include <opencv2/core/utility.hpp>

Progress::Progress() : enabled_(isatty(STDERR_FILENO) == 1), startTicks_(cv::getTickCount()) {}

void Progress::Frames(int framesRead, int keyFrames) {
  if (!enabled_)
    return;
  const int64_t now = cv::getTickCount();
  if (lastTicks_ != 0 &&
      static_cast<double>(now - lastTicks_) / cv::getTickFrequency() < kRefreshSeconds) {
    return;
  }
  lastTicks_ = now;
  const double seconds = static_cast<double>(now - startTicks_) / cv::getTickFrequency();
  std::fprintf(stderr, "\r\033[Kframes %d  key frames %d", framesRead, keyFrames);
  // A rate over a moment would be noise (thousands of frames per second at
  // the first frame): it is shown once it is measured over a while.
  if (seconds >= kMinRateSeconds)
    std::fprintf(stderr, "  %.1f frames/s", framesRead / seconds);
  std::fflush(stderr);
  lineOpen_ = true;
}

void Progress::Stage(const char* what) {
  if (!enabled_)
    return;
  std::fprintf(stderr, "\r\033[K%s", what);
  std::fflush(stderr);
  lineOpen_ = true;
}

void Progress::Finish() {
  if (!enabled_ || !lineOpen_)
    return;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
  lineOpen_ = false;
}
