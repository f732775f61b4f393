// The machine-readable description of a run (--json FILE): input, settings,
// the key frames with their tree links and their homographies onto the
// panorama canvas, the reference, timings and the files written.
#pragma once

#include <string>
#include <vector>

#include "panorama/keep_going.hpp"
#include "panorama/panorama.hpp"
#include "panorama/refinement.hpp"

// JSON text of a string (always valid UTF-8: other bytes become U+FFFD) and
// of a number (null for NaN or an infinity, which JSON cannot hold).
std::string JsonQuoted(const std::string& text);
std::string JsonNumber(double value);

struct RunReport {
  std::string input;
  std::vector<std::string> arguments;  // positional arguments as given
  float overlapThreshold = 100.0f;
  int featureMethod = 0;
  int withMedian = 0;
  int frameLimit = 0;
  // Below 1: frames were registered scaled down by it (the key frames'
  // homographies are still in full-resolution pixels).
  double workScale = 1.0;
  int frameWidth = 0;
  int frameHeight = 0;
  int framesRead = 0;
  // The input was cut short (a key frame the tree refused, a sequence member
  // missing or unreadable, a frame of another size): the frame number (from
  // 0) where, the frames left unread (-1 when the input does not tell) and
  // why; -1 when the input was not cut short.
  int stoppedAtFrame = -1;
  long long framesUnread = -1;
  std::string stopReason;
  std::vector<int> keyFrameNumbers;  // frame number (from 0) of node id k at k - 1
  double treeSeconds = 0.0;
  double compositionSeconds = 0.0;
  std::vector<std::string> outputs;  // files written
  // With --refine: what the refinement did and its time (null without).
  const RefinementResult* refinement = nullptr;
  double refineSeconds = 0.0;
  // With --keep-going: the skipped frames and the segments (null without).
  keepgoing::KeepGoing* keepGoing = nullptr;
  // With --telemetry: the "georeference" object (empty without).
  std::string georeferenceJson;
};

// The report as JSON text. Each key frame's "frame_to_canvas" maps its pixels
// onto canvas pixels (the canvas origin offsets included); it is null for a
// key frame left out of the mosaic, and absent when nothing was composed.
std::string RunReportJson(const RunReport& report, Panorama& panorama);

// A key frame's pixels onto the pixels of the composed mosaic (the canvas
// origin offsets included).
cv::Mat FrameToCanvas(Panorama& panorama, _treeNode* node);

// Writes the report, replacing an earlier file at once or not at all
// (io/output_file.hpp); false (after a message on standard error) when it
// cannot be written.
bool WriteRunReport(const std::string& path, const RunReport& report, Panorama& panorama);
