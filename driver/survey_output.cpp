#include "driver/survey_output.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "driver/run_report.hpp"
#include "geometry/homography_mapping.hpp"
#include "io/geotiff.hpp"

namespace {

// Canvas pixels a side of one composed tile: a multiple of the file's tiles,
// its sums (32 bytes per pixel) about 32 MiB.
constexpr int kCompositionTile = 2 * io::kGeoTiffTileSize;

// Notes of left-out telemetry records shown on standard error; the rest are counted.
constexpr size_t kNotesShown = 5;

void PrintNotes(const std::vector<std::string>& notes) {
  for (size_t i = 0; i < notes.size() && i < kNotesShown; ++i)
    std::fprintf(stderr, "vmosaic: telemetry: %s; left out\n", notes[i].c_str());
  if (notes.size() > kNotesShown) {
    std::fprintf(stderr, "vmosaic: telemetry: %zu more records left out\n",
                 notes.size() - kNotesShown);
  }
}

int Refuse(const std::string& path, const std::string& reason) {
  std::fprintf(stderr, "vmosaic: --telemetry %s refused: %s\n", path.c_str(), reason.c_str());
  return 2;
}

// The file's positions in the UTM zone of its first one.
std::vector<cv::Point2d> ProjectedPositions(const io::Telemetry& t) {
  std::vector<std::pair<double, double>> latLon;
  for (const io::GeoFix& f : t.fixes)
    latLon.emplace_back(f.latitude, f.longitude);
  for (const io::TrackPoint& p : t.track)
    latLon.emplace_back(p.latitude, p.longitude);
  std::vector<cv::Point2d> ground;
  if (latLon.empty())
    return ground;
  const io::UtmZone zone = io::UtmZone::Around(latLon[0].first, latLon[0].second);
  for (const auto& [latitude, longitude] : latLon) {
    cv::Point2d g;
    if (zone.Forward(latitude, longitude, &g))
      ground.push_back(g);
  }
  return ground;
}

}  // namespace

int PrepareSurvey(const SurveyOptions& options, SurveySettings* settings) {
  if (!options.format.empty() && options.format != "png" && options.format != "tif") {
    std::fprintf(stderr, "vmosaic: --format needs png or tif, not %s\n", options.format.c_str());
    return 2;
  }
  settings->tif = options.format == "tif";
  if (!options.telemetryOffset.empty()) {
    char* end = nullptr;
    settings->offsetSeconds = std::strtod(options.telemetryOffset.c_str(), &end);
    if (*end != '\0' || !std::isfinite(settings->offsetSeconds)) {
      std::fprintf(stderr, "vmosaic: --telemetry-offset needs a number of seconds\n");
      return 2;
    }
  }
  if (options.telemetryPath.empty())
    return 0;
  const std::string& path = options.telemetryPath;
  settings->hasTelemetry = true;
  settings->telemetry = io::ReadTelemetry(path);
  const io::Telemetry& t = settings->telemetry;
  PrintNotes(t.notes);
  if (!t.error.empty())
    return Refuse(path, t.error);
  const size_t positions = t.fixes.size() + t.track.size();
  if (positions < geometry::kMinGroundPoints) {
    return Refuse(path, "too few positions (" + std::to_string(positions) + "; at least " +
                            std::to_string(geometry::kMinGroundPoints) + " are needed)");
  }
  if (geometry::NearlyCollinear(ProjectedPositions(t)))
    return Refuse(path, "the positions lie on one line, which fixes no orientation");
  return 0;
}

std::string ResultName(const std::string& pngName, const SurveySettings& settings) {
  if (!settings.tif)
    return pngName;
  return pngName.substr(0, pngName.rfind('.')) + ".tif";
}

