// The mosaics of the segments after the first (--keep-going): each composed
// like the first (refined and blended on request) and written with its
// number, "pano_Mean_2.png" and so on.
#pragma once

#include <functional>
#include <string>

#include "panorama/keep_going.hpp"

struct SegmentOutput {
  std::string directory;
  int withMedian = 0;
  bool refine = false;
  bool blend = false;
  bool save = true;                              // false: composed only
  std::function<void(const std::string&)> note;  // where notes go
};

// Composes and writes every segment but the first that holds a key frame,
// numbered from 2 in order; each segment's outputs list what was written.
// False when a file could not be written (noted on standard error).
bool ComposeFurtherSegments(keepgoing::KeepGoing& keepGoing, const SegmentOutput& output);
