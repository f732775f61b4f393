// A one-line progress display on standard error, shown only when standard
// error is a terminal (standard output keeps exactly the program's messages).
#pragma once

#include <cstdint>

class Progress {
 public:
  Progress();
  // Refreshes the line at most every kRefreshSeconds.
  void Frames(int framesRead, int keyFrames);
  void Stage(const char* what);
  // Ends the line so later output starts on a fresh one.
  void Finish();

 private:
  static constexpr double kRefreshSeconds = 0.25;
  static constexpr double kMinRateSeconds = 1.0;
  bool enabled_;
  bool lineOpen_ = false;
  int64_t startTicks_;
  int64_t lastTicks_ = 0;
};
