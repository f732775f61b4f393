// Writing mosaics as cloud-optimised GeoTIFFs (GDAL): tiled, compressed
// losslessly with a predictor, BigTIFF when the file needs it, with internal
// overviews and an alpha band that marks the uncovered pixels, optionally
// with a coordinate reference system and a geotransform.
//
// A mosaic held in memory is written in one call; a mosaic composed tile by
// tile goes through TiledGeoTiff, which stages the tiles in a file next to
// the result so memory never holds the whole canvas.
#pragma once

#include <array>
#include <memory>
#include <opencv2/core.hpp>
#include <string>

namespace io {

// Where the pixels lie on the ground: a CRS as WKT and GDAL's geotransform
// (x = t0 + column * t1 + row * t2, y = t3 + column * t4 + row * t5, where
// (column, row) = (0, 0) is the top-left corner of the top-left pixel).
struct GeoReference {
  std::string wkt;
  std::array<double, 6> transform{};
};

// The block size of the tiles, in pixels a side.
constexpr int kGeoTiffTileSize = 512;

// Writes image (8-bit BGR or grey) with coverage (8-bit, 0 where nothing was
// composed; empty: every pixel covered) as a GeoTIFF at path, replacing an
// earlier file at once or not at all (io/output_file.hpp). geo may be null.
// On failure returns false and sets error.
bool WriteGeoTiff(const std::string& path, const cv::Mat& image, const cv::Mat& coverage,
                  const GeoReference* geo, std::string* error);

// A GeoTIFF written one region at a time. Open stages an empty tiled file of
// the full size next to path; Write stores a region (image and coverage as
// for WriteGeoTiff) at its canvas position; Finish builds the overviews,
// writes the result next to path and renames it over path (no copy of the
// encoded file is held in memory), and removes the staging file. Destroying an
// unfinished writer removes the staging file.
class TiledGeoTiff {
 public:
  TiledGeoTiff();
  ~TiledGeoTiff();
  TiledGeoTiff(const TiledGeoTiff&) = delete;
  TiledGeoTiff& operator=(const TiledGeoTiff&) = delete;

  bool Open(const std::string& path, int width, int height, int channels, std::string* error);
  bool Write(cv::Point at, const cv::Mat& image, const cv::Mat& coverage, std::string* error);
  bool Finish(const GeoReference* geo, std::string* error);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace io
