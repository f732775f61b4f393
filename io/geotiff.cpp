#include "io/geotiff.hpp"

#include <gdal_priv.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <vector>

#include "io/output_file.hpp"

namespace io {
namespace {

// GDAL's block cache would otherwise take 5 % of the physical memory.
constexpr const char* kGdalCacheMiB = "256";
// Bytes of a staged GTiff above which it is written as BigTIFF (the 4 GiB
// limit of classic TIFF, with room for the overviews and directories).
constexpr const char* kBigTiffPolicy = "IF_SAFER";

void InitialiseGdal() {
  static std::once_flag once;
  std::call_once(once, [] {
    CPLSetConfigOption("GDAL_CACHEMAX", kGdalCacheMiB);
    GDALAllRegister();
  });
}

// GDAL's own messages stay off the terminal; the reason is taken from its
// last error instead.
class QuietGdal {
 public:
  QuietGdal() {
    CPLPushErrorHandler(CPLQuietErrorHandler);
    CPLErrorReset();
  }
  ~QuietGdal() { CPLPopErrorHandler(); }
  QuietGdal(const QuietGdal&) = delete;
  QuietGdal& operator=(const QuietGdal&) = delete;
};

bool Fail(std::string* error, const std::string& what) {
  if (error != nullptr) {
    const char* reason = CPLGetLastErrorMsg();
    *error = what + (reason != nullptr && *reason != '\0' ? std::string(": ") + reason : "");
  }
  return false;
}

std::string UniqueMemoryName() {
  static std::atomic<int> counter{0};
  return "/vsimem/vmosaic_" + std::to_string(getpid()) + "_" + std::to_string(++counter) + ".tif";
}

struct DatasetCloser {
  void operator()(GDALDataset* d) const { GDALClose(d); }
};
using Dataset = std::unique_ptr<GDALDataset, DatasetCloser>;

void SetColourBands(GDALDataset& d, int channels) {
  if (channels == 3) {
    d.GetRasterBand(1)->SetColorInterpretation(GCI_RedBand);
    d.GetRasterBand(2)->SetColorInterpretation(GCI_GreenBand);
    d.GetRasterBand(3)->SetColorInterpretation(GCI_BlueBand);
  } else {
    d.GetRasterBand(1)->SetColorInterpretation(GCI_GrayIndex);
  }
  d.GetRasterBand(channels + 1)->SetColorInterpretation(GCI_AlphaBand);
}

// Band i of the buffer (B, G, R in memory) goes to dataset band kBgrToBands[i].
int kBgrToBands[] = {3, 2, 1};

// Writes image and coverage into d at (x, y).
bool WriteRegion(GDALDataset& d, int x, int y, const cv::Mat& image, const cv::Mat& coverage) {
  const int channels = image.channels();
  CPLErr status =
      d.RasterIO(GF_Write, x, y, image.cols, image.rows, const_cast<uchar*>(image.data), image.cols,
                 image.rows, GDT_Byte, channels, channels == 3 ? kBgrToBands : nullptr, channels,
                 static_cast<GSpacing>(image.step), 1, nullptr);
  if (status != CE_None)
    return false;
  const cv::Mat alpha =
      coverage.empty() ? cv::Mat(image.size(), CV_8UC1, cv::Scalar(255)) : coverage;
  status = d.GetRasterBand(channels + 1)
               ->RasterIO(GF_Write, x, y, alpha.cols, alpha.rows, const_cast<uchar*>(alpha.data),
                          alpha.cols, alpha.rows, GDT_Byte, 1, static_cast<GSpacing>(alpha.step),
                          nullptr);
  return status == CE_None;
}

void ApplyGeoReference(GDALDataset& d, const GeoReference* geo) {
  if (geo == nullptr)
    return;
  std::array<double, 6> transform = geo->transform;
  d.SetGeoTransform(transform.data());
  if (!geo->wkt.empty())
    d.SetProjection(geo->wkt.c_str());
}

// The cloud-optimised copy of source, written to path at once or not at all:
// encoded in memory and written by WriteFileAtomically, or, for a canvas
// too large to hold encoded (onDisk), encoded into a temporary file next to
// path and renamed over it.
bool WriteCog(GDALDataset& source, const std::string& path, bool onDisk, std::string* error) {
  GDALDriver* cog = GetGDALDriverManager()->GetDriverByName("COG");
  if (cog == nullptr)
    return Fail(error, "GDAL has no COG driver");
  const std::string blockSize = "BLOCKSIZE=" + std::to_string(kGeoTiffTileSize);
  const std::string bigTiff = std::string("BIGTIFF=") + kBigTiffPolicy;
  const char* options[] = {
      blockSize.c_str(), "COMPRESS=DEFLATE",   "PREDICTOR=YES", bigTiff.c_str(),
      "OVERVIEWS=AUTO",  "RESAMPLING=AVERAGE", nullptr};
  if (onDisk) {
    const size_t slash = path.rfind('/');
    const std::string temporary = (slash == std::string::npos ? "" : path.substr(0, slash + 1)) +
                                  "." + path.substr(slash + 1) + ".tmp" + std::to_string(getpid()) +
                                  ".tif";
    Dataset copy(cog->CreateCopy(temporary.c_str(), &source, FALSE, const_cast<char**>(options),
                                 nullptr, nullptr));
    const bool encoded = copy != nullptr;
    copy.reset();
    if (encoded && CPLGetLastErrorType() < CE_Failure &&
        VSIRename(temporary.c_str(), path.c_str()) == 0) {
      return true;
    }
    VSIUnlink(temporary.c_str());
    return Fail(error, "GDAL could not write the GeoTIFF");
  }
  const std::string memoryName = UniqueMemoryName();
  Dataset copy(cog->CreateCopy(memoryName.c_str(), &source, FALSE, const_cast<char**>(options),
                               nullptr, nullptr));
  if (copy == nullptr) {
    VSIUnlink(memoryName.c_str());
    return Fail(error, "GDAL could not encode the GeoTIFF");
  }
  copy.reset();
  vsi_l_offset length = 0;
  GByte* bytes = VSIGetMemFileBuffer(memoryName.c_str(), &length, TRUE);
  std::vector<unsigned char> encoded(bytes, bytes + length);
  CPLFree(bytes);
  VSIUnlink(memoryName.c_str());
  return WriteFileAtomically(path, encoded, error);
}

}  // namespace

bool WriteGeoTiff(const std::string& path, const cv::Mat& image, const cv::Mat& coverage,
                  const GeoReference* geo, std::string* error) {
  CV_Assert(image.type() == CV_8UC3 || image.type() == CV_8UC1);
  CV_Assert(coverage.empty() || (coverage.type() == CV_8UC1 && coverage.size() == image.size()));
  InitialiseGdal();
  QuietGdal quiet;
  GDALDriver* mem = GetGDALDriverManager()->GetDriverByName("MEM");
  const int channels = image.channels();
  Dataset source(mem->Create("", image.cols, image.rows, channels + 1, GDT_Byte, nullptr));
  if (source == nullptr)
    return Fail(error, "GDAL could not hold the image");
  SetColourBands(*source, channels);
  if (!WriteRegion(*source, 0, 0, image, coverage))
    return Fail(error, "GDAL could not hold the image");
  ApplyGeoReference(*source, geo);
  return WriteCog(*source, path, false, error);
}

struct TiledGeoTiff::State {
  std::string path;
  std::string stagingPath;
  Dataset staging;
};

TiledGeoTiff::TiledGeoTiff() : state_(std::make_unique<State>()) {}

TiledGeoTiff::~TiledGeoTiff() {
  if (!state_->stagingPath.empty()) {
    state_->staging.reset();
    VSIUnlink(state_->stagingPath.c_str());
  }
}

bool TiledGeoTiff::Open(const std::string& path, int width, int height, int channels,
                        std::string* error) {
  CV_Assert(channels == 1 || channels == 3);
  InitialiseGdal();
  QuietGdal quiet;
  const size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  state_->path = path;
  state_->stagingPath = directory + "." + name + ".staging" + std::to_string(getpid()) + ".tif";
  GDALDriver* gtiff = GetGDALDriverManager()->GetDriverByName("GTiff");
  const std::string block = std::to_string(kGeoTiffTileSize);
  const std::string blockX = "BLOCKXSIZE=" + block, blockY = "BLOCKYSIZE=" + block;
  const std::string bigTiff = std::string("BIGTIFF=") + kBigTiffPolicy;
  const char* options[] = {"TILED=YES", blockX.c_str(), blockY.c_str(),  "COMPRESS=DEFLATE",
                           "ZLEVEL=1",  "ALPHA=YES",    bigTiff.c_str(), nullptr};
  state_->staging.reset(gtiff->Create(state_->stagingPath.c_str(), width, height, channels + 1,
                                      GDT_Byte, const_cast<char**>(options)));
  if (state_->staging == nullptr) {
    state_->stagingPath.clear();
    return Fail(error, "could not create the staging file");
  }
  SetColourBands(*state_->staging, channels);
  return true;
}

bool TiledGeoTiff::Write(cv::Point at, const cv::Mat& image, const cv::Mat& coverage,
                         std::string* error) {
  CV_Assert(state_->staging != nullptr);
  CV_Assert(image.channels() + 1 == state_->staging->GetRasterCount());
  QuietGdal quiet;
  if (!WriteRegion(*state_->staging, at.x, at.y, image, coverage))
    return Fail(error, "could not write into the staging file");
  return true;
}

bool TiledGeoTiff::Finish(const GeoReference* geo, std::string* error) {
  CV_Assert(state_->staging != nullptr);
  QuietGdal quiet;
  ApplyGeoReference(*state_->staging, geo);
  state_->staging->FlushCache(false);
  if (CPLGetLastErrorType() >= CE_Failure)
    return Fail(error, "could not write the staging file");
  const bool ok = WriteCog(*state_->staging, state_->path, true, error);
  state_->staging.reset();
  VSIUnlink(state_->stagingPath.c_str());
  state_->stagingPath.clear();
  return ok;
}

}  // namespace io