Georeference GeoreferenceMosaic(const SurveySettings& settings, Panorama& p,
                                const std::vector<int>& keyFrameNumbers, double fps) {
  Georeference geo;
  if (p.CanvasSize().empty() || p.Node_PanoReference == nullptr) {
    geo.failure = "nothing was composed";
    return geo;
  }
  std::vector<int> ids, frames;
  for (_treeNode* n : p.Vect_Nodes) {
    const size_t slot = static_cast<size_t>(n->id - 1);
    if (p.SkippedByCanvas(n->id) || slot >= keyFrameNumbers.size())
      continue;
    ids.push_back(n->id);
    frames.push_back(keyFrameNumbers[slot]);
  }
  const io::Telemetry& t = settings.telemetry;
  const std::vector<io::GeoFix> fixes =
      t.track.empty() ? t.fixes : io::FixesFromTrack(t.track, frames, fps, settings.offsetSeconds);
  if (!t.track.empty() && !(fps > 0.0)) {
    geo.failure = "a GPX track needs the input's frame rate, which it does not tell";
    return geo;
  }
  std::vector<const io::GeoFix*> matched;
  for (size_t i = 0; i < ids.size(); ++i) {
    const auto fix =
        std::lower_bound(fixes.begin(), fixes.end(), frames[i],
                         [](const io::GeoFix& f, int frame) { return f.frame < frame; });
    if (fix == fixes.end() || fix->frame != frames[i]) {
      ++geo.withoutPosition;
      continue;
    }
    geo.ids.push_back(ids[i]);
    geo.frames.push_back(frames[i]);
    matched.push_back(&*fix);
  }
  if (geo.withoutPosition > 0) {
    std::fprintf(stderr, "vmosaic: telemetry: %d key frames have no position; left out\n",
                 geo.withoutPosition);
  }
  if (matched.empty()) {
    geo.failure = "no key frame has a position";
    return geo;
  }
  double meanLat = 0.0, meanLon = 0.0;
  for (const io::GeoFix* f : matched)
    meanLat += f->latitude, meanLon += f->longitude;
  const double count = static_cast<double>(matched.size());
  const io::UtmZone zone = io::UtmZone::Around(meanLat / count, meanLon / count);
  // The camera's position is the ground point at the frame's centre.
  const cv::Matx33d referenceToCanvas(1, 0, -p.composition.minposAcum_x, 0, 1,
                                      -p.composition.minposAcum_y, 0, 0, 1);
  for (size_t i = 0; i < matched.size(); ++i) {
    cv::Point2d g;
    if (!zone.Forward(matched[i]->latitude, matched[i]->longitude, &g)) {
      geo.failure = "PROJ could not project the positions";
      return geo;
    }
    geo.ground.push_back(g);
    const cv::Matx33d H =
        referenceToCanvas *
        cv::Matx33d(p.FrameToReference(p.Vect_Nodes[static_cast<size_t>(geo.ids[i] - 1)]));
    const cv::Vec3d c = H * cv::Vec3d(p.imageW / 2.0, p.imageH / 2.0, 1.0);
    geo.canvas.emplace_back(c[0] / c[2], c[1] / c[2]);
  }
  geo.fit = geometry::FitGroundSimilarity(geo.canvas, geo.ground);
  if (!geo.fit.ok) {
    geo.failure = geo.fit.failure;
    return geo;
  }
  geo.ok = true;
  geo.crs = zone.Name();
  geo.wkt = zone.Wkt();
  int inliers = 0;
  for (bool in : geo.fit.inliers)
    inliers += in ? 1 : 0;
  std::fprintf(stderr,
               "georeference: %s, %.4f m per pixel, residual %.3f m (rms) over %d of %zu key "
               "frames\n",
               geo.crs.c_str(), geo.fit.MetresPerPixel(), geo.fit.rmsMetres, inliers,
               geo.ids.size());
  return geo;
}

bool WriteGeoTiff(const Panorama& p, const cv::Mat& image, const std::string& path,
                  const Georeference* geo, std::string* error) {
  io::GeoReference reference;
  const bool located = geo != nullptr && geo->ok;
  if (located) {
    reference.wkt = geo->wkt;
    reference.transform = geo->fit.GeoTransform();
  }
  // The mosaics share one canvas; the mean's coverage marks it, widened by
  // whatever this mosaic itself put there (the blend reaches a little
  // beyond the mean's footprints), so no pixel with content is transparent.
  const cv::Mat& coverage = p.composition.mask;
  cv::Mat mask;
  if (coverage.size() == image.size()) {
    cv::Mat content = image.reshape(1, image.rows * image.cols);
    cv::reduce(content, content, 1, cv::REDUCE_MAX);
    mask = coverage | (content.reshape(1, image.rows) > 0);
  }
  return io::WriteGeoTiff(path, image, mask, located ? &reference : nullptr, error);
}

