// The telemetry parsers on arbitrary text: the SRT parser first (drone
// subtitle files are edited by hand and cut short by full cards), then the
// CSV and GPX parsers on the same bytes. Whatever they read must be usable:
// frames ascending without repeats, positions finite and in range, a track
// in time order, and an error exactly when nothing was read.
#include <cmath>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_targets.hpp"
#include "io/telemetry.hpp"

namespace fuzz {
namespace {

void Check(bool property) {
  if (!property)
    std::abort();
}

void CheckTelemetry(const io::Telemetry& t) {
  Check(t.error.empty() == !(t.fixes.empty() && t.track.empty()));
  for (size_t i = 0; i < t.fixes.size(); ++i) {
    const io::GeoFix& f = t.fixes[i];
    Check(f.frame >= 0 && (i == 0 || t.fixes[i - 1].frame < f.frame));
    Check(std::isfinite(f.latitude) && std::abs(f.latitude) <= 90.0);
    Check(std::isfinite(f.longitude) && std::abs(f.longitude) <= 180.0);
    Check(std::isfinite(f.altitude));
  }
  for (size_t i = 1; i < t.track.size(); ++i)
    Check(t.track[i - 1].seconds <= t.track[i].seconds);
}

}  // namespace

int FuzzSrt(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  CheckTelemetry(io::ParseSrt(text));
  CheckTelemetry(io::ParseTelemetryCsv(text));
  const io::Telemetry gpx = io::ParseGpx(text);
  CheckTelemetry(gpx);
  for (const io::GeoFix& f : io::FixesFromTrack(gpx.track, {0, 1, 30, 1000}, 30.0, 0.0))
    Check(std::abs(f.latitude) <= 90.0 && std::abs(f.longitude) <= 180.0);
  double seconds = 0.0;
  if (io::ParseIsoTime(text, &seconds))
    Check(std::isfinite(seconds));
  return 0;
}

}  // namespace fuzz

VMOSAIC_FUZZ_ENTRY(fuzz::FuzzSrt)
