#include "panorama/keep_going.hpp"

#include <algorithm>
#include <utility>

namespace keepgoing {
namespace {

// The latest key frames tried before the whole index.
constexpr size_t kRecentKeyFrames = 3;
// Index candidates verified per frame, and the votes one needs.
constexpr size_t kIndexCandidates = 4;
constexpr int kMinVotes = 12;

}  // namespace

void SkipLog::Skip(int frame, const std::string& reason) {
  if (open_ && frame == runs_.back().last + 1) {
    SkippedRun& run = runs_.back();
    run.last = frame;
    if ((", " + run.reason + ", ").find(", " + reason + ", ") == std::string::npos)
      run.reason += ", " + reason;
    return;
  }
  Close();
  runs_.push_back(SkippedRun{frame, frame, reason});
  open_ = true;
}

void SkipLog::Unskip(int from) {
  if (!open_ || runs_.back().last < from)
    return;
  if (runs_.back().first >= from) {
    runs_.pop_back();
    open_ = false;
  } else {
    runs_.back().last = from - 1;
  }
}

void SkipLog::Close() {
  if (!open_)
    return;
  open_ = false;
  if (note_)
    note_(Note(runs_.back()));
}

std::string SkipLog::Note(const SkippedRun& run) {
  const std::string frames = run.first == run.last ? "frame " + std::to_string(run.first)
                                                   : "frames " + std::to_string(run.first) + "-" +
                                                         std::to_string(run.last);
  return "vmosaic: " + frames + " skipped (" + run.reason + ")";
}

KeepGoing::KeepGoing(Panorama& first, io::Operator& op, std::int64_t budgetBytes, Settings settings,
                     std::function<void(const std::string&)> note)
    : op_(op),
      budgetBytes_(budgetBytes),
      settings_(settings),
      skipLog_(std::move(note)),
      index_(settings.indexCapacityBytes) {
  first.strictKeyFrames = true;
  Segment segment;
  segment.panorama = &first;
  segments_.push_back(std::move(segment));
}

const keyframes::DescribedFrame& KeepGoing::CurrentDescribed(const cv::Mat& current) {
  if (!currentDescribed_)
    currentDescribed_ = std::make_unique<keyframes::DescribedFrame>(keyframes::Describe(current));
  return *currentDescribed_;
}

void KeepGoing::Process(int frame, const cv::Mat& previous, const cv::Mat& current) {
  if (!started_) {
    started_ = true;
    const screening::FrameLook look = screening::Look(previous);
    if (screening::IsFlat(look)) {
      skipLog_.Skip(frame - 1, "flat frame");
    } else {
      anchor_ = previous.clone();
      anchorFrame = frame - 1;
      anchorLook_ = look;
    }
  }
  ProcessFrame(frame, current);
}

void KeepGoing::ProcessFrame(int frame, const cv::Mat& current) {
  currentDescribed_.reset();
  currentFrame_ = frame;
  const screening::FrameLook look = screening::Look(current);
  if (screening::IsFlat(look)) {
    skipLog_.Skip(frame, "flat frame");
    failed_.clear();
    return;
  }
  if (anchor_.empty()) {
    skipLog_.Close();
    anchor_ = current.clone();
    anchorFrame = frame;
    anchorLook_ = look;
    anchorPlaced_ = false;
    return;
  }
  if (sharpness_.IsBlurred(look.sharpness, anchorLook_.sharpness)) {
    skipLog_.Skip(frame, "blurred frame");
    failed_.clear();
    return;
  }
  std::string reason;
  const bool placed =
      TrackAgainstAnchor(current, look, &reason) || MatchAgainstAnchor(current, look) ||
      Relocalise(frame, current, look, unregistered_ + 1 >= settings_.relocaliseAfter);
  if (placed) {
    Accept(frame, current, look);
    if (active_ > 0 && !Active().keyFrames.empty() && Active().keyFrames.back() == frame)
      TryMerge(current);
    return;
  }
  if (++unregistered_ >= settings_.newSegmentAfter) {
    StartSegment(frame, current, look);
  } else {
    skipLog_.Skip(frame, reason);
    failed_.push_back(Failed{frame, current.clone(), look});
  }
}

void KeepGoing::Accept(int frame, const cv::Mat& current, const screening::FrameLook& look) {
  anchor_ = current.clone();
  anchorFrame = frame;
  anchorLook_ = look;
  anchorDescribed_ = std::move(currentDescribed_);
  anchorPlaced_ = true;
  sharpness_.Add(look.sharpness);
  skipLog_.Close();
  unregistered_ = 0;
  failed_.clear();
  Active().lastFrame = std::max(Active().lastFrame, frame);
  Active().frames.push_back(frame);
}

bool KeepGoing::TrackAgainstAnchor(const cv::Mat& current, const screening::FrameLook& look,
                                   std::string* reason) {
  Panorama& p = *Active().panorama;
  const auto before = p.SaveAttemptState();
  if (!p.RegisterPair(anchor_, current, settings_.overlapThreshold, settings_.featureMethod)) {
    *reason = "not registered";
    p.RestoreAttemptState(*before);
    return false;
  }
  if (!screening::Confirms(
          screening::PairAgreement(anchorLook_, look, p.cameraMotion.getHomography()))) {
    *reason = "registration not confirmed";
    p.RestoreAttemptState(*before);
    return false;
  }
  return PlaceRegistered(current, *before, reason);
}

bool KeepGoing::MatchAgainstAnchor(const cv::Mat& current, const screening::FrameLook& look) {
  if (!anchorDescribed_)
    anchorDescribed_ = std::make_unique<keyframes::DescribedFrame>(keyframes::Describe(anchor_));
  const keyframes::DescriptorMatch match =
      keyframes::MatchDescribed(*anchorDescribed_, CurrentDescribed(current));
  if (match.H.empty())
    return false;
  const cv::Mat H = keyframes::RefineByTracking(anchor_, current, match.H);
  if (!screening::Confirms(screening::PairAgreement(anchorLook_, look, H)))
    return false;
  Panorama& p = *Active().panorama;
  const auto before = p.SaveAttemptState();
  p.SetPairRegistration(H, anchor_, current);
  std::string ignored;
  return PlaceRegistered(current, *before, &ignored);
}

bool KeepGoing::PlaceRegistered(const cv::Mat& current, const Panorama::FrameAttemptState& before,
                                std::string* reason) {
  Panorama& p = *Active().panorama;
  const int nodesBefore = p.num_Nodes;
  p.CreateAVLBinaryTree_Vlist_AdjustH(anchor_, current);
  const bool failed = p.keyFrameRegistrationFailed || p.getban_insert() == 0;
  if (failed) {
    *reason =
        p.keyFrameRegistrationFailed ? "key frame not registered" : "refused by the frame tree";
    p.RestoreAttemptState(before);
  }
  RecordNewNodes(Active(), nodesBefore, failed ? -1 : currentFrame_);
  return !failed;
}

void KeepGoing::RecordNewNodes(Segment& segment, int nodesBefore, int frame) {
  const int nodes = segment.panorama->num_Nodes;
  if (nodesBefore == 0 && nodes > 0) {
    // The first registered pair made the pending first frame the root.
    segment.keyFrames.push_back(anchorFrame);
    segment.firstFrame = anchorFrame;
    segment.lastFrame = std::max(segment.lastFrame, anchorFrame);
    segment.frames.push_back(anchorFrame);
    anchorPlaced_ = true;
  }
  if (frame >= 0 && nodes > std::max(nodesBefore, 1))
    segment.keyFrames.push_back(frame);
}

void KeepGoing::DescribeKeyFrames(size_t segment, size_t newest) {
  const Panorama* p = segments_[segment].panorama;
  if (p == nullptr)
    return;
  const size_t count = p->Vect_Nodes.size();
  for (size_t k = count - std::min(newest, count); k < count; ++k) {
    const _treeNode* node = p->Vect_Nodes[k];
    if (!index_.Contains(static_cast<int>(segment), node->id))
      index_.Add(static_cast<int>(segment), node->id, keyframes::Describe(*node->image));
  }
}

bool KeepGoing::Relocalise(int frame, const cv::Mat& current, const screening::FrameLook& look,
                           bool everyKeyFrame) {
  // Candidates as (segment, node id): the active segment's latest key frames,
  // then, after a while, the best of every key frame by appearance.
  std::vector<std::pair<size_t, int32_t>> candidates;
  const Panorama& active = *Active().panorama;
  DescribeKeyFrames(active_, kRecentKeyFrames);
  for (size_t k = 0; k < std::min(kRecentKeyFrames, active.Vect_Nodes.size()); ++k)
    candidates.emplace_back(active_, active.Vect_Nodes[active.Vect_Nodes.size() - 1 - k]->id);
  if (everyKeyFrame) {
    for (size_t s = 0; s < segments_.size(); ++s)
      DescribeKeyFrames(s, SIZE_MAX);
    for (const auto& c : index_.Lookup(CurrentDescribed(current), kIndexCandidates, kMinVotes)) {
      const auto& entry = index_.at(c.entry);
      const std::pair<size_t, int32_t> key(static_cast<size_t>(entry.segment), entry.id);
      if (std::find(candidates.begin(), candidates.end(), key) == candidates.end())
        candidates.push_back(key);
    }
  }
  for (const auto& [segment, id] : candidates) {
    Panorama* target = segments_[segment].panorama;
    if (target == nullptr)
      continue;
    _treeNode* node = target->Vect_Nodes[static_cast<size_t>(id - 1)];
    const keyframes::DescribedFrame* described = nullptr;
    for (size_t e = 0; e < index_.size() && described == nullptr; ++e) {
      if (index_.at(e).segment == static_cast<int>(segment) && index_.at(e).id == id)
        described = &index_.at(e).described;
    }
    if (described == nullptr)
      continue;
    const keyframes::DescriptorMatch match =
        keyframes::MatchDescribed(*described, CurrentDescribed(current));
    if (match.H.empty())
      continue;
    const cv::Mat H = keyframes::RefineByTracking(*node->image, current, match.H);
    if (!screening::Confirms(screening::PairAgreement(screening::Look(*node->image), look, H)))
      continue;
    const int nodesBefore = target->num_Nodes;
    if (!target->InsertKeyFrameAt(node, H, current))
      continue;
    if (segment != active_) {
      // The camera is back over ground of another segment: the frames go on there.
      if (Active().panorama->num_Nodes == 0 && !anchorPlaced_)
        skipLog_.Skip(anchorFrame, "not registered");
      active_ = segment;
    }
    RecordNewNodes(Active(), nodesBefore, frame);
    return true;
  }
  return false;
}

// A key frame must pass the same checks as a relocalised frame: descriptor
// votes, a RANSAC homography refined by tracking, and the pixels' agreement.
void KeepGoing::TryMerge(const cv::Mat& current) {
  for (size_t s = 0; s < active_; ++s)
    DescribeKeyFrames(s, SIZE_MAX);
  const keyframes::DescribedFrame& described = CurrentDescribed(current);
  for (const auto& c : index_.Lookup(described, kIndexCandidates, kMinVotes)) {
    const auto& entry = index_.at(c.entry);
    const size_t segment = static_cast<size_t>(entry.segment);
    if (segment >= active_ || segments_[segment].panorama == nullptr)
      continue;
    Panorama& target = *segments_[segment].panorama;
    _treeNode* node = target.Vect_Nodes[static_cast<size_t>(entry.id - 1)];
    const keyframes::DescriptorMatch match = keyframes::MatchDescribed(entry.described, described);
    if (match.H.empty())
      continue;
    const cv::Mat H = keyframes::RefineByTracking(*node->image, current, match.H);
    if (!screening::Confirms(
            screening::PairAgreement(screening::Look(*node->image), screening::Look(current), H)))
      continue;
    MergeInto(active_, segment, node, H);
    return;
  }
}

void KeepGoing::MergeInto(size_t from, size_t to, _treeNode* matched,
                          const cv::Mat& matchedToLatest) {
  Segment& source = segments_[from];
  Segment& target = segments_[to];
  Panorama& src = *source.panorama;
  Panorama& dst = *target.panorama;
  _treeNode* const latest = src.Vect_Nodes.back();
  // The latest key frame last, so that the next frames go on from it.
  std::vector<_treeNode*> order(src.Vect_Nodes.begin(), src.Vect_Nodes.end() - 1);
  order.push_back(latest);
  std::vector<std::pair<int32_t, int32_t>> ids;
  int dropped = 0;
  for (_treeNode* node : order) {
    const cv::Mat H = node == latest
                          ? matchedToLatest
                          : cv::Mat(src.HomographyBetween(latest, node) * matchedToLatest);
    if (!dst.InsertKeyFrameAt(matched, H, *node->image)) {
      ++dropped;
      continue;
    }
    target.keyFrames.push_back(source.keyFrames[static_cast<size_t>(node->id - 1)]);
    ids.emplace_back(node->id, dst.num_Nodes);
  }
  target.frames.insert(target.frames.end(), source.frames.begin(), source.frames.end());
  target.firstFrame = std::min(target.firstFrame, source.firstFrame);
  target.lastFrame = std::max(target.lastFrame, source.lastFrame);
  index_.Relabel(static_cast<int>(from), static_cast<int>(to), ids);
  skipLog_.Close();
  if (skipLog_.note())
    skipLog_.note()("vmosaic: the mosaic of frames " + std::to_string(source.firstFrame) + "-" +
                    std::to_string(source.lastFrame) + " joins the one of frame " +
                    std::to_string(target.firstFrame) +
                    (dropped > 0 ? " (" + std::to_string(dropped) + " key frames left out)" : ""));
  source.frames.clear();
  source.keyFrames.clear();
  source.mergedInto = static_cast<int>(to);
  source.panorama = nullptr;
  source.owned.reset();
  active_ = to;
}

// The new segment starts at the first of the frames that failed in a row
// (a new shot begins there), and the others are taken again after it.
void KeepGoing::StartSegment(int frame, const cv::Mat& current, const screening::FrameLook& look) {
  std::vector<Failed> replay;
  replay.swap(failed_);
  if (!replay.empty())
    skipLog_.Unskip(replay.front().frame);
  replay.push_back(Failed{frame, current, look});
  if (Active().panorama->num_Nodes > 0) {
    std::int64_t used = 0;
    for (const Segment& s : segments_) {
      if (s.panorama != nullptr)
        used += s.panorama->frameStore.BytesInMemory();
    }
    Segment segment;
    segment.owned = std::make_unique<Panorama>(op_);
    segment.panorama = segment.owned.get();
    segment.panorama->frameStore.SetBudget(std::max<std::int64_t>(0, budgetBytes_ - used));
    segment.panorama->strictKeyFrames = true;
    segments_.push_back(std::move(segment));
    active_ = segments_.size() - 1;
  } else {
    // Nothing was placed here yet: the pending first frame gives way.
    if (!anchorPlaced_ && anchorFrame >= 0)
      skipLog_.Skip(anchorFrame, "not registered");
    Panorama& p = *Active().panorama;
    p.featureMatching.Corners_j.reset();
    p.featureMatching.SIFT_Features_j.clear();
  }
  skipLog_.Close();
  anchor_ = replay.front().image.clone();
  anchorFrame = replay.front().frame;
  anchorLook_ = replay.front().look;
  if (replay.size() == 1) {
    anchorDescribed_ = std::move(currentDescribed_);
  } else {
    anchorDescribed_.reset();
  }
  anchorPlaced_ = false;
  sharpness_ = screening::SharpnessHistory();
  unregistered_ = 0;
  for (size_t k = 1; k < replay.size(); ++k)
    ProcessFrame(replay[k].frame, replay[k].image);
}

void KeepGoing::Finish() {
  if (started_ && !anchorPlaced_ && anchorFrame >= 0 && Active().panorama->num_Nodes == 0)
    skipLog_.Skip(anchorFrame, "not registered");
  skipLog_.Close();
}

}  // namespace keepgoing
