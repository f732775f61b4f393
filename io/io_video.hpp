// The frame source: a sliding pair of frames (previous, current) read from a
// video file (or any input the OpenCV capture opens).
#pragma once

#include <functional>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>
#include <string>

#include "io/image_sequence.hpp"

class ioVideo {
 public:
  int imageW = 0;  // columns of the first frame
  int imageH = 0;  // rows of the first frame
  cv::VideoCapture capture;
  cv::Mat frame_Current;   // the frame last read; empty after the end
  cv::Mat frame_Previous;  // deep copy of the frame current before the last read
  std::string path_Input;

  ioVideo() = default;
  ~ioVideo();

  // Opens argv[1] (or the default path when argc < 2) and reads the first
  // frame. Returns 1 on success, 0 when the first frame has no data or its
  // size is beyond the bound below (a note on standard error), and
  // kInputNotFound when the input cannot be opened (the program then says
  // "Video File is not found..." and ends with status 1). The input is a
  // readable regular file (a video) or, for a name that does not exist, an
  // image sequence pattern with at least one member (io/image_sequence.hpp).
  static constexpr int kInputNotFound = -1;
  int Input_Video(int argc, char** argv, int Id_Database, int Id_ScaleProcess);

  // Takes its frames from next instead (8-bit BGR, one size; false at the
  // end), named name in reports, and reads the first frame. Returns 1, or 0
  // as Input_Video does.
  using FrameCallback = std::function<bool(cv::Mat* frame)>;
  int OpenFrames(FrameCallback next, const std::string& name);

  // Shifts the pair by one frame; returns 1 when frame_Current holds a frame.
  // Frames are delivered as 8-bit BGR (grey, BGRA and 16-bit frames of image
  // sequences are converted). A frame whose size differs from the first ends
  // the input (a note goes to standard error) and 0 is returned.
  int Read_NextFrame(int Id_Database, int Id_ScaleProcess);

  // The next frame into *frame, checked as Read_NextFrame checks it, without
  // touching the pair: a fresh (empty) *frame gets pixels of its own.
  bool ReadFrame(cv::Mat* frame);

  // Headers sharing the pixels; valid until the next Read_NextFrame.
  cv::Mat getframe_Current() { return frame_Current; }
  cv::Mat getframe_Previous() { return frame_Previous; }

  // Frames (or sequence members) left unread; -1 when the input does not
  // tell.
  long long FramesLeft() const;

  // Why the input ended before its normal end (a sequence member missing,
  // unreadable or refused, a frame of another size), with the frames then
  // left unread (-1: not told); an empty reason when it did not.
  struct EarlyEnd {
    std::string reason;
    long long framesUnread = -1;
  };
  const EarlyEnd& InputEndedEarly() const { return earlyEnd_; }

  // Where notes go (the input ends early, frames beyond the bound; standard
  // error when unset). Called from the thread that reads.
  using NoteSink = std::function<void(const std::string& text)>;
  void SetNoteSink(NoteSink sink);

  // Path used when none is given on the command line.
  static const char* DefaultPath();

  // The largest frames read: those of a larger input could not be composed
  // (the canvas has the same bound) and are refused before they are
  // processed, where the container tells their size before they are decoded.
  static constexpr int kMaxFrameSide = 32768;
  static constexpr long long kMaxFramePixels = 64'000'000;

 private:
  // The next frame from the video or the sequence, as 8-bit BGR.
  bool Grab(cv::Mat& frame);

  // The first frame read, checked and sized.
  int TakeFirstFrame(int Id_ScaleProcess);

  ImageSequence sequence_;
  bool fromSequence_ = false;
  FrameCallback external_;  // set: frames come from it
  NoteSink note_;
  void Note(const std::string& text);
  bool WithinFrameBound(long long width, long long height);
  long long framesRead_ = 0;
  EarlyEnd earlyEnd_;
};
