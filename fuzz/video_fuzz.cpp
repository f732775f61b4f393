// The video path: the bytes are written to a temporary file, opened through
// the frame source and run through a few frame pairs of the panorama and the
// composition, as the program does with a frame limit.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.hpp"
#include "fuzz/fuzz_targets.hpp"
#include "io/io_video.hpp"
#include "panorama/panorama.hpp"

namespace fuzz {
namespace {

constexpr int kMaxFramePairs = 4;
// Frames larger than this are skipped: they only cost time and memory here
// (the large-frame case has its own test).
constexpr long long kMaxFramePixels = 640LL * 480LL;
constexpr float kOverlapThreshold = 90.0f;  // percent

// A failed registration waits for a key when standard input is a terminal;
// a fuzzer must never wait.
void DetachFromTerminalOnce() {
  static const bool detached = std::freopen("/dev/null", "r", stdin) != nullptr;
  (void)detached;
}

// The bytes in a file of their own, removed when done.
class TemporaryVideo {
 public:
  TemporaryVideo(const uint8_t* data, size_t size) {
    char pattern[] = "/tmp/vmosaic_fuzz_XXXXXX.mkv";
    const int fd = mkstemps(pattern, 4);
    if (fd < 0)
      return;
    path_ = pattern;
    size_t written = 0;
    while (written < size) {
      const ssize_t n = write(fd, data + written, size - written);
      if (n <= 0)
        break;
      written += static_cast<size_t>(n);
    }
    close(fd);
    if (written != size)
      Remove();
  }
  ~TemporaryVideo() { Remove(); }
  TemporaryVideo(const TemporaryVideo&) = delete;
  TemporaryVideo& operator=(const TemporaryVideo&) = delete;
  const std::string& path() const { return path_; }

 private:
  void Remove() {
    if (!path_.empty())
      std::remove(path_.c_str());
    path_.clear();
  }
  std::string path_;
};

}  // namespace

int FuzzVideo(const uint8_t* data, size_t size) {
  DetachFromTerminalOnce();
  TemporaryVideo file(data, size);
  if (file.path().empty())
    return 0;
  // The frame source ends the process for inputs the capture cannot open;
  // that path is the driver's tests' business, not this target's.
  // Only the FFmpeg backend, which opens every video the program reads:
  // the others are slow to refuse arbitrary bytes.
  if (!cv::VideoCapture(file.path(), cv::CAP_FFMPEG).isOpened())
    return 0;

  Panorama panorama;
  ioVideo video;
  std::string program = "vmosaic";
  std::string path = file.path();
  char* argv[] = {program.data(), path.data(), nullptr};
  if (video.Input_Video(2, argv, panorama.getId_Database(), panorama.getId_ScaleProcess()) != 1) {
    return 0;
  }
  if (static_cast<long long>(video.imageW) * video.imageH > kMaxFramePixels)
    return 0;
  Require(video.frame_Current.type() == CV_8UC3, "frames are 8-bit BGR");
  for (int pair = 0; pair < kMaxFramePairs; ++pair) {
    if (video.Read_NextFrame(panorama.getId_Database(), panorama.getId_ScaleProcess()) == 0)
      break;
    Require(video.frame_Current.size() == video.frame_Previous.size(),
            "both frames of a pair have the first frame's size");
    panorama.ProcessTwoImages_AVL(video.getframe_Previous(), video.getframe_Current(),
                                  kOverlapThreshold, 0);
    if (panorama.getban_insert() == 0)
      break;
  }
  panorama.CalculateCenteredPanorama(1);
  Require(panorama.pano.empty() || panorama.pano.type() == CV_8UC3, "the mosaic is 8-bit BGR");
  return 0;
}

}  // namespace fuzz

VMOSAIC_FUZZ_ENTRY(fuzz::FuzzVideo)
