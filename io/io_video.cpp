#include "io/io_video.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#ifndef VMOSAIC_DEFAULT_VIDEO
#define VMOSAIC_DEFAULT_VIDEO "data/sample.mp4"
#endif
#ifndef VMOSAIC_INSTALLED_VIDEO
#define VMOSAIC_INSTALLED_VIDEO "/usr/share/vmosaic/sample.mp4"
#endif

namespace {

// Only regular files that can be read go to the capture: the capture
// "opens" some paths it cannot read, and a FIFO or a device (even behind a
// link) would block or never end.
bool IsReadableRegularFile(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return false;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr)
    return false;
  std::fclose(f);
  return true;
}

// The rest of the system works on 8-bit three-channel BGR frames. The FFmpeg
// backend always delivers those, but other capture backends (image
// sequences) hand out grey, BGRA or 16-bit images as stored; bring them to
// the common format instead of letting a later stage reject them.
void ToBgr8(cv::Mat& frame) {
  constexpr double kSixteenToEightBit = 1.0 / 257.0;  // 65535 -> 255
  if (frame.empty() || frame.type() == CV_8UC3)
    return;
  if (frame.depth() != CV_8U && frame.depth() != CV_16U)
    return;  // left for the caller to refuse
  cv::Mat eightBit = frame;
  if (frame.depth() == CV_16U)
    frame.convertTo(eightBit, CV_8U, kSixteenToEightBit);
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

// Files go to FFmpeg and no other backend is tried: a file FFmpeg cannot
// read is "not found" without another library's noise on standard error.
// FFmpeg takes a name that begins like "pipe:" or "http:" for a protocol;
// such a name is a file here, so it is given as "./name".
bool OpenVideoFile(cv::VideoCapture& capture, const std::string& path) {
  static const char kSchemeLetters[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.";
  const size_t scheme = std::strspn(path.c_str(), kSchemeLetters);
  const std::string name = (scheme < path.size() && path[scheme] == ':') ? "./" + path : path;
  try {
    return capture.open(name, cv::CAP_FFMPEG);
  } catch (const cv::Exception&) {
    return false;
  }
}

}  // namespace

void ioVideo::SetNoteSink(NoteSink sink) {
  note_ = std::move(sink);
  sequence_.SetNoteSink(note_);
}

void ioVideo::Note(const std::string& text) {
  if (note_)
    note_(text);
  else
    std::fputs(text.c_str(), stderr);
}

bool ioVideo::WithinFrameBound(long long width, long long height) {
  if (width <= kMaxFrameSide && height <= kMaxFrameSide && width * height <= kMaxFramePixels)
    return true;
  Note(
      cv::format("vmosaic: frames of %lldx%lld pixels are beyond the bound of %d pixels a side "
                 "and %lld pixels in all\n",
                 width, height, kMaxFrameSide, kMaxFramePixels));
  return false;
}

const char* ioVideo::DefaultPath() {
  // The source tree's sample when it is there (a build), else the installed one.
  if (access(VMOSAIC_DEFAULT_VIDEO, R_OK) == 0)
    return VMOSAIC_DEFAULT_VIDEO;
  return VMOSAIC_INSTALLED_VIDEO;
}

ioVideo::~ioVideo() {
  frame_Current.release();
  frame_Previous.release();
}

bool ioVideo::Grab(cv::Mat& frame) {
  if (external_) {
    if (!external_(&frame))
      frame.release();
  } else if (fromSequence_) {
    if (!sequence_.Read(frame) && !sequence_.EndNote().empty())
      earlyEnd_ = {sequence_.EndNote(), sequence_.MembersLeft()};
  } else {
    capture >> frame;
  }
  if (!frame.empty())
    ++framesRead_;
  ToBgr8(frame);
  return !frame.empty();
}

int ioVideo::Input_Video(int argc, char** argv, int /*Id_Database*/, int Id_ScaleProcess) {
  path_Input = (argc >= 2) ? argv[1] : DefaultPath();
  sequence_.SetFrameBound(kMaxFrameSide, kMaxFramePixels);
  // An existing name must be a readable regular file; any other name must be
  // a sequence pattern with at least one member.
  struct stat st {};
  if (stat(path_Input.c_str(), &st) == 0) {
    if (!IsReadableRegularFile(path_Input) || !OpenVideoFile(capture, path_Input))
      return kInputNotFound;
    // Refused before a frame of that size is decoded, where the container tells.
    if (!WithinFrameBound(static_cast<long long>(capture.get(cv::CAP_PROP_FRAME_WIDTH)),
                          static_cast<long long>(capture.get(cv::CAP_PROP_FRAME_HEIGHT)))) {
      return 0;
    }
  } else if (sequence_.Open(path_Input)) {
    fromSequence_ = true;
  } else {
    return kInputNotFound;
  }
  return TakeFirstFrame(Id_ScaleProcess);
}

int ioVideo::OpenFrames(FrameCallback next, const std::string& name) {
  path_Input = name;
  external_ = std::move(next);
  return TakeFirstFrame(0);
}

int ioVideo::TakeFirstFrame(int Id_ScaleProcess) {
  Grab(frame_Current);
  if (frame_Current.empty() || frame_Current.type() != CV_8UC3)
    return 0;
  if (!WithinFrameBound(frame_Current.cols, frame_Current.rows)) {
    frame_Current.release();
    return 0;
  }
  imageW = frame_Current.cols;
  imageH = frame_Current.rows;
  if (Id_ScaleProcess == 1)
    frame_Previous.create(imageH, imageW, CV_8UC3);
  return 1;
}

int ioVideo::Read_NextFrame(int /*Id_Database*/, int /*Id_ScaleProcess*/) {
  frame_Current.copyTo(frame_Previous);
  return ReadFrame(&frame_Current) ? 1 : 0;
}

bool ioVideo::ReadFrame(cv::Mat* frame) {
  if (!Grab(*frame))
    return false;
  if (frame->cols != imageW || frame->rows != imageH) {
    earlyEnd_ = {cv::format("frame size changed from %dx%d to %dx%d", imageW, imageH, frame->cols,
                            frame->rows),
                 FramesLeft() < 0 ? -1 : FramesLeft() + 1};  // this frame is not used
    Note("vmosaic: " + earlyEnd_.reason + "; input ends here\n");
    frame->release();
    return false;
  }
  if (frame->type() != CV_8UC3) {
    earlyEnd_ = {"unsupported frame format", FramesLeft() < 0 ? -1 : FramesLeft() + 1};
    Note("vmosaic: " + earlyEnd_.reason + "; input ends here\n");
    frame->release();
    return false;
  }
  return true;
}

long long ioVideo::FramesLeft() const {
  if (external_)
    return -1;
  if (fromSequence_)
    return sequence_.MembersLeft();
  const double total = capture.get(cv::CAP_PROP_FRAME_COUNT);
  if (!(total > 0.0))
    return -1;
  return std::max(0LL, static_cast<long long>(total) - framesRead_);
}
