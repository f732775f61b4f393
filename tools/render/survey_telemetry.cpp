#include "tools/render/survey_telemetry.hpp"

#include <cmath>
#include <cstdio>
#include <fstream>

#include "io/telemetry.hpp"

namespace render {

std::vector<FramePosition> FramePositions(const std::vector<cv::Matx33d>& photoToFrame,
                                          cv::Size frameSize, const GroundPlacement& ground) {
  const io::UtmZone zone = io::UtmZone::Around(ground.latitude, ground.longitude);
  cv::Point2d origin;
  std::vector<FramePosition> positions;
  if (!zone.Forward(ground.latitude, ground.longitude, &origin))
    return positions;
  for (const cv::Matx33d& H : photoToFrame) {
    const cv::Vec3d p = H.inv() * cv::Vec3d(frameSize.width / 2.0, frameSize.height / 2.0, 1.0);
    const cv::Point2d eastNorth(origin.x + p[0] / p[2] * ground.metresPerPixel,
                                origin.y - p[1] / p[2] * ground.metresPerPixel);
    FramePosition position;
    if (!zone.Inverse(eastNorth, &position.latitude, &position.longitude))
      return {};
    positions.push_back(position);
  }
  return positions;
}

bool WriteTelemetryCsv(const std::string& path, const std::vector<FramePosition>& positions,
                       const GroundPlacement& ground) {
  std::ofstream out(path);
  out << "frame,latitude,longitude,altitude\n";
  char line[128];
  for (size_t f = 0; f < positions.size(); ++f) {
    std::snprintf(line, sizeof line, "%zu,%.10f,%.10f,%.3f\n", f, positions[f].latitude,
                  positions[f].longitude, ground.altitude);
    out << line;
  }
  out.close();
  return static_cast<bool>(out);
}

bool WriteTelemetrySrt(const std::string& path, const std::vector<FramePosition>& positions,
                       const GroundPlacement& ground, double fps) {
  std::ofstream out(path);
  auto timeCode = [](double seconds) {
    const long ms = std::lround(seconds * 1000.0);
    char text[32];
    std::snprintf(text, sizeof text, "%02ld:%02ld:%02ld,%03ld", ms / 3600000, ms / 60000 % 60,
                  ms / 1000 % 60, ms % 1000);
    return std::string(text);
  };
  char text[512];
  for (size_t f = 0; f < positions.size(); ++f) {
    std::snprintf(text, sizeof text,
                  "%zu\n%s --> %s\n<font size=\"28\">FrameCnt: %zu, DiffTime: %ldms\n"
                  "[iso: 100] [shutter: 1/1000.0] [fnum: 2.8] [ev: 0] [focal_len: 24.00] "
                  "[latitude: %.10f] [longitude: %.10f] [rel_alt: %.3f abs_alt: %.3f] </font>\n\n",
                  f + 1, timeCode(f / fps).c_str(), timeCode((f + 1) / fps).c_str(), f + 1,
                  std::lround(1000.0 / fps), positions[f].latitude, positions[f].longitude,
                  ground.altitude, ground.altitude + 100.0);
    out << text;
  }
  out.close();
  return static_cast<bool>(out);
}

bool WriteTelemetryGpx(const std::string& path, const std::vector<FramePosition>& positions,
                       double fps) {
  std::ofstream out(path);
  out << "<?xml version=\"1.0\"?>\n<gpx version=\"1.1\"><trk><trkseg>\n";
  char text[256];
  for (size_t f = 0; f < positions.size(); ++f) {
    const double seconds = f / fps;
    std::snprintf(text, sizeof text,
                  "<trkpt lat=\"%.10f\" lon=\"%.10f\"><time>2024-05-01T10:%02d:%06.3fZ</time>"
                  "</trkpt>\n",
                  positions[f].latitude, positions[f].longitude, static_cast<int>(seconds / 60),
                  std::fmod(seconds, 60.0));
    out << text;
  }
  out << "</trkseg></trk></gpx>\n";
  out.close();
  return static_cast<bool>(out);
}

}  // namespace render
