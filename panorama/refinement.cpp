// The refinement stage (panorama/refinement.hpp), and the panorama's wrapper
// that hands it the tree's placements.
#include "panorama/refinement.hpp"

#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <numeric>
#include <opencv2/core/utility.hpp>

#include "composition/vignetting.hpp"
#include "geometry/global_adjustment.hpp"
#include "geometry/overlap.hpp"
#include "geometry/pairwise_alignment.hpp"
#include "panorama/panorama.hpp"

namespace {

// A frame's outline on the reference plane, counter-clockwise or clockwise as
// the placement has it; empty when a corner is behind the camera or not
// finite.
std::vector<cv::Point2d> Outline(const cv::Mat& frameToRef, cv::Size size) {
  const cv::Matx33d H(frameToRef);
  std::vector<cv::Point2d> outline;
  const double w = size.width - 1.0;
  const double h = size.height - 1.0;
  for (const cv::Point2d c :
       {cv::Point2d(0, 0), cv::Point2d(w, 0), cv::Point2d(w, h), cv::Point2d(0, h)}) {
    const cv::Vec3d p = H * cv::Vec3d(c.x, c.y, 1.0);
    if (!(p[2] > 0.0) || !std::isfinite(p[0] / p[2]) || !std::isfinite(p[1] / p[2]))
      return {};
    outline.emplace_back(p[0] / p[2], p[1] / p[2]);
  }
  return outline;
}

double SignedArea(const std::vector<cv::Point2d>& polygon) {
  double twice = 0.0;
  for (size_t i = 0; i < polygon.size(); ++i) {
    const cv::Point2d& p = polygon[i];
    const cv::Point2d& q = polygon[(i + 1) % polygon.size()];
    twice += p.x * q.y - p.y * q.x;
  }
  return twice / 2.0;
}

bool Convex(const std::vector<cv::Point2d>& polygon) {
  if (polygon.size() != 4)
    return false;
  int sign = 0;
  for (size_t i = 0; i < 4; ++i) {
    const cv::Point2d e1 = polygon[(i + 1) % 4] - polygon[i];
    const cv::Point2d e2 = polygon[(i + 2) % 4] - polygon[(i + 1) % 4];
    const double turn = e1.x * e2.y - e1.y * e2.x;
    const int s = turn > 0.0 ? 1 : (turn < 0.0 ? -1 : 0);
    if (s == 0 || (sign != 0 && s != sign))
      return false;
    sign = s;
  }
  return true;
}

// Intersection over union of two convex outlines of one orientation, in
// percent (clipping one by the other's edges): a quick measure of overlap on
// the reference plane that picks the candidates among many key frames.
float QuickOverlapPercent(const std::vector<cv::Point2d>& a, const std::vector<cv::Point2d>& b) {
  const double orientation = SignedArea(b) > 0.0 ? 1.0 : -1.0;
  std::vector<cv::Point2d> clipped = a;
  std::vector<cv::Point2d> input;
  for (size_t e = 0; e < b.size() && !clipped.empty(); ++e) {
    const cv::Point2d p = b[e];
    const cv::Point2d q = b[(e + 1) % b.size()];
    const auto side = [&](const cv::Point2d& x) {
      return orientation * ((q.x - p.x) * (x.y - p.y) - (q.y - p.y) * (x.x - p.x));
    };
    input.swap(clipped);
    clipped.clear();
    for (size_t i = 0; i < input.size(); ++i) {
      const cv::Point2d& u = input[i];
      const cv::Point2d& v = input[(i + 1) % input.size()];
      const double su = side(u);
      const double sv = side(v);
      if (su >= 0.0)
        clipped.push_back(u);
      if ((su >= 0.0) != (sv >= 0.0))
        clipped.push_back(u + (v - u) * (su / (su - sv)));
    }
  }
  const double intersection = clipped.size() < 3 ? 0.0 : std::abs(SignedArea(clipped));
  const double united = std::abs(SignedArea(a)) + std::abs(SignedArea(b)) - intersection;
  return united > 0.0 ? static_cast<float>(100.0 * intersection / united) : 0.0f;
}

// Memory of a key frame's pyramids up to level coarsest, intensity from
// level intensityFrom (4 bytes a pixel per image).
std::int64_t PyramidBytes(cv::Size size, int coarsest, int intensityFrom) {
  std::int64_t bytes = 0;
  for (int l = 0; l <= coarsest; ++l) {
    const std::int64_t pixels = static_cast<std::int64_t>((size.width + (1 << l) - 1) >> l) *
                                ((size.height + (1 << l) - 1) >> l);
    bytes += 4 * pixels * (l >= intensityFrom ? 2 : 1);
  }
  return bytes;
}

// Aligns every pair (align(i, pyramids of a, pyramids of b)), in batches in
// the pairs' order. A key frame's pyramids are built once, by the first batch
// that needs them, and kept until its last pair is aligned: a key frame is in
// a few pairs, and building its pyramids costs as much as correlating them.
// What is kept stays within pyramidBytes and the working memory left by the
// pairs in flight; beyond it, the pyramids whose next pair is furthest away are dropped (and
// built again when it comes). Results go by index, so neither the thread
// count nor the memory changes them.
void AlignPairs(const std::vector<KeyFramePair>& pairs,
                const std::vector<geometry::PairwiseAlignmentSettings>& pairSettings,
                cv::Size frameSize, const RefinementSettings& settings,
                const std::function<cv::Mat(size_t)>& grey,
                const std::function<void(size_t, const geometry::AlignmentPyramids&,
                                         const geometry::AlignmentPyramids&)>& align) {
  struct KeyFrameNeeds {
    int coarsest = -1;
    int intensityFrom = std::numeric_limits<int>::max();
    std::vector<size_t> pairs;  // in order
    std::int64_t bytes = 0;
    geometry::AlignmentPyramids pyramids;
    bool built = false;
  };
  size_t frames = 0;
  for (const KeyFramePair& p : pairs)
    frames = std::max({frames, p.a + 1, p.b + 1});
  std::vector<KeyFrameNeeds> needs(frames);
  for (size_t i = 0; i < pairs.size(); ++i) {
    const geometry::AlignmentLevels levels = geometry::LevelsToAlign(frameSize, pairSettings[i]);
    for (const size_t k : {pairs[i].a, pairs[i].b}) {
      needs[k].coarsest = std::max(needs[k].coarsest, levels.coarsest);
      needs[k].intensityFrom = std::min(needs[k].intensityFrom, levels.finest + 1);
      needs[k].pairs.push_back(i);
    }
  }
  for (KeyFrameNeeds& k : needs) {
    if (k.coarsest >= 0)
      k.bytes = PyramidBytes(frameSize, k.coarsest, k.intensityFrom);
  }

  const std::int64_t pairBytes =
      kAlignmentBytesPerPixel * static_cast<std::int64_t>(frameSize.area());
  const int threads = settings.threads > 0 ? settings.threads : std::max(cv::getNumThreads(), 1);
  const int inFlight = static_cast<int>(std::clamp<std::int64_t>(
      settings.workingBytes / std::max<std::int64_t>(pairBytes, 1), 1, threads));
  const std::int64_t pyramidBudget =
      std::min(settings.pyramidBytes, settings.workingBytes - inFlight * pairBytes);
  const size_t batch = static_cast<size_t>(std::max(settings.batchPairs, inFlight));
  // The first pair at or after `from` that key frame k is in (none: the end).
  const auto nextUse = [&](size_t k, size_t from) {
    const std::vector<size_t>& uses = needs[k].pairs;
    const auto it = std::lower_bound(uses.begin(), uses.end(), from);
    return it == uses.end() ? pairs.size() : *it;
  };
  std::int64_t held = 0;
  std::vector<size_t> toBuild;
  for (size_t first = 0; first < pairs.size();) {
    // As many pairs as the batch and the memory take, at least one.
    toBuild.clear();
    std::int64_t adding = 0;
    size_t last = first;
    for (; last < pairs.size() && last - first < batch; ++last) {
      std::int64_t extra = 0;
      for (const size_t k : {pairs[last].a, pairs[last].b}) {
        if (!needs[k].built && std::find(toBuild.begin(), toBuild.end(), k) == toBuild.end())
          extra += needs[k].bytes;
      }
      if (last > first && held + adding + extra > pyramidBudget)
        break;
      for (const size_t k : {pairs[last].a, pairs[last].b}) {
        if (!needs[k].built && std::find(toBuild.begin(), toBuild.end(), k) == toBuild.end())
          toBuild.push_back(k);
      }
      adding += extra;
    }
    // Room for them: drop kept pyramids this batch does not use, those
    // needed furthest ahead first.
    std::vector<std::pair<size_t, size_t>> idle;  // (next use, key frame)
    for (size_t k = 0; k < frames; ++k) {
      const size_t next = nextUse(k, first);
      if (needs[k].built && next >= last)
        idle.emplace_back(next, k);
    }
    std::sort(idle.rbegin(), idle.rend());
    for (size_t d = 0; d < idle.size() && held + adding > pyramidBudget; ++d) {
      KeyFrameNeeds& k = needs[idle[d].second];
      k.pyramids = {};
      k.built = false;
      held -= k.bytes;
    }

    cv::parallel_for_(
        cv::Range(0, static_cast<int>(toBuild.size())),
        [&](const cv::Range& range) {
          for (int j = range.start; j < range.end; ++j) {
            KeyFrameNeeds& k = needs[toBuild[static_cast<size_t>(j)]];
            k.pyramids = geometry::BuildAlignmentPyramids(grey(toBuild[static_cast<size_t>(j)]),
                                                          k.coarsest, k.intensityFrom);
          }
        },
        inFlight);
    for (const size_t k : toBuild)
      needs[k].built = true;
    held += adding;

    std::atomic<size_t> next{first};
    cv::parallel_for_(
        cv::Range(0, inFlight),
        [&](const cv::Range& workers) {
          for (int w = workers.start; w < workers.end; ++w) {
            for (size_t i = next++; i < last; i = next++)
              align(i, needs[pairs[i].a].pyramids, needs[pairs[i].b].pyramids);
          }
        },
        inFlight);
    // Pyramids no later pair needs.
    for (size_t i = first; i < last; ++i) {
      for (const size_t k : {pairs[i].a, pairs[i].b}) {
        if (needs[k].built && nextUse(k, last) == pairs.size()) {
          needs[k].pyramids = {};
          needs[k].built = false;
          held -= needs[k].bytes;
        }
      }
    }
    if (settings.afterBatch)
      settings.afterBatch();
    first = last;
  }
}

}  // namespace

