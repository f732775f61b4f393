#include "io/telemetry.hpp"

#include <ogr_spatialref.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

namespace io {
namespace {

// Notes beyond this many are counted, not kept one by one.
constexpr size_t kMaxNotes = 50;

void Note(Telemetry* t, const std::string& text) {
  if (t->notes.size() < kMaxNotes)
    t->notes.push_back(text);
  else if (t->notes.size() == kMaxNotes)
    t->notes.push_back("further records left out");
}

std::string Trimmed(const std::string& s) {
  size_t begin = 0, end = s.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(s[begin])))
    ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(s[end - 1])))
    --end;
  return s.substr(begin, end - begin);
}

// The whole of text as a finite number.
bool WholeNumber(const std::string& text, double* value) {
  const std::string t = Trimmed(text);
  if (t.empty())
    return false;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(t.c_str(), &end);
  if (end != t.c_str() + t.size() || errno == ERANGE || !std::isfinite(v))
    return false;
  *value = v;
  return true;
}

bool FrameNumber(const std::string& text, int* frame) {
  double v = 0.0;
  if (!WholeNumber(text, &v) || v < 0.0 || v > 1e9 || v != std::floor(v))
    return false;
  *frame = static_cast<int>(v);
  return true;
}

// Why a position is no fix ("" when it is one): out of range, or the
// 0, 0 that receivers write before they have a fix.
std::string FixProblem(double latitude, double longitude) {
  if (std::abs(latitude) > 90.0 || std::abs(longitude) > 180.0)
    return "a position out of range";
  if (latitude == 0.0 && longitude == 0.0)
    return "no position fix";
  return "";
}

// Sorts the fixes by frame and keeps the first of each frame.
void Finish(Telemetry* t) {
  std::stable_sort(t->fixes.begin(), t->fixes.end(),
                   [](const GeoFix& a, const GeoFix& b) { return a.frame < b.frame; });
  std::vector<GeoFix> unique;
  for (const GeoFix& fix : t->fixes) {
    if (!unique.empty() && unique.back().frame == fix.frame) {
      Note(t, "frame " + std::to_string(fix.frame) + " given twice; the first is used");
      continue;
    }
    unique.push_back(fix);
  }
  t->fixes = std::move(unique);
  if (t->fixes.empty() && t->track.empty() && t->error.empty())
    t->error = "it holds no position";
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// The number after "key" and a colon (blanks allowed around the colon) in
// text, as DJI writes "[latitude: 22.5]" or "FrameCnt: 12,".
bool ValueAfter(const std::string& text, const std::string& key, double* value) {
  size_t at = 0;
  while ((at = text.find(key, at)) != std::string::npos) {
    const bool wordStart = at == 0 || !std::isalnum(static_cast<unsigned char>(text[at - 1]));
    size_t p = at + key.size();
    at = p;
    while (p < text.size() && text[p] == ' ')
      ++p;
    if (!wordStart || p >= text.size() || text[p] != ':')
      continue;
    ++p;
    const char* begin = text.c_str() + p;
    char* end = nullptr;
    const double v = std::strtod(begin, &end);
    if (end == begin || !std::isfinite(v))
      return false;
    *value = v;
    return true;
  }
  return false;
}

}  // namespace

Telemetry ParseSrt(const std::string& text) {
  Telemetry t;
  std::vector<std::string> block;
  int blockNumber = 0;
  auto flush = [&]() {
    if (block.empty())
      return;
    ++blockNumber;
    std::string joined;
    for (const std::string& line : block)
      joined += line + ' ';
    block.clear();
    const std::string where = "subtitle block " + std::to_string(blockNumber);
    double count = 0.0, latitude = 0.0, longitude = 0.0, altitude = 0.0;
    if (!ValueAfter(joined, "FrameCnt", &count) || count < 1.0 || count > 1e9 ||
        count != std::floor(count)) {
      Note(&t, where + " has no FrameCnt");
      return;
    }
    const int frame = static_cast<int>(count) - 1;
    if (!ValueAfter(joined, "latitude", &latitude) ||
        !ValueAfter(joined, "longitude", &longitude)) {
      Note(&t, "frame " + std::to_string(frame) + " (" + where + ") has no position");
      return;
    }
    const std::string problem = FixProblem(latitude, longitude);
    if (!problem.empty()) {
      Note(&t, "frame " + std::to_string(frame) + " (" + where + ") has " + problem);
      return;
    }
    GeoFix fix{frame, latitude, longitude, 0.0, false};
    fix.hasAltitude = ValueAfter(joined, "rel_alt", &altitude);
    fix.altitude = fix.hasAltitude ? altitude : 0.0;
    t.fixes.push_back(fix);
  };
  for (const std::string& line : Lines(text)) {
    if (Trimmed(line).empty())
      flush();
    else
      block.push_back(line);
  }
  flush();
  Finish(&t);
  return t;
}

