#include "io/io_video.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>


#ifndef VMOSAIC_DEFAULT_VIDEO
#define VMOSAIC_DEFAULT_VIDEO "data/sample.mp4"
#endif
#ifndef VMOSAIC_INSTALLED_VIDEO
#define VMOSAIC_INSTALLED_VIDEO "/usr/share/vmosaic/sample.mp4"
#endif

namespace {

// The capture "opens" some paths it cannot read (and a directory can look
// like an image sequence), so only regular readable files and printf-style
// sequence patterns go to it.
bool LooksOpenable(const std::string& path) {
  if (path.find('%') != std::string::npos) return true;
  struct stat st{};
  if (stat(path.c_str(), &st) != 0) return false;
  if (!S_ISREG(st.st_mode)) return false;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  std::fclose(f);
  return true;
}

// The rest of the system works on 8-bit three-channel BGR frames. The FFmpeg
// backend always delivers those, but other capture backends (image
// sequences) hand out grey, BGRA or 16-bit images as stored; bring them to
// the common format instead of letting a later stage reject them.
void ToBgr8(cv::Mat& frame) {
  constexpr double kSixteenToEightBit = 1.0 / 257.0;  // 65535 -> 255
  if (frame.empty() || frame.type() == CV_8UC3) return;
  if (frame.depth() != CV_8U && frame.depth() != CV_16U) return;  // left for the caller to refuse
  cv::Mat eightBit = frame;
  if (frame.depth() == CV_16U) frame.convertTo(eightBit, CV_8U, kSixteenToEightBit);
  cv::Mat bgr;
  if (eightBit.channels() == 1) {
    cv::merge(std::vector<cv::Mat>{eightBit, eightBit, eightBit}, bgr);
  } else if (eightBit.channels() == 4) {
    const int keepBgr[] = {0, 0, 1, 1, 2, 2};
    bgr.create(eightBit.size(), CV_8UC3);
    cv::mixChannels(&eightBit, 1, &bgr, 1, keepBgr, 3);
  } else {
    bgr = eightBit;
  }
  frame = bgr;
}

// Files go to FFmpeg and printf-style sequences to the image reader, and no
// other backend is tried: a file FFmpeg cannot read is "not found" without
// another library's noise on standard error, and a sequence delivers every
// image as stored (FFmpeg would silently rescale one of another size).
bool OpenCapture(cv::VideoCapture& capture, const std::string& path) {
  try {
    if (path.find('%') != std::string::npos && capture.open(path, cv::CAP_IMAGES)) return true;
    return capture.open(path, cv::CAP_FFMPEG);
  } catch (const cv::Exception&) {
    return false;
  }
}

}  // namespace

const char* ioVideo::DefaultPath() {
  // The source tree's sample when it is there (a build), else the installed one.
  if (access(VMOSAIC_DEFAULT_VIDEO, R_OK) == 0) return VMOSAIC_DEFAULT_VIDEO;
  return VMOSAIC_INSTALLED_VIDEO;
}

ioVideo::~ioVideo() {
  frame_Current.release();
  frame_Previous.release();
}

int ioVideo::Input_Video(int argc, char** argv, int /*Id_Database*/, int Id_ScaleProcess) {
  path_Input = (argc >= 2) ? argv[1] : DefaultPath();
  if (!LooksOpenable(path_Input) || !OpenCapture(capture, path_Input)) return kInputNotFound;
  capture >> frame_Current;
  ToBgr8(frame_Current);
  if (frame_Current.empty() || frame_Current.type() != CV_8UC3) return 0;
  imageW = frame_Current.cols;
  imageH = frame_Current.rows;
  if (Id_ScaleProcess == 1) frame_Previous.create(imageH, imageW, CV_8UC3);
  return 1;
}

int ioVideo::Read_NextFrame(int /*Id_Database*/, int /*Id_ScaleProcess*/) {
  frame_Current.copyTo(frame_Previous);
  capture >> frame_Current;
  ToBgr8(frame_Current);
  if (frame_Current.empty()) return 0;
  if (frame_Current.cols != imageW || frame_Current.rows != imageH) {
    std::fprintf(stderr,
                 "vmosaic: frame size changed from %dx%d to %dx%d; input ends here\n", imageW,
                 imageH, frame_Current.cols, frame_Current.rows);
    frame_Current.release();
    return 0;
  }
  if (frame_Current.type() != CV_8UC3) {
    std::fprintf(stderr, "vmosaic: unsupported frame format; input ends here\n");
    frame_Current.release();
    return 0;
  }
  return 1;
}