std::vector<KeyFramePair> ChooseRefinementPairs(const std::vector<cv::Mat>& frameToRef,
                                                cv::Size frameSize,
                                                const RefinementSettings& settings) {
  const size_t n = frameToRef.size();
  const size_t temporal = static_cast<size_t>(std::max(settings.temporalNeighbours, 0));
  const size_t spatial = static_cast<size_t>(std::max(settings.spatialPartners, 0));
  std::vector<std::vector<cv::Point2d>> outlines;
  std::vector<cv::Rect2d> boxes;
  for (const cv::Mat& H : frameToRef) {
    std::vector<cv::Point2d> outline = Outline(H, frameSize);
    if (!Convex(outline))
      outline.clear();
    cv::Rect2d box;
    if (!outline.empty()) {
      const auto [left, right] =
          std::minmax({outline[0].x, outline[1].x, outline[2].x, outline[3].x});
      const auto [top, bottom] =
          std::minmax({outline[0].y, outline[1].y, outline[2].y, outline[3].y});
      box = cv::Rect2d(left, top, right - left, bottom - top);
    }
    boxes.push_back(box);
    outlines.push_back(std::move(outline));
  }
  // The measure the key-frame choice uses, in b's image.
  const auto overlap = [&](size_t a, size_t b) {
    const cv::Mat H = frameToRef[b].inv() * frameToRef[a];
    return geometry::CalculateOverlapPercentage(H, frameSize.width, frameSize.height);
  };
  // Anchors, in time order; every other key frame is paired with the last
  // anchor before it.
  std::vector<KeyFramePair> pairs;
  std::vector<size_t> anchors;
  for (size_t i = 0; i < n; ++i) {
    const float o = anchors.empty() ? 0.0f : overlap(anchors.back(), i);
    if (!(o > settings.anchorOverlapPercent)) {
      anchors.push_back(i);
    } else {
      pairs.push_back(KeyFramePair{anchors.back(), i, o, true});
    }
  }
  std::vector<size_t> candidates;
  for (size_t x = 0; x < anchors.size(); ++x) {
    const size_t a = anchors[x];
    for (size_t y = x + 1; y < anchors.size() && y <= x + temporal; ++y) {
      const float o = overlap(a, anchors[y]);
      if (o >= settings.minimumOverlapPercent)
        pairs.push_back(KeyFramePair{a, anchors[y], o});
    }
    if (spatial == 0 || outlines[a].empty())
      continue;
    candidates.clear();
    for (size_t y = x + temporal + 1; y < anchors.size(); ++y) {
      const size_t b = anchors[y];
      if (!outlines[b].empty() && (boxes[a] & boxes[b]).area() > 0.0 &&
          QuickOverlapPercent(outlines[a], outlines[b]) >= settings.minimumOverlapPercent) {
        candidates.push_back(b);
      }
    }
    // Spread over the candidates in time, the last being the furthest away:
    // candidate ceil((s + 1) m / k) - 1 for s = 0 .. k - 1. Each must pass
    // the key-frame choice's own measure too.
    const size_t m = candidates.size();
    const size_t k = std::min(spatial, m);
    for (size_t s = 0; s < k; ++s) {
      const size_t b = candidates[((s + 1) * m + k - 1) / k - 1];
      const float o = overlap(a, b);
      if (o >= settings.minimumOverlapPercent)
        pairs.push_back(KeyFramePair{a, b, o});
    }
  }
  // In time order, so that a batch of pairs reads nearby key frames.
  std::sort(pairs.begin(), pairs.end(), [](const KeyFramePair& x, const KeyFramePair& y) {
    return x.a != y.a ? x.a < y.a : x.b < y.b;
  });
  return pairs;
}