Telemetry ParseTelemetryCsv(const std::string& text) {
  Telemetry t;
  const std::vector<std::string> lines = Lines(text);
  bool first = true;  // the first record may be a header
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string line = Trimmed(lines[i]);
    if (line.empty() || line[0] == '#')
      continue;
    std::vector<std::string> fields;
    std::string field;
    std::istringstream in(line);
    while (std::getline(in, field, ','))
      fields.push_back(field);
    const std::string where = "line " + std::to_string(i + 1);
    GeoFix fix;
    const bool sized = fields.size() == 3 || fields.size() == 4;
    const bool read = sized && FrameNumber(fields[0], &fix.frame) &&
                      WholeNumber(fields[1], &fix.latitude) &&
                      WholeNumber(fields[2], &fix.longitude) &&
                      (fields.size() == 3 || WholeNumber(fields[3], &fix.altitude));
    if (!read) {
      // A first line of names is a header, not a record.
      double ignored = 0.0;
      const bool header = first && !fields.empty() && !WholeNumber(fields[0], &ignored);
      first = false;
      if (!header)
        Note(&t, where + " is not frame,latitude,longitude[,altitude]");
      continue;
    }
    first = false;
    fix.hasAltitude = fields.size() == 4;
    const std::string problem = FixProblem(fix.latitude, fix.longitude);
    if (!problem.empty()) {
      Note(&t, where + " (frame " + std::to_string(fix.frame) + ") has " + problem);
      continue;
    }
    t.fixes.push_back(fix);
  }
  Finish(&t);
  return t;
}

bool ParseIsoTime(const std::string& text, double* seconds) {
  const std::string s = Trimmed(text);
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, consumed = 0;
  if (std::sscanf(s.c_str(), "%4d-%2d-%2dT%2d:%2d:%n", &year, &month, &day, &hour, &minute,
                  &consumed) != 5 ||
      consumed != 17) {
    return false;
  }
  const char* rest = s.c_str() + consumed;
  char* end = nullptr;
  const double second = std::strtod(rest, &end);
  if (end == rest || !(second >= 0.0 && second < 61.0))
    return false;
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59)
    return false;
  double offset = 0.0;
  const std::string zone = end;
  if (zone == "Z" || zone.empty()) {
    offset = 0.0;
  } else {
    int zh = 0, zm = 0, zoneUsed = 0;
    if ((zone[0] != '+' && zone[0] != '-') ||
        std::sscanf(zone.c_str() + 1, "%2d:%2d%n", &zh, &zm, &zoneUsed) != 2 ||
        static_cast<size_t>(zoneUsed) + 1 != zone.size()) {
      return false;
    }
    offset = (zone[0] == '+' ? 1 : -1) * (zh * 3600.0 + zm * 60.0);
  }
  // Days from 1970-01-01 of a proleptic Gregorian date.
  const int y = year - (month <= 2 ? 1 : 0);
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const double days = era * 146097.0 + doe - 719468.0;
  *seconds = days * 86400.0 + hour * 3600.0 + minute * 60.0 + second - offset;
  return true;
}

namespace {

// The value of attribute name="..." (or '...') inside a tag's text.
bool Attribute(const std::string& tag, const std::string& name, std::string* value) {
  size_t at = 0;
  while ((at = tag.find(name, at)) != std::string::npos) {
    const bool separated = at > 0 && std::isspace(static_cast<unsigned char>(tag[at - 1]));
    size_t p = at + name.size();
    at = p;
    while (p < tag.size() && std::isspace(static_cast<unsigned char>(tag[p])))
      ++p;
    if (!separated || p >= tag.size() || tag[p] != '=')
      continue;
    ++p;
    while (p < tag.size() && std::isspace(static_cast<unsigned char>(tag[p])))
      ++p;
    if (p >= tag.size() || (tag[p] != '"' && tag[p] != '\''))
      return false;
    const size_t close = tag.find(tag[p], p + 1);
    if (close == std::string::npos)
      return false;
    *value = tag.substr(p + 1, close - p - 1);
    return true;
  }
  return false;
}

}  // namespace

Telemetry ParseGpx(const std::string& text) {
  Telemetry t;
  int number = 0;
  for (size_t at = text.find("<trkpt"); at != std::string::npos; at = text.find("<trkpt", at + 1)) {
    ++number;
    const std::string where = "track point " + std::to_string(number);
    const size_t tagEnd = text.find('>', at);
    if (tagEnd == std::string::npos) {
      Note(&t, where + " is cut short");
      break;
    }
    const std::string tag = text.substr(at, tagEnd - at);
    const bool selfClosing = tag.back() == '/';
    const size_t close = selfClosing ? tagEnd : text.find("</trkpt>", tagEnd);
    const std::string body =
        close == std::string::npos ? std::string() : text.substr(tagEnd + 1, close - tagEnd - 1);
    std::string lat, lon;
    TrackPoint point;
    if (!Attribute(tag, "lat", &lat) || !Attribute(tag, "lon", &lon) ||
        !WholeNumber(lat, &point.latitude) || !WholeNumber(lon, &point.longitude)) {
      Note(&t, where + " has no readable lat and lon");
      continue;
    }
    const size_t timeAt = body.find("<time>");
    const size_t timeEnd = body.find("</time>");
    if (timeAt == std::string::npos || timeEnd == std::string::npos || timeEnd < timeAt ||
        !ParseIsoTime(body.substr(timeAt + 6, timeEnd - timeAt - 6), &point.seconds)) {
      Note(&t, where + " has no readable time");
      continue;
    }
    const std::string problem = FixProblem(point.latitude, point.longitude);
    if (!problem.empty()) {
      Note(&t, where + " has " + problem);
      continue;
    }
    t.track.push_back(point);
  }
  std::stable_sort(t.track.begin(), t.track.end(),
                   [](const TrackPoint& a, const TrackPoint& b) { return a.seconds < b.seconds; });
  Finish(&t);
  return t;
}

