#include "driver/frame_loop.hpp"

#include <algorithm>
#include <cstdio>

#include "driver/signals.hpp"
#include "io/frame_prefetch.hpp"

namespace {

// Frames waiting ahead of the loop, with their features.
constexpr std::size_t kPrefetchDepth = 3;

// The features of a frame that depend on it alone, found by the reading
// thread with an extraction of its own.
io::FramePrefetcher::FrameWork FeaturesOfFrame(int featureMethod) {
  return [featureMethod, extraction = FeatureExtraction()](io::PrefetchedFrame* item) mutable {
    if (featureMethod == Panorama::kCornerFeatures) {
      item->corners =
          extraction.goodFeaturesToTrack(item->frame, 1, item->frame.cols, item->frame.rows);
    } else if (featureMethod == Panorama::kSiftFeatures) {
      item->keypoints = extraction.SIFTFeaturesAndDescriptor(item->frame, &item->descriptors);
    }
  };
}

void OfferFeatures(FeatureExtraction& extraction, const io::PrefetchedFrame& item,
                   int featureMethod) {
  OfferedFeatures offered;
  offered.frame = item.frame;
  offered.hasCorners = featureMethod == Panorama::kCornerFeatures;
  offered.corners = item.corners;
  offered.hasSift = featureMethod == Panorama::kSiftFeatures;
  offered.keypoints = item.keypoints;
  offered.descriptors = item.descriptors;
  extraction.Offer(std::move(offered));
}

}  // namespace

int RunFrameLoop(Panorama& panorama, ioVideo& video, const LoopSettings& settings,
                 vmosaic::Observer& observer, std::vector<int>* keyFrames, StoppedEarly* stopped,
                 keepgoing::KeepGoing* keepGoing) {
  int frameCounter = 1;
  // Registration needs the frames in order; reading them and finding their
  // own features runs ahead on a second thread.
  const bool automatic = panorama.Id_HomographyEstimation == Panorama::kAutomaticRegistration;
  const long long framesAfterFirst = settings.frameLimit > 0 ? settings.frameLimit - 1 : -1;
  io::FramePrefetcher source(video, video.getframe_Current(), framesAfterFirst, kPrefetchDepth,
                             automatic ? FeaturesOfFrame(settings.featureMethod) : nullptr);
  // Inside the loop's bracket: a first Ctrl-C while the first frame's
  // features are found ends the input as it would a pair later.
  signals::EnterFrameLoop();
  io::PrefetchedFrame previous;
  source.Next(&previous);
  if (automatic)
    OfferFeatures(panorama.featureExtraction, previous, settings.featureMethod);
  for (;;) {
    observer.Frames(frameCounter, panorama.num_Nodes);
    if (settings.frameLimit > 0 && frameCounter >= settings.frameLimit)
      break;
    io::PrefetchedFrame next;
    const bool readOk = source.Next(&next);
    // Esc or a first Ctrl-C is looked for before the read result.
    if (observer.EndInput())
      break;
    if (!readOk)
      break;
    ++frameCounter;
    if (automatic)
      OfferFeatures(panorama.featureExtraction, next, settings.featureMethod);
    if (keepGoing != nullptr) {
      keepGoing->Process(frameCounter - 1, previous.frame, next.frame);
      previous = std::move(next);
      continue;
    }
    const int nodesBefore = panorama.num_Nodes;
    panorama.ProcessTwoImages_AVL(previous.frame, next.frame, settings.overlapThreshold,
                                  settings.featureMethod);
    if (keyFrames != nullptr) {
      // The first pair makes the previous frame the root; a new node is the
      // current frame. Frames are numbered from 0.
      if (nodesBefore == 0 && panorama.num_Nodes > 0)
        keyFrames->push_back(frameCounter - 2);
      if (panorama.num_Nodes > std::max(nodesBefore, 1))
        keyFrames->push_back(frameCounter - 1);
    }
    previous = std::move(next);
    if (panorama.getban_insert() == 0) {
      StoppedEarly refused{frameCounter - 1, source.FramesLeft()};
      observer.EndLine();
      observer.Note(io::Format(
          "vmosaic: frame %d could not be inserted into the frame tree; the input ends there%s\n",
          refused.frame,
          refused.framesUnread >= 0
              ? io::Format(" (%lld frames unread)", refused.framesUnread).c_str()
              : " (the rest of the input is unread)"));
      if (stopped != nullptr)
        *stopped = refused;
      break;
    }
  }
  signals::LeaveFrameLoop();
  return frameCounter;
}