Placements RefinePlacements(const Placements& keyFrames, cv::Size frameSize,
                            const RefinementSettings& settings, RefinementResult* result) {
  RefinementResult local;
  RefinementResult& out = result != nullptr ? *result : local;
  out = RefinementResult{};
  Placements refined = keyFrames;
  const size_t n = keyFrames.size();
  if (n < 2)
    return refined;

  // Time order is the order of the ids.
  std::vector<size_t> byId(n);
  std::iota(byId.begin(), byId.end(), size_t{0});
  std::sort(byId.begin(), byId.end(),
            [&](size_t x, size_t y) { return keyFrames[x].id < keyFrames[y].id; });
  std::vector<cv::Mat> inTime;
  for (size_t i : byId)
    inTime.push_back(keyFrames[i].H_FrameToRef);
  std::vector<KeyFramePair> pairs = ChooseRefinementPairs(inTime, frameSize, settings);
  for (KeyFramePair& p : pairs) {
    p.a = byId[p.a];
    p.b = byId[p.b];
    RefinedPair pair;
    pair.idA = keyFrames[p.a].id;
    pair.idB = keyFrames[p.b].id;
    pair.overlapPercent = p.overlapPercent;
    out.pairs.push_back(pair);
  }
  out.pairsTried = static_cast<int>(pairs.size());

  // One factor per frame pixel that undoes the falloff (1 everywhere when
  // none is found); exposure needs no correction, the correlation ignores it.
  cv::Mat flatten;
  if (settings.correctFalloff) {
    // From at most falloffFrames key frames spread evenly in time: the
    // falloff is one curve, and dense key frames add cost, not information.
    std::vector<cv::Mat> images;
    std::vector<cv::Matx33d> placements;
    const size_t used = std::min(n, static_cast<size_t>(std::max(settings.falloffFrames, 2)));
    for (size_t j = 0; j < used; ++j) {
      const PlacedKeyFrame& k = keyFrames[byId[j * (n - 1) / (used - 1)]];
      images.push_back(k.image);
      placements.emplace_back(k.H_FrameToRef);
    }
    const vignetting::Falloff falloff = vignetting::EstimatePhotometry(images, placements).falloff;
    if (settings.afterBatch)
      settings.afterBatch();
    if (falloff.At(1.0) < 1.0 - settings.minimumCornerFalloff) {
      flatten.create(frameSize, CV_32F);
      for (int y = 0; y < frameSize.height; ++y) {
        for (int x = 0; x < frameSize.width; ++x)
          flatten.at<float>(y, x) =
              static_cast<float>(1.0 / falloff.At(vignetting::RhoSquared(x, y, frameSize)));
      }
    }
  }
  std::vector<geometry::PairwiseAlignmentSettings> pairSettings(pairs.size());
  geometry::PairwiseAlignmentSettings finestOnly;
  finestOnly.coarsestLevel = 0;
  finestOnly.finestOnePass = true;
  finestOnly.finestStride = settings.anchorPairStride;
  for (size_t i = 0; i < pairs.size(); ++i) {
    if (pairs[i].toAnchor)
      pairSettings[i] = finestOnly;
  }
  std::vector<geometry::PairwiseAlignment> aligned(pairs.size());
  AlignPairs(
      pairs, pairSettings, frameSize, settings,
      [&](size_t i) {
        const cv::Mat g = geometry::FloatGrey(keyFrames[i].image);
        return flatten.empty() ? g : cv::Mat(g.mul(flatten));
      },
      [&](size_t i, const geometry::AlignmentPyramids& a, const geometry::AlignmentPyramids& b) {
        const KeyFramePair& p = pairs[i];
        const cv::Mat H = keyFrames[p.b].H_FrameToRef.inv() * keyFrames[p.a].H_FrameToRef;
        aligned[i] = geometry::AlignPyramidPair(a, b, H / H.at<double>(2, 2), pairSettings[i]);
      });

  std::vector<geometry::PairConstraint> constraints;
  for (size_t i = 0; i < pairs.size(); ++i) {
    RefinedPair& pair = out.pairs[i];
    pair.nccBefore = aligned[i].nccBefore;
    pair.nccAfter = aligned[i].nccAfter;
    pair.kept = aligned[i].improved();
    if (!pair.kept)
      continue;
    ++out.pairsKept;
    constraints.push_back(geometry::PairConstraint{static_cast<int>(pairs[i].a),
                                                   static_cast<int>(pairs[i].b), aligned[i].H});
  }
  if (constraints.empty())
    return refined;

  std::vector<cv::Mat> frameToRef;
  for (const PlacedKeyFrame& k : keyFrames)
    frameToRef.push_back(k.H_FrameToRef);
  const geometry::GlobalAdjustment adjustment =
      geometry::AdjustPlacements(frameToRef, 0, constraints, frameSize);
  out.residualBefore = adjustment.residualBefore;
  out.residualAfter = adjustment.residualAfter;
  out.placementsRefused = adjustment.placementsRefused;
  out.adjusted = adjustment.adjusted;
  if (adjustment.adjusted) {
    for (size_t i = 0; i < n; ++i)
      refined[i].H_FrameToRef = adjustment.frameToReference[i];
  }
  return refined;
}

Placements Panorama::RefineKeyFrames(const Placements& placements,
                                     const RefinementSettings& settings, RefinementResult* result) {
  RefinementSettings withRelease = settings;
  if (!withRelease.afterBatch)
    withRelease.afterBatch = [this] {
      frameStore.Release();
    };
  const auto processorSeconds = [] {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
  };
  const double start = processorSeconds();
  RefinementResult local;
  RefinementResult& out = result != nullptr ? *result : local;
  Placements refined = RefinePlacements(placements, cv::Size(imageW, imageH), withRelease, &out);
  // The solver's and the pairs' many small blocks, freed, would otherwise
  // keep their pages through the composition that follows.
  malloc_trim(0);
  out.processorSeconds = processorSeconds() - start;
  return refined;
}
