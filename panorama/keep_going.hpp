// Passing over bad frames instead of ending the input (--keep-going): a frame
// that cannot be registered or inserted changes nothing and is reported; the
// frames after it are registered against the last frame accepted (tracking,
// then descriptors for large motion), then against the latest key frames,
// then looked up by appearance among every key frame seen; a run of frames
// that fit nowhere starts a new segment with a frame tree of its own. A
// segment that finds its way back onto an earlier one is merged into it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "features/frame_screening.hpp"
#include "features/keyframe_index.hpp"
#include "io/operator.hpp"
#include "panorama/panorama.hpp"

namespace keepgoing {

// Consecutive skipped frames, with the reasons they were skipped (distinct,
// in order of first occurrence, joined by ", ").
struct SkippedRun {
  int first = 0;
  int last = 0;
  std::string reason;
};

// Gathers skipped frames into runs; a run is noted (one line) when it ends.
class SkipLog {
 public:
  explicit SkipLog(std::function<void(const std::string&)> note = nullptr)
      : note_(std::move(note)) {}
  // Frame numbers arrive in increasing order; a gap ends the open run.
  void Skip(int frame, const std::string& reason);
  // Takes the frames from `from` on out of the open run (they are to be
  // tried again).
  void Unskip(int from);
  // Ends the open run, if any (a frame was accepted, or the input ended).
  void Close();
  const std::vector<SkippedRun>& runs() const { return runs_; }
  const std::function<void(const std::string&)>& note() const { return note_; }
  // The note for a run: "vmosaic: frames 3-7 skipped (flat frame)".
  static std::string Note(const SkippedRun& run);

 private:
  std::function<void(const std::string&)> note_;
  std::vector<SkippedRun> runs_;
  bool open_ = false;
};

// One mosaic: a frame tree of its own and the frames it holds.
struct Segment {
  std::unique_ptr<Panorama> owned;  // null for the run's first panorama
  Panorama* panorama = nullptr;
  int firstFrame = -1;  // frames from 0; -1 while it holds none
  int lastFrame = -1;
  std::vector<int> keyFrames;  // frame number of node id k at k - 1
  std::vector<int> frames;     // every frame placed, chained or key
  int mergedInto = -1;         // index of the segment that took its key frames
  std::vector<std::string> outputs;
};

struct Settings {
  float overlapThreshold = 100.0f;
  int featureMethod = 0;
  // Frames in a row that register nowhere before a new segment starts.
  int newSegmentAfter = 5;
  // Failed frames in a row before every key frame is searched.
  int relocaliseAfter = 2;
  size_t indexCapacityBytes = 32u << 20;
};

class KeepGoing {
 public:
  // first is the run's panorama (segment 1); later segments get their own,
  // with op and whatever is left of budgetBytes.
  KeepGoing(Panorama& first, io::Operator& op, std::int64_t budgetBytes, Settings settings,
            std::function<void(const std::string&)> note);
  // Frame `frame` (from 1; previous is frame - 1, read only on the first call).
  void Process(int frame, const cv::Mat& previous, const cv::Mat& current);
  // Ends the input: the open skipped run is noted; a segment with no key
  // frame is dropped, its frames reported as skipped.
  void Finish();

  std::vector<Segment>& segments() { return segments_; }
  const std::vector<SkippedRun>& skipped() const { return skipLog_.runs(); }
  const keyframes::KeyFrameIndex& index() const { return index_; }

 private:
  Segment& Active() { return segments_[active_]; }
  void ProcessFrame(int frame, const cv::Mat& current);
  void Accept(int frame, const cv::Mat& current, const screening::FrameLook& look);
  // The registration steps, in order; each true when the frame was placed.
  bool TrackAgainstAnchor(const cv::Mat& current, const screening::FrameLook& look,
                          std::string* reason);
  bool MatchAgainstAnchor(const cv::Mat& current, const screening::FrameLook& look);
  bool Relocalise(int frame, const cv::Mat& current, const screening::FrameLook& look,
                  bool everyKeyFrame);
  // The CreateAVL step after a registration; false (undone) when the key
  // frame was not registered or refused.
  bool PlaceRegistered(const cv::Mat& current, const Panorama::FrameAttemptState& before,
                       std::string* reason);
  void RecordNewNodes(Segment& segment, int nodesBefore, int frame);
  void DescribeKeyFrames(size_t segment, size_t newest);
  void StartSegment(int frame, const cv::Mat& current, const screening::FrameLook& look);
  // After a key frame joined a later segment: looks it up among the earlier
  // segments' key frames and, when it is found there, merges.
  void TryMerge(const cv::Mat& current);
  // Re-inserts every key frame of segment `from` into segment `to`, placed
  // through matchedToLatest (to's key frame `matched` onto from's latest key
  // frame), and leaves `from` empty.
  void MergeInto(size_t from, size_t to, _treeNode* matched, const cv::Mat& matchedToLatest);
  const keyframes::DescribedFrame& CurrentDescribed(const cv::Mat& current);

  io::Operator& op_;
  std::int64_t budgetBytes_;
  Settings settings_;
  SkipLog skipLog_;
  std::vector<Segment> segments_;
  size_t active_ = 0;
  keyframes::KeyFrameIndex index_;
  screening::SharpnessHistory sharpness_;
  bool started_ = false;
  cv::Mat anchor_;  // the last frame accepted (or the segment's pending first)
  int anchorFrame = -1;
  int currentFrame_ = -1;
  bool anchorPlaced_ = false;
  screening::FrameLook anchorLook_;
  std::unique_ptr<keyframes::DescribedFrame> anchorDescribed_;
  std::unique_ptr<keyframes::DescribedFrame> currentDescribed_;
  int unregistered_ = 0;  // failed frames in a row (flat and blurred ones aside)
  // The frames that failed in a row since the last frame accepted, flat or
  // blurred ones ending the row.
  struct Failed {
    int frame = 0;
    cv::Mat image;
    screening::FrameLook look;
  };
  std::vector<Failed> failed_;
};

}  // namespace keepgoing
