// Telemetry of a rendered survey, derived from its true homographies: the
// photo is laid on the ground with its top-left corner at a chosen origin,
// north up, at a chosen ground resolution, and each frame's position is the
// ground point at the frame's centre.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace render {

struct GroundPlacement {
  double latitude = 0.0;  // of the photo's top-left corner
  double longitude = 0.0;
  double metresPerPixel = 0.05;
  double altitude = 50.0;  // written as the relative altitude
};

struct FramePosition {
  double latitude = 0.0;
  double longitude = 0.0;
};

// The position of every frame, from its photo-to-frame homography; empty when
// PROJ cannot transform.
std::vector<FramePosition> FramePositions(const std::vector<cv::Matx33d>& photoToFrame,
                                          cv::Size frameSize, const GroundPlacement& ground);

// frame,latitude,longitude,altitude lines (frames from 0), with a header.
bool WriteTelemetryCsv(const std::string& path, const std::vector<FramePosition>& positions,
                       const GroundPlacement& ground);
// One subtitle block per frame, as drones write them (FrameCnt from 1).
bool WriteTelemetrySrt(const std::string& path, const std::vector<FramePosition>& positions,
                       const GroundPlacement& ground, double fps);
// A GPX track with one point per frame, timed from 10:00:00 UTC at fps.
bool WriteTelemetryGpx(const std::string& path, const std::vector<FramePosition>& positions,
                       double fps);

}  // namespace render
