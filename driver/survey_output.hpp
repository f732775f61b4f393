// Survey output: the mosaics as GeoTIFFs (--format tif) and their
// georeference from the drone's telemetry (--telemetry FILE).
#pragma once

#include <string>
#include <vector>

#include "geometry/georeference.hpp"
#include "io/geotiff.hpp"
#include "io/telemetry.hpp"
#include "panorama/panorama.hpp"

struct SurveyOptions {
  std::string format;           // "png" (also when empty) or "tif"
  std::string telemetryPath;    // empty: none
  std::string telemetryOffset;  // seconds added to a GPX track's times
};

struct SurveySettings {
  bool tif = false;
  bool hasTelemetry = false;
  io::Telemetry telemetry;
  double offsetSeconds = 0.0;
};

// Checks the options and reads the telemetry before any frame is read:
// returns 0, or 2 after a message on standard error when an option or the
// telemetry file is refused (unreadable, no usable position, fewer than
// three, all on one line).
int PrepareSurvey(const SurveyOptions& options, SurveySettings* settings);

// "pano_Mean.png" or, in the GeoTIFF format, "pano_Mean.tif".
std::string ResultName(const std::string& pngName, const SurveySettings& settings);

// The key frames' positions fitted to their centres on the canvas.
struct Georeference {
  bool ok = false;
  std::string failure;
  std::string crs;  // "EPSG:326zz" or "EPSG:327zz"
  std::string wkt;
  geometry::GroundFit fit;
  // Per key frame used in the fit: its id, frame number, ground position
  // (metres east and north in the CRS) and canvas position of its centre.
  std::vector<int> ids, frames;
  std::vector<cv::Point2d> ground, canvas;
  int withoutPosition = 0;  // key frames in the mosaic without a position
};

// Fits the georeference after composition; notes on standard error. fps is
// the input's frame rate (for a GPX track; 0 when unknown).
Georeference GeoreferenceMosaic(const SurveySettings& settings, Panorama& panorama,
                                const std::vector<int>& keyFrameNumbers, double fps);

// One mosaic written as a GeoTIFF at path, masked by the mean's coverage and
// georeferenced when geo holds a fit.
bool WriteGeoTiff(const Panorama& p, const cv::Mat& image, const std::string& path,
                  const Georeference* geo, std::string* error);

// Writes the mosaics as GeoTIFFs into directory (georeferenced when geo is
// ok); the paths written are added to written. False after a message when
// one could not be written.
bool SaveGeoTiffs(Panorama& panorama, const std::string& directory, const Georeference* geo,
                  std::vector<std::string>* written);

// Whether the mean is composed in tiles: in the GeoTIFF format, when neither
// the median nor the blend (which need the whole canvas in memory) is asked
// for. The canvas bound is then TiledMean's instead of the PNG's.
bool ComposesInTiles(const SurveySettings& settings, int withMedian, bool blend);

// The mean composed in tiles straight into pano_Mean.tif.
class TiledMeanFile {
 public:
  // Composes into a staging file in directory; false after a message.
  bool Compose(Panorama& panorama, const Placements& placements, const std::string& directory);
  // Writes pano_Mean.tif (georeferenced when geo is ok) and adds its path to
  // written; false after a message.
  bool Finish(const Georeference* geo, std::vector<std::string>* written);

 private:
  io::TiledGeoTiff writer_;
  std::string path_;
  bool composed_ = false;
};

// The report's "georeference" member (a JSON object, or null).
std::string GeoreferenceJson(const Georeference* geo);
