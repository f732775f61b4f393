#include "io/frame_prefetch.hpp"

#include <pthread.h>

#include <csignal>
#include <utility>

namespace io {
namespace {

// The signals the program handles asynchronously; blocked while the reading
// thread is created, which keeps that mask.
sigset_t AsynchronousSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE})
    sigaddset(&set, s);
  return set;
}

}  // namespace

FramePrefetcher::FramePrefetcher(ioVideo& video, cv::Mat first, long long maxMore,
                                 std::size_t depth, FrameWork work)
    : video_(video), depth_(depth > 0 ? depth : 1), work_(std::move(work)) {
  const sigset_t blocked = AsynchronousSignals();
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  reader_ = std::thread(&FramePrefetcher::Run, this, std::move(first), maxMore);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

FramePrefetcher::~FramePrefetcher() {
  Stop();
}

void FramePrefetcher::Run(cv::Mat first, long long maxMore) {
  try {
    for (long long read = 0;; ++read) {
      PrefetchedFrame item;
      if (read == 0) {
        item.frame = std::move(first);
      } else if (maxMore >= 0 && read > maxMore) {
        break;
      } else if (!video_.ReadFrame(&item.frame)) {
        break;
      }
      // After a stop, a frame's work would only delay the caller.
      if (work_ && !stop_)
        work_(&item);
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return stop_ || queue_.size() < depth_; });
      if (stop_) {
        // Read from the input but never taken: still unread for the caller.
        discarded_ += read > 0 ? 1 : 0;
        break;
      }
      queue_.push_back(std::move(item));
      changed_.notify_all();
    }
  } catch (...) {
    const std::lock_guard<std::mutex> lock(mutex_);
    failure_ = std::current_exception();
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  ended_ = true;
  changed_.notify_all();
}

bool FramePrefetcher::Next(PrefetchedFrame* out) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return !queue_.empty() || ended_; });
  if (queue_.empty()) {
    if (failure_)
      std::rethrow_exception(std::exchange(failure_, nullptr));
    return false;
  }
  *out = std::move(queue_.front());
  queue_.pop_front();
  changed_.notify_all();
  return true;
}

void FramePrefetcher::Stop() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    changed_.notify_all();
  }
  if (reader_.joinable())
    reader_.join();
}

long long FramePrefetcher::FramesLeft() {
  Stop();
  const long long left = video_.FramesLeft();
  if (left < 0)
    return -1;
  const std::lock_guard<std::mutex> lock(mutex_);
  return left + static_cast<long long>(queue_.size()) + discarded_;
}

}  // namespace io
