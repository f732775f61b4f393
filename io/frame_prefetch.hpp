// Reads the input ahead of its use on a second thread, where each frame's own
// work (what depends on that frame alone) is done too, so that decoding and
// that work overlap with what the caller does frame after frame. At most
// `depth` frames wait, so memory stays bounded; frames come out in input
// order.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <opencv2/core.hpp>
#include <thread>
#include <vector>

#include "io/io_video.hpp"

namespace io {

// One frame and what its work found in it.
struct PrefetchedFrame {
  cv::Mat frame;
  // The frame as read, when the work replaced `frame` by a smaller copy.
  cv::Mat full;
  std::vector<cv::Point2f> corners;
  std::vector<cv::KeyPoint> keypoints;
  cv::Mat descriptors;
};

class FramePrefetcher {
 public:
  using FrameWork = std::function<void(PrefetchedFrame*)>;

  // first: the frame already read (it comes out first, its work done).
  // maxMore >= 0 reads at most that many frames after it. The reading thread
  // takes no asynchronous signal: those stay with the caller's thread.
  FramePrefetcher(ioVideo& video, cv::Mat first, long long maxMore, std::size_t depth,
                  FrameWork work);
  ~FramePrefetcher();
  FramePrefetcher(const FramePrefetcher&) = delete;
  FramePrefetcher& operator=(const FramePrefetcher&) = delete;

  // The next frame in order; false once the input has ended. An exception
  // of the reading thread is thrown here, after the frames before it.
  bool Next(PrefetchedFrame* out);

  // Ends the reading (the frame being read is finished first).
  void Stop();

  // Frames the caller has not taken: the input's FramesLeft plus those read
  // ahead; -1 when the input does not tell. Stops the reading.
  long long FramesLeft();

 private:
  void Run(cv::Mat first, long long maxMore);

  ioVideo& video_;
  const std::size_t depth_;
  const FrameWork work_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<PrefetchedFrame> queue_;
  bool ended_ = false;  // no frame will be added
  std::atomic<bool> stop_{false};
  long long discarded_ = 0;  // frames read after the stop
  std::exception_ptr failure_;
  std::thread reader_;
};

}  // namespace io
