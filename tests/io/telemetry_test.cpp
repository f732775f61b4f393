// The telemetry parsers on hand-written records: what each format reads, what
// it notes and leaves out, and the UTM projection's round trip.
#include "io/telemetry.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace {

struct Case {
  const char* name;
  io::Telemetry (*parse)(const std::string&);
  const char* text;
  std::vector<int> frames;  // frames read, in order
  size_t notes;
  const char* error;  // "" when the file is accepted
};

const char kSrt[] =
    "1\n00:00:00,000 --> 00:00:00,033\n<font size=\"28\">FrameCnt: 1, DiffTime: 33ms\n"
    "[iso: 100] [latitude: 47.30001] [longitude: 8.50002] [rel_alt: 50.5 abs_alt: 150]</font>\n"
    "\n\r\n2\n00:00:00,033 --> 00:00:00,066\nFrameCnt: 3\n[latitude : -33.5] [longitude : 151.2]\n"
    "\n3\nFrameCnt: 4\n[latitude: 0.0] [longitude: 0.0]\n"             // no fix yet
    "\n4\n[latitude: 47.3] [longitude: 8.5]\n"                         // no FrameCnt
    "\n5\nFrameCnt: 6\n[latitude: 47.3]\n"                             // no longitude
    "\n6\nFrameCnt: 3\n[latitude: 1] [longitude: 1]\n"                 // frame again
    "\n7\nFrameCnt: 7.5\n[latitude: 1] [longitude: 1]\n"               // no whole FrameCnt
    "\n8\nFrameCnt: 8\n[xlatitude: 1] [latitude 2] [longitude: 1]\n";  // no latitude:

// A header and 59 bad records: 50 notes, then one that counts the rest.
const std::string kManyBadLines = [] {
  std::string text = "frame,latitude,longitude\n";
  for (int i = 0; i < 59; ++i)
    text += "x\n";
  return text;
}();

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

class Parsers : public testing::TestWithParam<Case> {};

