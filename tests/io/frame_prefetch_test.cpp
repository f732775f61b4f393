// The prefetching frame source: frames in input order with their work done,
// the frame limit, a stop with the queue full (no hang, unread frames
// counted), signals left to the caller's thread, and a failure of the work
// handed over in order.
#include "io/frame_prefetch.hpp"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <stdexcept>

#include "tests/support/test_support.hpp"

namespace {

using testsupport::SameBits;

constexpr int kFrames = 8;

class FramePrefetchTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch_ = new testsupport::ScratchDir("frame_prefetch_test_");
    frames_ = testsupport::SidewaysPan(kFrames, cv::Size(96, 64), 0.5, 900, 800, 6).frames;
    ASSERT_TRUE(render::WriteVideo(scratch_->file("pan.mkv"), frames_, 10.0));
  }
  static void TearDownTestSuite() { delete scratch_; }

  static void Open(ioVideo& video) {
    std::string program = "vmosaic", path = scratch_->file("pan.mkv");
    char* argv[] = {program.data(), path.data(), nullptr};
    ASSERT_EQ(video.Input_Video(2, argv, 2, 1), 1);
  }

  static inline testsupport::ScratchDir* scratch_ = nullptr;
  static inline std::vector<cv::Mat> frames_;
};

// The work's result: the mean of the frame, so a frame paired with another
// frame's result shows.
void MeanOfFrame(io::PrefetchedFrame* item) {
  const cv::Scalar mean = cv::mean(item->frame);
  item->corners = {cv::Point2f(static_cast<float>(mean[0]), static_cast<float>(mean[1]))};
}

TEST_F(FramePrefetchTest, FramesComeInOrderWithTheirWorkUpToTheLimit) {
  struct Case {
    long long maxMore;
    std::size_t depth;
    int expected;
  };
  for (const Case& c : {Case{-1, 1, kFrames}, Case{-1, 3, kFrames}, Case{0, 2, 1}, Case{4, 2, 5},
                        Case{20, 3, kFrames}}) {
    SCOPED_TRACE(testing::Message() << "maxMore " << c.maxMore << ", depth " << c.depth);
    ioVideo video;
    ASSERT_NO_FATAL_FAILURE(Open(video));
    io::FramePrefetcher source(video, video.getframe_Current(), c.maxMore, c.depth, MeanOfFrame);
    io::PrefetchedFrame item;
    int taken = 0;
    for (; source.Next(&item); ++taken) {
      ASSERT_LT(taken, kFrames);
      EXPECT_TRUE(SameBits(item.frame, frames_[taken])) << "frame " << taken;
      io::PrefetchedFrame expected;
      expected.frame = frames_[taken];
      MeanOfFrame(&expected);
      EXPECT_EQ(item.corners, expected.corners) << "frame " << taken;
    }
    EXPECT_EQ(taken, c.expected);
    EXPECT_FALSE(source.Next(&item));
  }
}

std::atomic<long> signalledThread{0};
void NoteThread(int) {
  signalledThread = syscall(SYS_gettid);
}

// The reader blocks on the full queue; a signal to the process then runs on
// the caller's thread, and stopping neither hangs nor loses count of the
// frames read ahead.
TEST_F(FramePrefetchTest, StopWithTheQueueFullCountsFramesNotTaken) {
  constexpr std::size_t kDepth = 2;
  ioVideo video;
  ASSERT_NO_FATAL_FAILURE(Open(video));
  std::atomic<int> worked{0};
  io::FramePrefetcher source(video, video.getframe_Current(), -1, kDepth,
                             [&worked](io::PrefetchedFrame*) { ++worked; });
  io::PrefetchedFrame item;
  ASSERT_TRUE(source.Next(&item));
  // One frame taken, kDepth waiting and one more read that cannot be queued.
  while (worked < static_cast<int>(kDepth) + 2)
    std::this_thread::yield();
  struct sigaction action {
  }, previous{};
  action.sa_handler = NoteThread;
  sigaction(SIGUSR1, &action, &previous);
  ASSERT_EQ(kill(getpid(), SIGUSR1), 0);
  sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_EQ(signalledThread, syscall(SYS_gettid));
  EXPECT_EQ(source.FramesLeft(), kFrames - 1);
  EXPECT_EQ(worked, static_cast<int>(kDepth) + 2);
}

TEST_F(FramePrefetchTest, AFailureOfTheWorkComesAfterTheFramesBeforeIt) {
  ioVideo video;
  ASSERT_NO_FATAL_FAILURE(Open(video));
  int seen = 0;
  io::FramePrefetcher source(video, video.getframe_Current(), -1, 2, [&seen](io::PrefetchedFrame*) {
    if (seen++ == 3)
      throw std::runtime_error("work failed");
  });
  io::PrefetchedFrame item;
  for (int k = 0; k < 3; ++k) {
    ASSERT_TRUE(source.Next(&item));
    EXPECT_TRUE(SameBits(item.frame, frames_[k]));
  }
  EXPECT_THROW(source.Next(&item), std::runtime_error);
}

}  // namespace
