// The per-frame loop: hands each pair of consecutive frames to the panorama
// until the input ends, Esc is pressed, the frame limit is reached or the
// tree refuses a key frame.
#pragma once

#include <vector>

#include "io/io_video.hpp"
#include "panorama/keep_going.hpp"
#include "panorama/panorama.hpp"
#include "vmosaic/vmosaic.hpp"

struct LoopSettings {
  float overlapThreshold = 100.0f;
  int featureMethod = 0;
  int frameLimit = 0;  // > 0: at most this many frames in all
  // Not empty: frames are registered scaled down to this size (INTER_AREA),
  // and the key frames' full-resolution frames are kept for composition.
  cv::Size workSize;
};

// A key frame the tree refused ends the input: which frame (from 0), and
// how many frames were left unread (-1: the input does not tell).
struct StoppedEarly {
  int frame = -1;  // -1: the input was not cut short
  long long framesUnread = -1;
};

// Returns the number of frames read, the first one included. When keyFrames
// is given, it receives the frame number (from 0) of each key frame, in
// order of creation (so entry k - 1 is the frame of node id k). A refused
// key frame is noted to the observer and, when stopped is given, there; the
// observer sees every frame read and may end the input.
// With keepGoing, every frame goes to it instead (nothing ends the input but
// its end, Esc, Ctrl-C or the frame limit); keyFrames is then left alone.
// With a work size (keepGoing must then be null), fullKeyFrames receives
// each key frame's full-resolution frame, kept in the panorama's frame store,
// in order of creation (entry k - 1 for node id k).
int RunFrameLoop(Panorama& panorama, ioVideo& video, const LoopSettings& settings,
                 vmosaic::Observer& observer, std::vector<int>* keyFrames = nullptr,
                 StoppedEarly* stopped = nullptr, keepgoing::KeepGoing* keepGoing = nullptr,
                 std::vector<cv::Mat>* fullKeyFrames = nullptr);