bool SaveGeoTiffs(Panorama& p, const std::string& directory, const Georeference* geo,
                  std::vector<std::string>* written) {
  return p.SaveMosaics(
      directory, ".tif",
      [&](const std::string& path, const cv::Mat& image, std::string* error) {
        return WriteGeoTiff(p, image, path, geo, error);
      },
      written);
}

bool ComposesInTiles(const SurveySettings& settings, int withMedian, bool blend) {
  return settings.tif && withMedian == 0 && !blend;
}

bool TiledMeanFile::Compose(Panorama& p, const Placements& placements,
                            const std::string& directory) {
  path_ = directory.empty() ? std::string("pano_Mean.tif") : directory + "/pano_Mean.tif";
  std::string error;
  const bool ok = p.ComposeMeanInTiles(
      placements, kCompositionTile,
      [&](cv::Size canvas) { return writer_.Open(path_, canvas.width, canvas.height, 3, &error); },
      [&](const cv::Rect& tile, const cv::Mat& mean, const cv::Mat& coverage) {
        return writer_.Write(tile.tl(), mean, coverage, &error);
      });
  if (!ok)
    std::fprintf(stderr, "vmosaic: could not write %s: %s\n", path_.c_str(), error.c_str());
  composed_ = ok;
  return ok;
}

bool TiledMeanFile::Finish(const Georeference* geo, std::vector<std::string>* written) {
  if (!composed_)
    return true;  // nothing was composed (the message, if any, is out)
  io::GeoReference reference;
  const bool located = geo != nullptr && geo->ok;
  if (located) {
    reference.wkt = geo->wkt;
    reference.transform = geo->fit.GeoTransform();
  }
  std::string error;
  if (!writer_.Finish(located ? &reference : nullptr, &error)) {
    std::fprintf(stderr, "vmosaic: could not write %s: %s\n", path_.c_str(), error.c_str());
    return false;
  }
  written->push_back(path_);
  return true;
}

std::string GeoreferenceJson(const Georeference* geo) {
  if (geo == nullptr)
    return "null";
  std::ostringstream json;
  if (!geo->ok) {
    json << "{\"crs\": null, \"failure\": " << JsonQuoted(geo->failure) << "}";
    return json.str();
  }
  const std::array<double, 6> t = geo->fit.GeoTransform();
  json << "{\"crs\": " << JsonQuoted(geo->crs) << ", \"geotransform\": [";
  for (size_t i = 0; i < t.size(); ++i)
    json << (i ? ", " : "") << JsonNumber(t[i]);
  json << "], \"metres_per_pixel\": " << JsonNumber(geo->fit.MetresPerPixel())
       << ", \"residual_rms_m\": " << JsonNumber(geo->fit.rmsMetres)
       << ", \"key_frames_without_position\": " << geo->withoutPosition << ", \"key_frames\": [";
  for (size_t i = 0; i < geo->ids.size(); ++i) {
    json << (i ? ",\n" : "\n") << "    {\"id\": " << geo->ids[i]
         << ", \"frame\": " << geo->frames[i] << ", \"easting\": " << JsonNumber(geo->ground[i].x)
         << ", \"northing\": " << JsonNumber(geo->ground[i].y)
         << ", \"canvas_x\": " << JsonNumber(geo->canvas[i].x)
         << ", \"canvas_y\": " << JsonNumber(geo->canvas[i].y)
         << ", \"residual_m\": " << JsonNumber(geo->fit.residuals[i])
         << ", \"inlier\": " << (geo->fit.inliers[i] ? "true" : "false") << "}";
  }
  json << (geo->ids.empty() ? "]}" : "\n  ]}");
  return json.str();
}
