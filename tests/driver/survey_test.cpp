// Survey output end to end: a rendered survey over a photo laid on the ground
// at 5 cm per pixel, with its telemetry derived from the true homographies.
// The GeoTIFFs must hold the PNGs' pixels, be tiled with overviews and an
// alpha band, and map every key frame's centre to within 1 m of where the
// camera truly was; bad telemetry is refused before any work.
#include <gdal_priv.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <regex>
#include <sstream>

#include "io/telemetry.hpp"
#include "tests/support/test_support.hpp"
#include "tools/render/survey_telemetry.hpp"

namespace {

const cv::Size kSize(320, 240);
constexpr int kFrames = 60;
const render::GroundPlacement kGround{47.3, 8.5, 0.05, 50.0};
constexpr double kMaxErrorMetres = 1.0;

struct Raster {
  cv::Mat bgr, alpha;
  double transform[6] = {};
  std::string wkt;
  int blockX = 0, overviews = 0;
  std::string compression;
};

Raster ReadGeoTiff(const std::string& path) {
  GDALAllRegister();
  Raster r;
  std::unique_ptr<GDALDataset> d(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER));
  if (d == nullptr || d->GetRasterCount() != 4)
    return r;
  std::vector<cv::Mat> bands;
  for (int b = 1; b <= 4; ++b) {
    cv::Mat band(d->GetRasterYSize(), d->GetRasterXSize(), CV_8UC1);
    EXPECT_EQ(d->GetRasterBand(b)->RasterIO(GF_Read, 0, 0, band.cols, band.rows, band.data,
                                            band.cols, band.rows, GDT_Byte, 0, 0),
              CE_None);
    bands.push_back(band);
  }
  EXPECT_EQ(d->GetRasterBand(4)->GetColorInterpretation(), GCI_AlphaBand);
  cv::merge(std::vector<cv::Mat>{bands[2], bands[1], bands[0]}, r.bgr);
  r.alpha = bands[3];
  if (d->GetGeoTransform(r.transform) != CE_None)
    std::fill(std::begin(r.transform), std::end(r.transform), 0.0);
  r.wkt = d->GetProjectionRef();
  int blockY = 0;
  d->GetRasterBand(1)->GetBlockSize(&r.blockX, &blockY);
  r.overviews = d->GetRasterBand(1)->GetOverviewCount();
  const char* c = d->GetMetadataItem("COMPRESSION", "IMAGE_STRUCTURE");
  r.compression = c != nullptr ? c : "";
  return r;
}

class Survey : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new testsupport::ScratchDir("vmosaic-survey-");
    const cv::Mat photo = render::LoadPhoto("moss_2560x1600.jpg");
    const auto path = render::SerpentinePath(300, 1400, 300, 2, 220, kFrames);
    std::vector<cv::Mat> frames;
    for (int f = 0; f < kFrames; ++f) {
      truth_.push_back(render::PhotoToFrame(render::PoseAt(path, f), kSize));
      frames.push_back(render::RenderFrame(photo, truth_.back(), kSize));
    }
    ASSERT_TRUE(render::WriteVideo(dir_->file("in.mkv"), frames, 30));
    const auto positions = render::FramePositions(truth_, kSize, kGround);
    ASSERT_EQ(positions.size(), truth_.size());
    ASSERT_TRUE(render::WriteTelemetryCsv(dir_->file("t.csv"), positions, kGround));
    ASSERT_TRUE(render::WriteTelemetrySrt(dir_->file("t.srt"), positions, kGround, 30));
    ASSERT_TRUE(render::WriteTelemetryGpx(dir_->file("t.gpx"), positions, 30));
  }
  static void TearDownTestSuite() { delete dir_; }

  // vmosaic on the survey in a fresh folder dir_/name.
  static testsupport::RunResult Run(const std::string& name, std::vector<std::string> options,
                                    const char* median = "1") {
    std::filesystem::create_directory(dir_->file(name));
    options.insert(options.end(), {"--json", "r.json", "../in.mkv", "80", "0", median});
    return testsupport::RunVmosaic(options, dir_->file(name));
  }
  // Where the camera truly was over frame f, in metres of the UTM zone.
  static cv::Point2d TrueGround(int f) {
    const io::UtmZone zone = io::UtmZone::Around(kGround.latitude, kGround.longitude);
    cv::Point2d origin;
    EXPECT_TRUE(zone.Forward(kGround.latitude, kGround.longitude, &origin));
    const cv::Vec3d p = truth_[f].inv() * cv::Vec3d(kSize.width / 2.0, kSize.height / 2.0, 1);
    return {origin.x + p[0] / p[2] * kGround.metresPerPixel,
            origin.y - p[1] / p[2] * kGround.metresPerPixel};
  }

  static inline testsupport::ScratchDir* dir_ = nullptr;
  static inline std::vector<cv::Matx33d> truth_;
};

