// Per-frame camera positions recorded by the drone: a subtitle file (.SRT)
// with one block per frame, a CSV of frame,latitude,longitude[,altitude], or
// a GPX track matched to the frames by time. Parsing is pure (text in,
// positions and notes out); a line or block that cannot be read is noted and
// left out, so one bad record never costs the rest.
//
// Frames are numbered from 0, as in the run report. The SRT's FrameCnt
// counts from 1.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace io {

struct GeoFix {
  int frame = 0;
  double latitude = 0.0;   // degrees, WGS 84
  double longitude = 0.0;  // degrees, WGS 84
  double altitude = 0.0;   // metres (the SRT's rel_alt)
  bool hasAltitude = false;
};

// A GPX track point: seconds since 1970-01-01 UTC.
struct TrackPoint {
  double seconds = 0.0;
  double latitude = 0.0;
  double longitude = 0.0;
};

struct Telemetry {
  std::vector<GeoFix> fixes;       // ascending frame numbers, one per frame
  std::vector<TrackPoint> track;   // GPX only, ascending time
  std::vector<std::string> notes;  // records left out, one note each
  std::string error;               // non-empty: the whole file is refused
};

Telemetry ParseSrt(const std::string& text);
Telemetry ParseTelemetryCsv(const std::string& text);
Telemetry ParseGpx(const std::string& text);

// Reads path and parses it by its extension (.srt, .csv, .gpx, any case).
Telemetry ReadTelemetry(const std::string& path);

// Seconds since 1970-01-01 UTC of an ISO 8601 time such as
// 2024-05-01T10:20:30.5Z or 2024-05-01T12:20:30+02:00; false when malformed.
bool ParseIsoTime(const std::string& text, double* seconds);

// Positions of the given frames from a track: frame f is taken at the time
// of the track's first point + offsetSeconds + f / fps, interpolated
// linearly between the points around it. Frames outside the track get none.
std::vector<GeoFix> FixesFromTrack(const std::vector<TrackPoint>& track,
                                   const std::vector<int>& frames, double fps,
                                   double offsetSeconds);

// A universal transverse Mercator zone on WGS 84 (PROJ through GDAL).
class UtmZone {
 public:
  // The zone holding (latitude, longitude).
  static UtmZone Around(double latitude, double longitude);
  int Epsg() const { return epsg_; }
  std::string Name() const;  // "EPSG:32631"
  std::string Wkt() const;
  // Metres east and north; false where PROJ cannot transform.
  bool Forward(double latitude, double longitude, cv::Point2d* eastNorth) const;
  bool Inverse(const cv::Point2d& eastNorth, double* latitude, double* longitude) const;

 private:
  int epsg_ = 0;
};

}  // namespace io
