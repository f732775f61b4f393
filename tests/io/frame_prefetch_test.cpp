// The prefetching frame source: frames in input order with their work done,
// the frame limit, a stop with the queue full (no hang, unread frames
// counted, a signal left to the caller's thread), and a failure of the work
// handed over after the frames before it.
#include "io/frame_prefetch.hpp"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <stdexcept>

#include "tests/support/test_support.hpp"

namespace {

constexpr int kFrames = 8;

// An 8-frame lossless pan, opened by `video`; returns its frames.
const std::vector<cv::Mat>& OpenPan(ioVideo& video) {
  static const testsupport::ScratchDir scratch("frame_prefetch_test_");
  static const std::vector<cv::Mat> frames =
      testsupport::SidewaysPan(kFrames, cv::Size(96, 64), 0.5, 900, 800, 6).frames;
  static std::string path = scratch.file("pan.mkv");
  static const bool written = render::WriteVideo(path, frames, 10.0);
  EXPECT_TRUE(written);
  std::string program = "vmosaic";
  char* argv[] = {program.data(), path.data(), nullptr};
  EXPECT_EQ(video.Input_Video(2, argv, 2, 1), 1);
  return frames;
}

void MeanOfFrame(io::PrefetchedFrame* item) {
  item->descriptors = cv::Mat(cv::mean(item->frame));
}

TEST(FramePrefetch, FramesComeInOrderWithTheirWorkUpToTheLimit) {
  struct Case {
    long long maxMore;
    std::size_t depth;
    int expected;
  };
  for (const Case& c : {Case{-1, 1, kFrames}, Case{-1, 3, kFrames}, Case{0, 2, 1}, Case{4, 2, 5},
                        Case{20, 3, kFrames}}) {
    SCOPED_TRACE(testing::Message() << "maxMore " << c.maxMore << ", depth " << c.depth);
    ioVideo video;
    const std::vector<cv::Mat>& frames = OpenPan(video);
    io::FramePrefetcher source(video, video.getframe_Current(), c.maxMore, c.depth, MeanOfFrame);
    io::PrefetchedFrame item;
    int taken = 0;
    for (; taken < kFrames && source.Next(&item); ++taken) {
      EXPECT_TRUE(testsupport::SameBits(item.frame, frames[taken])) << "frame " << taken;
      EXPECT_TRUE(testsupport::SameBits(item.descriptors, cv::Mat(cv::mean(frames[taken]))));
    }
    EXPECT_EQ(taken, c.expected);
    EXPECT_FALSE(source.Next(&item));
  }
}

std::atomic<long> signalledThread{0};
void NoteThread(int) {
  signalledThread = syscall(SYS_gettid);
}

TEST(FramePrefetch, StopWithTheQueueFullCountsFramesNotTaken) {
  constexpr int kDepth = 2;
  ioVideo video;
  OpenPan(video);
  std::atomic<int> worked{0};
  io::FramePrefetcher source(video, video.getframe_Current(), -1, kDepth,
                             [&worked](io::PrefetchedFrame*) { ++worked; });
  io::PrefetchedFrame item;
  ASSERT_TRUE(source.Next(&item));
  // One frame taken, kDepth waiting and one more read that cannot be queued.
  while (worked < kDepth + 2)
    std::this_thread::yield();
  struct sigaction action {
  }, previous{};
  action.sa_handler = NoteThread;
  sigaction(SIGUSR1, &action, &previous);
  ASSERT_EQ(kill(getpid(), SIGUSR1), 0);
  sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_EQ(signalledThread, syscall(SYS_gettid));
  EXPECT_EQ(source.FramesLeft(), kFrames - 1);
  EXPECT_EQ(worked, kDepth + 2);
}

TEST(FramePrefetch, AFailureOfTheWorkComesAfterTheFramesBeforeIt) {
  ioVideo video;
  const std::vector<cv::Mat>& frames = OpenPan(video);
  int seen = 0;
  io::FramePrefetcher source(video, video.getframe_Current(), -1, 2, [&seen](auto*) {
    if (seen++ == 3)
      throw std::runtime_error("work failed");
  });
  io::PrefetchedFrame item;
  for (int k = 0; k < 3; ++k)
    EXPECT_TRUE(source.Next(&item) && testsupport::SameBits(item.frame, frames[k]));
  EXPECT_THROW(source.Next(&item), std::runtime_error);
}

}  // namespace
