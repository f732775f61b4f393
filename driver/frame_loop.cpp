#include "driver/frame_loop.hpp"

#include <algorithm>
#include <cstdio>
#include <opencv2/imgproc.hpp>

#include "driver/signals.hpp"
#include "io/frame_prefetch.hpp"

namespace {

// Frames waiting ahead of the loop, with their features.
constexpr std::size_t kPrefetchDepth = 3;

// The work of a frame that depends on it alone, done by the reading thread
// with an extraction of its own: the scaling down to the work size (when
// given), then the features (when registration is automatic).
io::FramePrefetcher::FrameWork WorkOfFrame(int featureMethod, bool automatic, cv::Size workSize) {
  if (!automatic && workSize.empty())
    return nullptr;
  return [featureMethod, automatic, workSize,
          extraction = FeatureExtraction()](io::PrefetchedFrame* item) mutable {
    if (!workSize.empty()) {
      item->full = std::move(item->frame);
      cv::resize(item->full, item->frame, workSize, 0, 0, cv::INTER_AREA);
    }
    if (!automatic)
      return;
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
                 keepgoing::KeepGoing* keepGoing, std::vector<cv::Mat>* fullKeyFrames) {
  int frameCounter = 1;
  // Registration needs the frames in order; reading them and finding their
  // own features runs ahead on a second thread.
  const bool automatic = panorama.Id_HomographyEstimation == Panorama::kAutomaticRegistration;
  const long long framesAfterFirst = settings.frameLimit > 0 ? settings.frameLimit - 1 : -1;
  io::FramePrefetcher source(video, video.getframe_Current(), framesAfterFirst, kPrefetchDepth,
                             WorkOfFrame(settings.featureMethod, automatic, settings.workSize));
  const bool keepFull = !settings.workSize.empty() && fullKeyFrames != nullptr;
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
    // The first pair makes the previous frame the root; a new node is the
    // current frame. Frames are numbered from 0.
    const bool rootMade = nodesBefore == 0 && panorama.num_Nodes > 0;
    const bool nodeAdded = panorama.num_Nodes > std::max(nodesBefore, 1);
    if (keyFrames != nullptr) {
      if (rootMade)
        keyFrames->push_back(frameCounter - 2);
      if (nodeAdded)
        keyFrames->push_back(frameCounter - 1);
    }
    if (keepFull && rootMade)
      fullKeyFrames->push_back(panorama.frameStore.Keep(previous.full));
    if (keepFull && nodeAdded)
      fullKeyFrames->push_back(panorama.frameStore.Keep(next.full));
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