Telemetry ReadTelemetry(const std::string& path) {
  Telemetry t;
  std::string extension;
  const size_t dot = path.rfind('.');
  if (dot != std::string::npos && path.find('/', dot) == std::string::npos) {
    for (char c : path.substr(dot + 1))
      extension += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  if (extension != "srt" && extension != "csv" && extension != "gpx") {
    t.error = "its name must end in .srt, .csv or .gpx";
    return t;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    t.error = std::strerror(errno);
    return t;
  }
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (in.bad()) {
    t.error = "it could not be read";
    return t;
  }
  const std::string text = bytes.str();
  if (extension == "srt")
    return ParseSrt(text);
  return extension == "csv" ? ParseTelemetryCsv(text) : ParseGpx(text);
}

std::vector<GeoFix> FixesFromTrack(const std::vector<TrackPoint>& track,
                                   const std::vector<int>& frames, double fps,
                                   double offsetSeconds) {
  std::vector<GeoFix> fixes;
  if (track.empty() || !(fps > 0.0))
    return fixes;
  for (int frame : frames) {
    const double time = track.front().seconds + offsetSeconds + frame / fps;
    const auto after =
        std::lower_bound(track.begin(), track.end(), time,
                         [](const TrackPoint& p, double seconds) { return p.seconds < seconds; });
    if (after == track.end())
      continue;
    GeoFix fix;
    fix.frame = frame;
    if (after->seconds == time || after == track.begin()) {
      if (after->seconds != time)
        continue;
      fix.latitude = after->latitude;
      fix.longitude = after->longitude;
    } else {
      const TrackPoint& before = *(after - 1);
      const double w = (time - before.seconds) / (after->seconds - before.seconds);
      fix.latitude = before.latitude + w * (after->latitude - before.latitude);
      fix.longitude = before.longitude + w * (after->longitude - before.longitude);
    }
    fixes.push_back(fix);
  }
  return fixes;
}

namespace {

// WGS 84 longitude, latitude (in that order) and the zone's metres.
struct Transforms {
  std::unique_ptr<OGRCoordinateTransformation> forward, inverse;
};

Transforms MakeTransforms(int epsg) {
  OGRSpatialReference geographic, projected;
  geographic.importFromEPSG(4326);
  geographic.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
  projected.importFromEPSG(epsg);
  projected.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
  Transforms t;
  t.forward.reset(OGRCreateCoordinateTransformation(&geographic, &projected));
  t.inverse.reset(OGRCreateCoordinateTransformation(&projected, &geographic));
  return t;
}

}  // namespace

UtmZone UtmZone::Around(double latitude, double longitude) {
  const int zone = std::clamp(static_cast<int>(std::floor((longitude + 180.0) / 6.0)) + 1, 1, 60);
  UtmZone utm;
  utm.epsg_ = (latitude >= 0.0 ? 32600 : 32700) + zone;
  return utm;
}

std::string UtmZone::Name() const {
  return "EPSG:" + std::to_string(epsg_);
}

std::string UtmZone::Wkt() const {
  OGRSpatialReference projected;
  projected.importFromEPSG(epsg_);
  char* text = nullptr;
  projected.exportToWkt(&text);
  const std::string wkt = text != nullptr ? text : "";
  CPLFree(text);
  return wkt;
}

bool UtmZone::Forward(double latitude, double longitude, cv::Point2d* eastNorth) const {
  const Transforms t = MakeTransforms(epsg_);
  double x = longitude, y = latitude;
  if (t.forward == nullptr || !t.forward->Transform(1, &x, &y))
    return false;
  *eastNorth = cv::Point2d(x, y);
  return true;
}

bool UtmZone::Inverse(const cv::Point2d& eastNorth, double* latitude, double* longitude) const {
  const Transforms t = MakeTransforms(epsg_);
  double x = eastNorth.x, y = eastNorth.y;
  if (t.inverse == nullptr || !t.inverse->Transform(1, &x, &y))
    return false;
  *longitude = x;
  *latitude = y;
  return true;
}

}  // namespace io