TEST_P(Parsers, ReadWhatIsWellFormedAndNoteTheRest) {
  const Case& c = GetParam();
  const io::Telemetry t = c.parse(c.text);
  std::vector<int> frames;
  for (const io::GeoFix& f : t.fixes)
    frames.push_back(f.frame);
  EXPECT_EQ(frames, c.frames);
  EXPECT_EQ(t.notes.size(), c.notes) << testing::PrintToString(t.notes);
  EXPECT_EQ(t.error, c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Telemetry, Parsers,
    testing::Values(
        Case{"srt", io::ParseSrt, kSrt, {0, 2}, 6, ""},
        Case{"srt_empty", io::ParseSrt, "\n\n", {}, 0, "it holds no position"},
        Case{"csv",
             io::ParseTelemetryCsv,
             "frame,latitude,longitude\r\n# comment\n4,47.3,8.5\n2, 47.2 ,8.4,12\n",
             {2, 4},
             0,
             ""},
        Case{"csv_bad_lines",
             io::ParseTelemetryCsv,
             "0,47.3,8.5\nframe,lat,lon\n1,47.3\n2,95,8\n3,47.3,8.5,x\n-1,47,8\n1.5,47,8\n"
             "5,0,0\n6,47.3,8.5,1,2\n7,1e999,8\n8,,8\n",
             {0},
             10,
             ""},
        Case{"csv_nothing", io::ParseTelemetryCsv, "a;b;c\n", {}, 0, "it holds no position"},
        Case{"csv_notes_bounded",
             io::ParseTelemetryCsv,
             kManyBadLines.c_str(),
             {},
             51,
             "it holds no position"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Srt, ReadsAltitudeAndSignedPositions) {
  const io::Telemetry t = io::ParseSrt(kSrt);
  ASSERT_EQ(t.fixes.size(), 2u);
  EXPECT_DOUBLE_EQ(t.fixes[0].latitude, 47.30001);
  EXPECT_TRUE(t.fixes[0].hasAltitude);
  EXPECT_DOUBLE_EQ(t.fixes[0].altitude, 50.5);
  EXPECT_DOUBLE_EQ(t.fixes[1].latitude, -33.5);
  EXPECT_FALSE(t.fixes[1].hasAltitude);
}

TEST(Gpx, TrackPointsMatchFramesByTimeWithTheOffset) {
  const io::Telemetry t = io::ParseGpx(
      "<gpx><trk><trkseg>"
      "<trkpt xlat=\"0\" lat=\"47.2\" lon=\"8.2\"><time>2024-05-01T12:00:02+02:00</time></trkpt>"
      "<trkpt lat = '47.0'\tlon=\t'8.0'><ele>5</ele><time>2024-05-01T10:00:00Z</time></trkpt>"
      "<trkpt lat=\"47.1\"><time>2024-05-01T10:00:01Z</time></trkpt>"                // no lon
      "<trkpt lat=\"47.1\" lon=\"8.1\"><time>yesterday</time></trkpt>"               // no time
      "<trkpt lat=\"95\" lon=\"8\"><time>2024-05-01T10:00:01Z</time></trkpt>"        // no place
      "<trkpt lat=47.1 lon=\"8.1\"><time>2024-05-01T10:00:01Z</time></trkpt>"        // unquoted
      "<trkpt lat=\"47.1\" lon=\"8.1\"/></trkseg></trk></gpx><trkpt lat=\"47.1\"");  // cut
  ASSERT_EQ(t.track.size(), 2u);
  EXPECT_EQ(t.notes.size(), 6u) << testing::PrintToString(t.notes);
  EXPECT_DOUBLE_EQ(t.track[1].seconds - t.track[0].seconds, 2.0);
  // At 10 fps, frame 5 is 0.5 s after the first point, 1.5 s with a 1 s offset.
  const auto fixes = io::FixesFromTrack(t.track, {0, 5, 30}, 10.0, 1.0);
  ASSERT_EQ(fixes.size(), 2u);  // frame 30 lies after the track
  EXPECT_NEAR(fixes[0].latitude, 47.1, 1e-12);
  EXPECT_NEAR(fixes[1].longitude, 8.15, 1e-12);
}

TEST(IsoTime, ReadsZonesAndRefusesMalformedTimes) {
  double s = 0.0;
  ASSERT_TRUE(io::ParseIsoTime("1970-01-02T00:00:01.25Z", &s));
  EXPECT_DOUBLE_EQ(s, 86401.25);
  ASSERT_TRUE(io::ParseIsoTime("2000-03-01T01:30:00+01:30", &s));
  EXPECT_DOUBLE_EQ(s, 951868800.0);
  ASSERT_TRUE(io::ParseIsoTime("2000-02-29T22:00:00-01:30", &s));  // no zone is UTC
  double utc = 0;
  ASSERT_TRUE(io::ParseIsoTime("2000-02-29T23:30:00", &utc));
  EXPECT_DOUBLE_EQ(s, utc);
  for (const char* bad : {"", "2000-13-01T00:00:00Z", "2000-01-01 00:00:00", "2000-01-01T00:00:00X",
                          "2000-01-01T00:00:00+1", "2000-00-01T00:00:00Z", "2000-01-00T00:00:00Z",
                          "2000-01-32T00:00:00Z", "2000-01-01T24:00:00Z", "2000-01-01T00:60:00Z",
                          "2000-01-01T00:00:61Z", "2000-01-01T00:00:Z", "2000-1-01T00:00:00Z",
                          "2000-01-01T00:00:00+01:00x"}) {
    EXPECT_FALSE(io::ParseIsoTime(bad, &s)) << bad;
  }
}

TEST(UtmZone, ProjectsIntoTheLocalZoneAndBack) {
  for (const auto& [lat, lon, epsg] :
       {std::tuple{47.3, 8.5, 32632}, {-33.9, 151.2, 32756}, {64.1, -21.9, 32627}}) {
    const io::UtmZone zone = io::UtmZone::Around(lat, lon);
    EXPECT_EQ(zone.Epsg(), epsg);
    cv::Point2d en;
    double backLat = 0, backLon = 0;
    ASSERT_TRUE(zone.Forward(lat, lon, &en));
    EXPECT_GT(en.x, 166000.0);
    EXPECT_LT(en.x, 834000.0);
    ASSERT_TRUE(zone.Inverse(en + cv::Point2d(100, 0), &backLat, &backLon));
    cv::Point2d moved;
    ASSERT_TRUE(zone.Forward(backLat, backLon, &moved));
    EXPECT_NEAR(cv::norm(moved - en), 100.0, 1e-6);
  }
}

}  // namespace
