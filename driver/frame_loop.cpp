#include "driver/frame_loop.hpp"

#include <algorithm>
#include <cstdio>

#include "driver/progress.hpp"
#include "driver/signals.hpp"
#include "io/console.hpp"

int RunFrameLoop(Panorama& panorama, ioVideo& video, const LoopSettings& settings,
                 Progress& progress, std::vector<int>* keyFrames, StoppedEarly* stopped,
                 keepgoing::KeepGoing* keepGoing) {
  int frameCounter = 1;
  signals::EnterFrameLoop();
  for (;;) {
    progress.Frames(frameCounter, panorama.num_Nodes);
    if (settings.frameLimit > 0 && frameCounter >= settings.frameLimit)
      break;
    const int readOk =
        video.Read_NextFrame(panorama.getId_Database(), panorama.getId_ScaleProcess());
    // The key is polled before the read result is looked at.
    const int key = console::PollKey();
    if (key == console::kEscKey)
      break;
    // A first Ctrl-C ends the input as Esc does.
    if (signals::InputInterrupted()) {
      std::fputs(
          "vmosaic: interrupted; composing the frames read so far (Ctrl-C again stops at once)\n",
          stderr);
      break;
    }
    if (!readOk)
      break;
    ++frameCounter;
    cv::Mat current = video.getframe_Current();
    cv::Mat previous = video.getframe_Previous();
    if (keepGoing != nullptr) {
      keepGoing->Process(frameCounter - 1, previous, current);
      continue;
    }
    const int nodesBefore = panorama.num_Nodes;
    panorama.ProcessTwoImages_AVL(previous, current, settings.overlapThreshold,
                                  settings.featureMethod);
    if (keyFrames != nullptr) {
      // The first pair makes the previous frame the root; a new node is the
      // current frame. Frames are numbered from 0.
      if (nodesBefore == 0 && panorama.num_Nodes > 0)
        keyFrames->push_back(frameCounter - 2);
      if (panorama.num_Nodes > std::max(nodesBefore, 1))
        keyFrames->push_back(frameCounter - 1);
    }
    current.release();
    previous.release();
    if (panorama.getban_insert() == 0) {
      StoppedEarly refused{frameCounter - 1, video.FramesLeft()};
      progress.Finish();
      std::fprintf(stderr,
                   "vmosaic: frame %d could not be inserted into the frame tree; the input ends "
                   "there",
                   refused.frame);
      if (refused.framesUnread >= 0) {
        std::fprintf(stderr, " (%lld frames unread)\n", refused.framesUnread);
      } else {
        std::fputs(" (the rest of the input is unread)\n", stderr);
      }
      if (stopped != nullptr)
        *stopped = refused;
      break;
    }
  }
  signals::LeaveFrameLoop();
  return frameCounter;
}