TEST_F(Survey, GeoTiffHoldsThePngPixelsTiledWithOverviewsAndAlpha) {
  const testsupport::RunResult png = Run("png", {"--blend"});
  const testsupport::RunResult tif = Run("tif", {"--format", "tif", "--blend"});
  ASSERT_EQ(png.exitCode, 0);
  ASSERT_EQ(tif.exitCode, 0) << tif.err;
  const std::regex seconds(testsupport::kFloat);
  EXPECT_EQ(std::regex_replace(tif.out, seconds, "T"), std::regex_replace(png.out, seconds, "T"));
  for (const char* name : {"pano_Mean", "pano_Median", "pano_Blend"}) {
    const cv::Mat png = cv::imread(dir_->file("png/") + name + ".png");
    const Raster r = ReadGeoTiff(dir_->file("tif/") + name + ".tif");
    ASSERT_FALSE(png.empty());
    EXPECT_TRUE(testsupport::SameBits(png, r.bgr)) << name;
    EXPECT_EQ(r.blockX, 512);
    EXPECT_GE(r.overviews, 1);
    EXPECT_EQ(r.compression, "DEFLATE");
    EXPECT_TRUE(r.wkt.empty());
    // Uncovered canvas pixels are transparent and black; covered ones opaque.
    const int transparent = cv::countNonZero(r.alpha == 0);
    EXPECT_GT(transparent, 0);
    EXPECT_LT(transparent, static_cast<int>(r.alpha.total()) / 2);
    cv::Mat grey;
    cv::cvtColor(png, grey, cv::COLOR_BGR2GRAY);
    EXPECT_EQ(cv::countNonZero(grey & (r.alpha == 0)), 0) << name;
  }
  EXPECT_FALSE(testsupport::FileExists(dir_->file("tif/pano_Mean.png")));
}

// The mean alone is composed tile by tile (tiles of 1024 px: two across this
// canvas), and must still hold the whole-canvas mean's bytes, with --refine too.
TEST_F(Survey, MeanComposedInTilesEqualsTheWholeCanvasMean) {
  for (const bool refine : {false, true}) {
    const std::string name = refine ? "tiles_refined" : "tiles";
    std::vector<std::string> options{"--format", "tif"};
    if (refine)
      options.push_back("--refine");
    ASSERT_EQ(Run(name, options, "0").exitCode, 0);
    options.erase(options.begin(), options.begin() + 2);
    ASSERT_EQ(Run(name + "_png", options, "0").exitCode, 0);
    const cv::Mat whole = cv::imread(dir_->file(name + "_png/pano_Mean.png"));
    const Raster tiled = ReadGeoTiff(dir_->file(name + "/pano_Mean.tif"));
    ASSERT_GT(whole.cols, 1024);
    EXPECT_TRUE(testsupport::SameBits(whole, tiled.bgr)) << name;
    cv::Mat grey;
    cv::cvtColor(whole, grey, cv::COLOR_BGR2GRAY);
    EXPECT_EQ(cv::countNonZero(grey & (tiled.alpha == 0)), 0) << name;
    EXPECT_GT(cv::countNonZero(tiled.alpha == 0), 0) << name;
  }
}

// Telemetry as a CSV, as SRT subtitles, as a GPX track timed by the frame rate, and as a CSV with
// every third frame missing and seven malformed lines (five noted, all left out).
class Georeferenced : public Survey, public testing::WithParamInterface<const char*> {};

TEST_P(Georeferenced, KeyFrameCentresLieWithinOneMetreOfTheirTruePositions) {
  const std::string kind = GetParam();
  std::string telemetry = dir_->file(kind == "csv_with_gaps" ? "t.csv" : "t." + kind);
  if (kind == "csv_with_gaps") {
    std::ifstream in(telemetry);
    std::ofstream out(telemetry = dir_->file("gaps.csv"));
    std::string line;
    for (int n = 0; std::getline(in, line); ++n)
      out << (n % 3 == 1 ? "" : line + "\n") << (n >= 5 && n < 12 ? "7,north,east\n" : "");
  }
  const testsupport::RunResult run = Run(kind, {"--format=tif", "--telemetry", telemetry});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_THAT(run.err, testing::HasSubstr("georeference: EPSG:32632"));
  if (kind == "csv_with_gaps") {
    EXPECT_THAT(run.err, testing::HasSubstr("line 5 is not frame,latitude,longitude"));
    EXPECT_THAT(run.err, testing::HasSubstr("telemetry: 2 more records left out"));
  }
  const Raster r = ReadGeoTiff(dir_->file(kind + "/pano_Mean.tif"));
  EXPECT_THAT(r.wkt, testing::HasSubstr("UTM zone 32N"));
  EXPECT_NEAR(std::hypot(r.transform[1], r.transform[2]), kGround.metresPerPixel, 1e-3);
  // The report, checked against its schema: "id frame" and frame_to_canvas per key frame.
  const std::string root = testsupport::SourceRoot();
  const testsupport::RunResult check =
      testsupport::RunProgram("/usr/bin/python3",
                              {root + "/tests/driver/check_run_report.py",
                               dir_->file(kind + "/r.json"), root + "/doc/run-report.schema.json"},
                              dir_->path);
  ASSERT_EQ(check.exitCode, 0) << check.err;
  EXPECT_THAT(testsupport::ReadFile(dir_->file(kind + "/r.json")),
              testing::HasSubstr("\"crs\": \"EPSG:32632\""));
  std::istringstream lines(check.out);
  std::string word;
  int keyCount = 0, id = 0, frame = 0, checked = 0;
  lines >> word >> id >> id >> id >> id >> id >> keyCount >> id;
  for (int k = 0; k < keyCount && lines >> id >> frame; ++k) {
    cv::Matx33d H;
    for (double& v : H.val)
      lines >> v;
    const cv::Vec3d c = H * cv::Vec3d(kSize.width / 2.0, kSize.height / 2.0, 1);
    const double px = c[0] / c[2] + 0.5, py = c[1] / c[2] + 0.5;  // pixel-corner coordinates
    const cv::Point2d mapped(r.transform[0] + px * r.transform[1] + py * r.transform[2],
                             r.transform[3] + px * r.transform[4] + py * r.transform[5]);
    EXPECT_LT(cv::norm(mapped - TrueGround(frame)), kMaxErrorMetres) << "frame " << frame;
    ++checked;
  }
  EXPECT_GE(checked, 6);
}

