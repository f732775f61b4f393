// The per-frame loop: hands each pair of consecutive frames to the panorama
// until the input ends, Esc is pressed, the frame limit is reached or the
// tree refuses a key frame.
#pragma once

#include "driver/progress.hpp"
#include "io/io_video.hpp"
#include "panorama/panorama.hpp"

struct LoopSettings {
  float overlapThreshold = 100.0f;
  int featureMethod = 0;
  int frameLimit = 0;  // > 0: at most this many frames in all
};

// Returns the number of frames read, the first one included.
int RunFrameLoop(Panorama& panorama, ioVideo& video, const LoopSettings& settings,
                 Progress& progress);
