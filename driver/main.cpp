// vmosaic: builds one panoramic mosaic from a video taken by a moving camera.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <opencv2/core/utility.hpp>
#include <opencv2/highgui.hpp>

#include "driver/frame_loop.hpp"
#include "io/console.hpp"
#include "io/io_video.hpp"
#include "panorama/panorama.hpp"

namespace {

constexpr const char* kUsage =
    "Usage: vmosaic [VIDEO [OVERLAP [FEATURES [MEDIAN [FRAME_LIMIT]]]]]\n"
    "\n"
    "Builds a panoramic mosaic from a video taken by a moving camera and writes\n"
    "pano_Mean.png (and, with MEDIAN non-zero, pano_Median.png) into the\n"
    "current directory.\n"
    "\n"
    "  VIDEO        input video file (default: the bundled sample video)\n"
    "  OVERLAP      overlap threshold in percent, whole number (default 100):\n"
    "               a frame overlapping the last key frame by this or less\n"
    "               becomes a key frame\n"
    "  FEATURES     0 = corners tracked by optical flow (default), 1 = SIFT\n"
    "  MEDIAN       non-zero also composes the median panorama (default 0)\n"
    "  FRAME_LIMIT  stop after this many frames; read only when exactly five\n"
    "               arguments are given (default 0 = no limit)\n"
    "\n"
    "Press Esc to end the input early.\n";

bool WantsHelp(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) return true;
  }
  return false;
}

double SecondsSince(int64_t startTicks) {
  return static_cast<double>(cv::getTickCount() - startTicks) / cv::getTickFrequency();
}

}  // namespace

int main(int argc, char** argv) {
  if (WantsHelp(argc, argv)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::atexit(console::RestoreTerminal);

  Panorama panorama;
  ioVideo video;

  LoopSettings settings;
  int withMedian = 0;
  if (argc > 2) settings.overlapThreshold = static_cast<float>(std::atoi(argv[2]));
  if (argc > 3) settings.featureMethod = std::atoi(argv[3]);
  if (argc > 4) withMedian = std::atoi(argv[4]);
  if (argc == 6) settings.frameLimit = std::atoi(argv[5]);

  const int64_t treeStart = cv::getTickCount();
  if (video.Input_Video(argc, argv, panorama.getId_Database(), panorama.getId_ScaleProcess()) ==
      0) {
    std::printf("\nNot Input...");
    std::fflush(stdout);
    return 1;
  }
  Progress progress;
  RunFrameLoop(panorama, video, settings, progress);
  const double treeSeconds = SecondsSince(treeStart);
  std::printf("\nTime processing AVL Binary Tree Construction: %f seconds", treeSeconds);

  progress.Stage("composing the mosaic...");
  const int64_t compositionStart = cv::getTickCount();
  panorama.CalculateCenteredPanorama(withMedian);
  const double compositionSeconds = SecondsSince(compositionStart);
  progress.Finish();
  std::printf("\nTime processing CalculateCenteredPanorama: %f seconds", compositionSeconds);
  std::printf("\nTotal processing time: %f seconds", treeSeconds + compositionSeconds);
  std::fflush(stdout);

  const bool saved = panorama.Save_PanoNew();
  cv::destroyAllWindows();
  console::RestoreTerminal();
  return saved ? 0 : 1;
}