INSTANTIATE_TEST_SUITE_P(Telemetry, Georeferenced,
                         testing::Values("csv", "srt", "gpx", "csv_with_gaps"),
                         [](const auto& info) { return std::string(info.param); });

// Telemetry whose times all fall after the frames (a large offset): the mean
// is still written, tile by tile and without a georeference; standard error
// and the report say why, and the run ends with status 2.
TEST_F(Survey, TelemetryThatPlacesNoKeyFrameLeavesTheMosaicWithoutAGeoreference) {
  const testsupport::RunResult run =
      Run("late",
          {"--format=tif", "--telemetry", dir_->file("t.gpx"), "--telemetry-offset", "1000"}, "0");
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_THAT(run.err, testing::HasSubstr("vmosaic: no georeference: no key frame has a position"));
  EXPECT_THAT(testsupport::ReadFile(dir_->file("late/r.json")),
              testing::HasSubstr(R"("georeference": {"crs": null, "failure": "no key frame)"));
  const Raster r = ReadGeoTiff(dir_->file("late/pano_Mean.tif"));
  EXPECT_TRUE(r.wkt.empty() && !r.bgr.empty());
}

struct BadTelemetry {
  const char* name;
  const char* file;
  const char* text;  // nullptr: the file does not exist
  const char* message;
  std::vector<std::string> more{};  // options after --telemetry
};

void PrintTo(const BadTelemetry& b, std::ostream* os) {
  *os << b.name;
}

class Refused : public Survey, public testing::WithParamInterface<BadTelemetry> {};

TEST_P(Refused, WithStatusTwoBeforeAnyWork) {
  const BadTelemetry& bad = GetParam();
  const std::string path = dir_->file(bad.file);
  if (bad.text != nullptr)
    std::ofstream(path) << bad.text;
  std::vector<std::string> options{"--format", "tif", "--telemetry", path};
  options.insert(options.end(), bad.more.begin(), bad.more.end());
  const testsupport::RunResult run = Run(bad.name, options);
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_THAT(run.err, testing::HasSubstr(bad.message));
  EXPECT_TRUE(run.out.empty());
  EXPECT_FALSE(testsupport::FileExists(dir_->file(std::string(bad.name) + "/pano_Mean.tif")));
}

INSTANTIATE_TEST_SUITE_P(
    Telemetry, Refused,
    testing::Values(
        BadTelemetry{"missing", "none.csv", nullptr, "none.csv refused: No such file"},
        BadTelemetry{"empty", "empty.srt", "", "refused: it holds no position"},
        BadTelemetry{"malformed", "bad.csv", "0;47.3;8.5\nx\n", "refused: it holds no position"},
        BadTelemetry{"no_fix", "nofix.csv", "0,0,0\n1,0,0\n2,0,0\n", "no position fix"},
        BadTelemetry{"two", "two.csv", "0,47.3,8.5\n9,47.301,8.5\n", "too few positions (2"},
        BadTelemetry{"collinear", "line.csv", "0,47.3,8.5\n1,47.301,8.5\n2,47.302,8.5\n",
                     "the positions lie on one line"},
        BadTelemetry{"extension", "t.txt", "0,47.3,8.5\n", "must end in .srt, .csv or .gpx"},
        BadTelemetry{
            "format", "f.csv", nullptr, "--format needs png or tif, not jpg", {"--format", "jpg"}},
        BadTelemetry{"offset_text",
                     "o.csv",
                     nullptr,
                     "--telemetry-offset needs a number of",
                     {"--telemetry-offset", "2s"}},
        BadTelemetry{"offset_infinite",
                     "o.csv",
                     nullptr,
                     "--telemetry-offset needs a number",
                     {"--telemetry-offset", "inf"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
