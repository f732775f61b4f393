// Passing over bad frames: the bookkeeping of skipped runs, the key-frame
// index, the frame checks, and whole runs over rendered footage with faults
// whose true camera motion is known.
#include "panorama/keep_going.hpp"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>
#include <random>

#include "tests/support/test_support.hpp"

namespace {

using testsupport::MaxCornerError;
using testsupport::Pose;

const cv::Size kSize(320, 240);

struct SkipCase {
  std::string name;
  std::vector<std::pair<int, std::string>> skips;
  std::vector<std::string> notes;
  int unskipFrom = -1;  // frames taken back out of the open run before it ends
};

class SkipLogTest : public testing::TestWithParam<SkipCase> {};

TEST_P(SkipLogTest, OneNotePerRunOfConsecutiveFramesWithItsReasons) {
  std::vector<std::string> notes;
  keepgoing::SkipLog log([&notes](const std::string& note) { notes.push_back(note); });
  for (const auto& [frame, reason] : GetParam().skips)
    log.Skip(frame, reason);
  if (GetParam().unskipFrom >= 0)
    log.Unskip(GetParam().unskipFrom);
  log.Close();
  log.Close();  // a second close notes nothing
  EXPECT_EQ(notes, GetParam().notes);
  ASSERT_EQ(log.runs().size(), notes.size());
}

INSTANTIATE_TEST_SUITE_P(
    Runs, SkipLogTest,
    testing::Values(SkipCase{"Nothing", {}, {}},
                    SkipCase{
                        "OneFrame", {{7, "flat frame"}}, {"vmosaic: frame 7 skipped (flat frame)"}},
                    SkipCase{"ARunWithTwoReasons",
                             {{3, "flat frame"}, {4, "blurred frame"}, {5, "flat frame"}},
                             {"vmosaic: frames 3-5 skipped (flat frame, blurred frame)"}},
                    SkipCase{"AGapEndsARun",
                             {{3, "not registered"}, {5, "not registered"}},
                             {"vmosaic: frame 3 skipped (not registered)",
                              "vmosaic: frame 5 skipped (not registered)"}},
                    SkipCase{"TheTailOfARunTakenBack",
                             {{3, "flat frame"}, {4, "not registered"}, {5, "not registered"}},
                             {"vmosaic: frame 3 skipped (flat frame, not registered)"},
                             4},
                    SkipCase{"AWholeRunTakenBack", {{3, "not registered"}}, {}, 3}),
    [](const testing::TestParamInfo<SkipCase>& info) { return info.param.name; });

// Frames of the test photo at the given centres (zoom 0.5: 640x480 photo
// pixels each), with their true photo-to-frame homographies.
testsupport::Pan FramesAt(const std::vector<cv::Point2d>& centres) {
  testsupport::Pan pan;
  for (const cv::Point2d& c : centres) {
    const testsupport::Pan one =
        testsupport::RenderPan(1, kSize, Pose(c.x, c.y, 0.5), Pose(c.x, c.y, 0.5));
    pan.frames.push_back(one.frames[0]);
    pan.photoToFrame.push_back(one.photoToFrame[0]);
  }
  return pan;
}

TEST(KeyFrameIndex, FindsTheKeyFrameShownAgainAndItsHomography) {
  const testsupport::Pan pan =
      FramesAt({{500, 700}, {900, 720}, {1300, 700}, {1700, 760}, {2100, 700}, {1320, 690}});
  keyframes::KeyFrameIndex index(64u << 20);
  for (int k = 0; k < 5; ++k)
    index.Add(0, k + 1, keyframes::Describe(pan.frames[static_cast<size_t>(k)]));
  const keyframes::DescribedFrame query = keyframes::Describe(pan.frames[5]);
  const auto found = index.Lookup(query, 2, keepgoing::Settings().newSegmentAfter);
  ASSERT_FALSE(found.empty());
  EXPECT_EQ(index.at(found[0].entry).id, 3);
  const keyframes::DescriptorMatch match =
      keyframes::MatchDescribed(index.at(found[0].entry).described, query);
  ASSERT_FALSE(match.H.empty());
  EXPECT_LT(MaxCornerError(match.H, pan.Between(2, 5), kSize.width, kSize.height), 30.0);
  const cv::Mat refined = keyframes::RefineByTracking(pan.frames[2], pan.frames[5], match.H);
  EXPECT_LT(MaxCornerError(refined, pan.Between(2, 5), kSize.width, kSize.height), 1.0);
  // A flat frame finds nothing; a full index drops its oldest entries.
  const cv::Mat grey(kSize, CV_8UC3, cv::Scalar::all(128));
  EXPECT_TRUE(index.Lookup(keyframes::Describe(grey), 2, 1).empty());
  keyframes::KeyFrameIndex small(index.at(0).described.Bytes() + 1);
  small.Add(0, 1, index.at(0).described);
  small.Add(0, 2, index.at(1).described);
  EXPECT_TRUE(small.size() == 1 && small.Contains(0, 2) && small.Bytes() <= index.Bytes());
}

TEST(FrameScreening, FlatBlurredAndUnconfirmedFramesAreTold) {
  const testsupport::Pan pan = FramesAt({{900, 700}, {930, 705}});
  const screening::FrameLook a = screening::Look(pan.frames[0]);
  const screening::FrameLook b = screening::Look(pan.frames[1]);
  EXPECT_FALSE(screening::IsFlat(a));
  EXPECT_TRUE(screening::IsFlat(screening::Look(cv::Mat(kSize, CV_8UC3, cv::Scalar(0, 0, 0)))));
  screening::SharpnessHistory history;
  cv::Mat blurred;
  cv::blur(pan.frames[1], blurred, cv::Size(25, 1));
  const double blur = screening::Look(blurred).sharpness;
  EXPECT_TRUE(history.IsBlurred(blur, a.sharpness));  // against one good frame
  for (int k = 0; k < 3; ++k)
    history.Add(a.sharpness);
  EXPECT_FALSE(history.IsBlurred(b.sharpness, 0.0));
  EXPECT_TRUE(history.IsBlurred(blur, 0.0));
  EXPECT_TRUE(screening::Confirms(screening::PairAgreement(a, b, pan.Between(0, 1))));
  const cv::Mat wrong = testsupport::Translation(40, -30) * pan.Between(0, 1);
  EXPECT_FALSE(screening::Confirms(screening::PairAgreement(a, b, wrong)));
}

// A run of KeepGoing over frames; what it placed and skipped.
struct Outcome {
  std::vector<int> placed;   // per frame: segment + 1, or 0
  std::vector<int> skipped;  // per frame: 1 when in a skipped run
  std::vector<keepgoing::Segment>* segments = nullptr;
};

class Runner {
 public:
  Outcome Run(const std::vector<cv::Mat>& frames, float overlap = 70.0f, int features = 0) {
    keepgoing::Settings settings;
    settings.overlapThreshold = overlap;
    settings.featureMethod = features;
    keepGoing = std::make_unique<keepgoing::KeepGoing>(
        first, io::SilentOperator(), 1 << 30, settings,
        [this](const std::string& note) { notes.push_back(note); });
    for (size_t f = 1; f < frames.size(); ++f)
      keepGoing->Process(static_cast<int>(f), frames[f - 1], frames[f]);
    keepGoing->Finish();
    Outcome out;
    out.placed.assign(frames.size(), 0);
    out.skipped.assign(frames.size(), 0);
    out.segments = &keepGoing->segments();
    for (size_t s = 0; s < out.segments->size(); ++s) {
      for (int f : (*out.segments)[s].frames)
        out.placed[static_cast<size_t>(f)] += static_cast<int>(s) + 1;
    }
    for (const keepgoing::SkippedRun& run : keepGoing->skipped()) {
      for (int f = run.first; f <= run.last; ++f)
        ++out.skipped[static_cast<size_t>(f)];
    }
    return out;
  }
  Panorama first;
  std::unique_ptr<keepgoing::KeepGoing> keepGoing;
  std::vector<std::string> notes;
};

enum class Fault {
  kNone,
  kFlat,
  kBlack,
  kOtherScene,
  kBlur
};

cv::Mat Spoil(const cv::Mat& frame, Fault fault, const cv::Matx33d& photoToFrame) {
  switch (fault) {
    case Fault::kFlat:
      return cv::Mat(frame.size(), frame.type(), cv::Scalar::all(128));
    case Fault::kBlack:
      return cv::Mat(frame.size(), frame.type(), cv::Scalar::all(0));
    case Fault::kOtherScene:
      return render::RenderFrame(render::LoadScene("facade"), photoToFrame, frame.size());
    case Fault::kBlur: {
      cv::Mat blurred;
      cv::blur(frame, blurred, cv::Size(31, 1));
      return blurred;
    }
    case Fault::kNone:
      break;
  }
  return frame;
}

// Property: whatever the faults, every frame is placed or reported (never
// both), no spoilt frame is placed, and every placed key frame sits where the
// truth puts it relative to its segment's root.
TEST(KeepGoingProperty, EveryFrameIsPlacedOrReportedAndPlacementsFollowTheTruth) {
  const testsupport::Pan pan =
      testsupport::RenderPan(40, kSize, Pose(600, 760, 0.5), Pose(1380, 780, 0.5));
  for (unsigned seed = 1; seed <= 3; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::vector<Fault> faults(pan.frames.size(), Fault::kNone);
    std::vector<cv::Mat> frames = pan.frames;
    for (size_t f = 1; f < frames.size(); ++f) {
      if (random() % 5 == 0) {
        faults[f] = static_cast<Fault>(1 + random() % 4);
        frames[f] = Spoil(frames[f], faults[f], pan.photoToFrame[f]);
      }
    }
    Runner runner;
    const Outcome out = runner.Run(frames);
    for (size_t f = 0; f < frames.size(); ++f) {
      SCOPED_TRACE("frame " + std::to_string(f));
      EXPECT_EQ((out.placed[f] > 0) + out.skipped[f], 1);
      EXPECT_TRUE(faults[f] == Fault::kNone || out.placed[f] == 0);
    }
    ASSERT_GE(out.segments->size(), 1u);
    const keepgoing::Segment& segment = out.segments->front();
    Panorama& p = *segment.panorama;
    for (_treeNode* node : p.Vect_Nodes) {
      const size_t frame =
          static_cast<size_t>(segment.keyFrames[static_cast<size_t>(node->id - 1)]);
      const size_t root = static_cast<size_t>(segment.keyFrames[0]);
      EXPECT_LT(MaxCornerError(p.HomographyBetween(p.Vect_Nodes[0], node), pan.Between(root, frame),
                               kSize.width, kSize.height),
                3.0)
          << "key frame at video frame " << frame;
    }
  }
}

// A lens cap while the camera swings back: the frames after it relocalise
// onto the key frames filmed before and continue the one mosaic (corners and
// SIFT features alike).
class LensCap : public testing::TestWithParam<int> {};

TEST_P(LensCap, ReturnAfterItContinuesTheMosaic) {
  std::vector<render::Waypoint> path = {{0, Pose(600, 760, 0.5)},
                                        {20, Pose(1000, 760, 0.5)},
                                        {28, Pose(700, 770, 0.5)},
                                        {45, Pose(1300, 770, 0.5)}};
  std::vector<cv::Mat> frames;
  std::vector<cv::Matx33d> truth;
  for (int f = 0; f <= 45; ++f) {
    truth.push_back(render::PhotoToFrame(render::PoseAt(path, f), kSize));
    frames.push_back(f > 20 && f < 28
                         ? cv::Mat(kSize, CV_8UC3, cv::Scalar::all(0))
                         : render::RenderFrame(testsupport::TestPhoto(), truth.back(), kSize));
  }
  Runner runner;
  const Outcome out = runner.Run(frames, 70.0f, GetParam());
  ASSERT_EQ(out.segments->size(), 1u);
  EXPECT_EQ(std::count(out.skipped.begin(), out.skipped.end(), 1), 7);
  const keepgoing::Segment& segment = out.segments->front();
  EXPECT_EQ(segment.lastFrame, 45);
  Panorama& p = *segment.panorama;
  for (_treeNode* node : p.Vect_Nodes) {
    const size_t frame = static_cast<size_t>(segment.keyFrames[static_cast<size_t>(node->id - 1)]);
    EXPECT_LT(MaxCornerError(p.HomographyBetween(p.Vect_Nodes[0], node),
                             cv::Mat(truth[frame] * truth[0].inv()), kSize.width, kSize.height),
              3.0)
        << "key frame at video frame " << frame;
  }
}

INSTANTIATE_TEST_SUITE_P(KeepGoingRuns, LensCap, testing::Values(0, 1),
                         [](const auto& info) { return info.param == 0 ? "corners" : "sift"; });

// The camera jumps to ground not filmed yet (a second segment starts there),
// then pans back over the first: the two segments become one mosaic, each
// key frame where the truth puts it.
TEST(KeepGoingRuns, ASegmentThatComesBackOverAnEarlierOneIsMergedIntoIt) {
  std::vector<render::Waypoint> path = {{0, Pose(600, 760, 0.5)},
                                        {15, Pose(900, 760, 0.5)},
                                        {16, Pose(1800, 770, 0.5)},
                                        {45, Pose(1000, 770, 0.5)}};
  std::vector<cv::Mat> frames;
  std::vector<cv::Matx33d> truth;
  for (int f = 0; f <= 45; ++f) {
    truth.push_back(render::PhotoToFrame(render::PoseAt(path, f), kSize));
    frames.push_back(render::RenderFrame(testsupport::TestPhoto(), truth.back(), kSize));
  }
  Runner runner;
  const Outcome out = runner.Run(frames);
  std::vector<const keepgoing::Segment*> mosaics;
  for (const keepgoing::Segment& segment : *out.segments) {
    if (segment.mergedInto < 0 && !segment.keyFrames.empty())
      mosaics.push_back(&segment);
  }
  ASSERT_EQ(mosaics.size(), 1u);
  EXPECT_EQ(mosaics[0]->lastFrame, 45);
  EXPECT_THAT(runner.notes,
              testing::Contains(testing::MatchesRegex(
                  "vmosaic: the mosaic of frames 16-[0-9]+ joins the one of frame 0")));
  Panorama& p = *mosaics[0]->panorama;
  EXPECT_GT(p.num_Nodes, 4);
  for (_treeNode* node : p.Vect_Nodes) {
    const size_t frame =
        static_cast<size_t>(mosaics[0]->keyFrames[static_cast<size_t>(node->id - 1)]);
    EXPECT_LT(MaxCornerError(p.HomographyBetween(p.Vect_Nodes[0], node),
                             cv::Mat(truth[frame] * truth[0].inv()), kSize.width, kSize.height),
              3.0)
        << "key frame at video frame " << frame;
  }
}

}  // namespace
