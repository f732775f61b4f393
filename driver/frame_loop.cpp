#include "driver/frame_loop.hpp"

#include "driver/progress.hpp"
#include "io/console.hpp"

int RunFrameLoop(Panorama& panorama, ioVideo& video, const LoopSettings& settings,
                 Progress& progress) {
  int frameCounter = 1;
  for (;;) {
    progress.Frames(frameCounter, panorama.num_Nodes);
    if (settings.frameLimit > 0 && frameCounter >= settings.frameLimit) break;
    const int readOk =
        video.Read_NextFrame(panorama.getId_Database(), panorama.getId_ScaleProcess());
    // The key is polled before the read result is looked at.
    const int key = console::PollKey();
    if (key == console::kEscKey) break;
    if (!readOk) break;
    ++frameCounter;
    cv::Mat current = video.getframe_Current();
    cv::Mat previous = video.getframe_Previous();
    panorama.ProcessTwoImages_AVL(previous, current, settings.overlapThreshold,
                                  settings.featureMethod);
    current.release();
    previous.release();
    if (panorama.getban_insert() == 0) break;
  }
  return frameCounter;
}
