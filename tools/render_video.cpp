// Renders a video of a virtual camera panning over a photo, and optionally the
// true photo-to-frame homography of every frame (one line of 9 numbers each).
//
//   vmosaic-render OUT PHOTO WIDTH HEIGHT FRAMES X0 Y0 X1 Y1
//                  [ANGLE0 ANGLE1 ZOOM0 ZOOM1 [NOISE [FPS [TRUTH_FILE]]]]
//
// or, for footage with camera effects along a path of waypoints:
//
//   vmosaic-render --case OUT SCENE FRAMES [options]
//
// SCENE is a bundled photo or a procedural scene ("facade", "objects", "composite").
// Options: --size W H (640 480); --at FRAME X Y ANGLE_DEG ZOOM TILT_X TILT_Y
// (a waypoint; repeat); --serpentine X0 X1 Y0 ROWS ROW_STEP (waypoints of a
// survey); --zoom Z (every waypoint's zoom); --vignetting V (corners darker by V); --exposure A
// (gain 1 + A sin(2 pi f / (FRAMES - 1)) at frame f); --noise SIGMA; --blur SHUTTER (open shutter
// in frame intervals); --seed N; --fps F; --truth FILE (JSON: the scene, the effects and every
// frame's photo-to-frame homography);
// --fault KIND FIRST LAST (frames FIRST to LAST replaced or spoiled; repeat):
// "flat" (uniform grey), "black" (a lens cap), "other" (a frame of another
// scene), "blur" (a shutter open 8 frame intervals), "occluder" (a dark
// shape crossing the left half of the frame); --cut FRAME SCENE (from FRAME
// on, the camera films SCENE along the same path: a second shot).
// --ground LAT LON METRES_PER_PIXEL (where the scene lies: its top-left
// corner, north up) with --telemetry-csv FILE and --telemetry-srt FILE (each
// frame's position, tools/render/survey_telemetry.hpp).
// OUT ending in ".mkv" is lossless; an OUT with a printf-style number
// ("f_%03d.ppm") is an image sequence (the first form only).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "tools/render/scene_renderer.hpp"
#include "tools/render/survey_telemetry.hpp"

namespace {

constexpr double kPi = 3.14159265358979323846;
// Renders per blurred frame: under a pixel apart for the blur of a brisk pan.
constexpr int kBlurSamples = 9;

struct CaseSettings {
  std::string out, scene, truthPath, csvPath, srtPath;
  render::GroundPlacement ground;
  int frames = 0;
  cv::Size size{640, 480};
  std::vector<render::Waypoint> path;
  double vignetting = 0.0, exposure = 0.0, noise = 0.0, shutter = 0.0, fps = 30.0;
  uint64_t seed = 1;
  struct Fault {
    std::string kind;
    int first = 0, last = 0;
  };
  std::vector<Fault> faults;
  int cutFrame = -1;
  std::string cutScene;
  double zoom = 0.0;  // > 0: every waypoint's zoom
};

// Heavy blur: the shutter open this many frame intervals.
constexpr double kFaultShutter = 8.0;

const CaseSettings::Fault* FaultAt(const CaseSettings& c, int f) {
  for (const auto& fault : c.faults) {
    if (fault.first <= f && f <= fault.last)
      return &fault;
  }
  return nullptr;
}

// The frame f of the case with its fault, if any.
cv::Mat FaultyFrame(const CaseSettings& c, const cv::Mat& scene, const cv::Mat& other, int f) {
  const CaseSettings::Fault* fault = FaultAt(c, f);
  if (fault == nullptr)
    return render::RenderPathFrame(scene, c.path, f, c.size, c.shutter, kBlurSamples);
  if (fault->kind == "flat" || fault->kind == "black")
    return cv::Mat(c.size, CV_8UC3, cv::Scalar::all(fault->kind == "flat" ? 128 : 0));
  if (fault->kind == "other")
    return render::RenderPathFrame(other, c.path, f, c.size);
  if (fault->kind == "blur")
    return render::RenderPathFrame(scene, c.path, f, c.size, kFaultShutter, 4 * kBlurSamples);
  cv::Mat frame = render::RenderPathFrame(scene, c.path, f, c.size, c.shutter, kBlurSamples);
  // The occluder enters at the left and leaves at the middle.
  const double t = (f - fault->first + 0.5) / (fault->last - fault->first + 1);
  const cv::Point centre(static_cast<int>(t * c.size.width / 2), c.size.height / 2);
  cv::ellipse(frame, centre, cv::Size(c.size.width / 6, c.size.height / 3), 0, 0, 360,
              cv::Scalar(30, 40, 35), cv::FILLED);
  return frame;
}

// Reads the options of --case; false (after a message) on anything malformed.
bool ParseCase(int argc, char** argv, CaseSettings* c) {
  if (argc < 5)
    return false;
  c->out = argv[2];
  c->scene = argv[3];
  c->frames = std::atoi(argv[4]);
  for (int i = 5; i < argc; ++i) {
    const std::string opt = argv[i];
    auto need = [&](int n) {
      if (i + n >= argc)
        return false;
      return true;
    };
    auto num = [&]() {
      return std::atof(argv[++i]);
    };
    if (opt == "--size" && need(2)) {
      c->size.width = std::atoi(argv[++i]);
      c->size.height = std::atoi(argv[++i]);
    } else if (opt == "--at" && need(7)) {
      render::Waypoint w;
      w.frame = num();
      w.pose.centreX = num();
      w.pose.centreY = num();
      w.pose.angle = num() * kPi / 180.0;
      w.pose.zoom = num();
      w.pose.tiltX = num();
      w.pose.tiltY = num();
      if (!c->path.empty() && w.frame < c->path.back().frame)
        return false;
      c->path.push_back(w);
    } else if (opt == "--serpentine" && need(5)) {
      const double x0 = num(), x1 = num(), y0 = num();
      const int rows = std::atoi(argv[++i]);
      const double step = num();
      if (rows < 1 || c->frames < 2)
        return false;
      c->path = render::SerpentinePath(x0, x1, y0, rows, step, c->frames);
    } else if (opt == "--zoom" && need(1)) {
      c->zoom = num();
    } else if (opt == "--vignetting" && need(1)) {
      c->vignetting = num();
    } else if (opt == "--exposure" && need(1)) {
      c->exposure = num();
    } else if (opt == "--noise" && need(1)) {
      c->noise = num();
    } else if (opt == "--blur" && need(1)) {
      c->shutter = num();
    } else if (opt == "--seed" && need(1)) {
      c->seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (opt == "--fps" && need(1)) {
      c->fps = num();
    } else if (opt == "--fault" && need(3)) {
      CaseSettings::Fault fault;
      fault.kind = argv[++i];
      fault.first = std::atoi(argv[++i]);
      fault.last = std::atoi(argv[++i]);
      const std::string kinds = " flat black other blur occluder ";
      if (kinds.find(" " + fault.kind + " ") == std::string::npos || fault.last < fault.first)
        return false;
      c->faults.push_back(fault);
    } else if (opt == "--cut" && need(2)) {
      c->cutFrame = std::atoi(argv[++i]);
      c->cutScene = argv[++i];
    } else if (opt == "--ground" && need(3)) {
      c->ground.latitude = num();
      c->ground.longitude = num();
      c->ground.metresPerPixel = num();
    } else if (opt == "--telemetry-csv" && need(1)) {
      c->csvPath = argv[++i];
    } else if (opt == "--telemetry-srt" && need(1)) {
      c->srtPath = argv[++i];
    } else if (opt == "--truth" && need(1)) {
      c->truthPath = argv[++i];
    } else {
      std::fprintf(stderr, "vmosaic-render: bad option %s\n", opt.c_str());
      return false;
    }
  }
  if (c->zoom > 0.0) {
    for (render::Waypoint& w : c->path)
      w.pose.zoom = c->zoom;
  }
  return c->frames >= 2 && c->size.width >= 16 && c->size.height >= 16 && !c->path.empty();
}

double GainAt(const CaseSettings& c, int f) {
  return 1.0 + c.exposure * std::sin(2.0 * kPi * f / (c.frames - 1));
}

// The telemetry files asked for, from the frames' true homographies.
bool WriteTelemetry(const CaseSettings& c) {
  if (c.csvPath.empty() && c.srtPath.empty())
    return true;
  std::vector<cv::Matx33d> photoToFrame;
  for (int f = 0; f < c.frames; ++f)
    photoToFrame.push_back(render::PhotoToFrame(render::PoseAt(c.path, f), c.size));
  const auto positions = render::FramePositions(photoToFrame, c.size, c.ground);
  const bool ok =
      !positions.empty() &&
      (c.csvPath.empty() || render::WriteTelemetryCsv(c.csvPath, positions, c.ground)) &&
      (c.srtPath.empty() || render::WriteTelemetrySrt(c.srtPath, positions, c.ground, c.fps));
  if (!ok)
    std::fprintf(stderr, "vmosaic-render: could not write the telemetry\n");
  return ok;
}

int RenderCase(int argc, char** argv) {
  CaseSettings c;
  if (!ParseCase(argc, argv, &c)) {
    std::fprintf(stderr,
                 "usage: vmosaic-render --case OUT SCENE FRAMES [--size W H] "
                 "[--at FRAME X Y ANGLE_DEG ZOOM TILT_X TILT_Y]... "
                 "[--serpentine X0 X1 Y0 ROWS ROW_STEP] [--zoom Z] [--vignetting V] [--exposure A] "
                 "[--noise SIGMA] [--blur SHUTTER] [--seed N] [--fps F] [--truth FILE] "
                 "[--ground LAT LON METRES_PER_PIXEL] [--telemetry-csv FILE] "
                 "[--telemetry-srt FILE]\n");
    return 2;
  }
  const cv::Mat scene = render::LoadScene(c.scene);
  if (scene.empty()) {
    std::fprintf(stderr, "vmosaic-render: scene %s not found\n", c.scene.c_str());
    return 1;
  }
  const cv::Mat second = c.cutFrame >= 0 ? render::LoadScene(c.cutScene) : cv::Mat();
  const cv::Mat other = render::LoadScene(c.scene == "facade" ? "objects" : "facade");
  if (c.cutFrame >= 0 && second.empty()) {
    std::fprintf(stderr, "vmosaic-render: scene %s not found\n", c.cutScene.c_str());
    return 1;
  }
  cv::VideoWriter writer = render::OpenVideoWriter(c.out, c.size, c.fps);
  if (!writer.isOpened()) {
    std::fprintf(stderr, "vmosaic-render: could not write %s\n", c.out.c_str());
    return 1;
  }
  for (int f = 0; f < c.frames; ++f) {
    const bool cut = c.cutFrame >= 0 && f >= c.cutFrame;
    cv::Mat frame = FaultyFrame(c, cut ? second : scene, other, f);
    render::Photometry light;
    light.vignetting = c.vignetting;
    light.gain = GainAt(c, f);
    light.noiseSigma = c.noise;
    render::ApplyPhotometry(frame, light, c.seed + static_cast<uint64_t>(f));
    writer.write(frame);
  }
  writer.release();
  if (!WriteTelemetry(c))
    return 1;
  if (c.truthPath.empty())
    return 0;
  std::ofstream truth(c.truthPath);
  truth << std::setprecision(17);
  truth << "{\n  \"scene\": \"" << c.scene << "\",\n  \"frame_size\": {\"width\": " << c.size.width
        << ", \"height\": " << c.size.height << "},\n  \"frames\": " << c.frames
        << ",\n  \"vignetting\": " << c.vignetting << ",\n  \"exposure_drift\": " << c.exposure
        << ",\n  \"noise\": " << c.noise << ",\n  \"shutter\": " << c.shutter;
  if (c.cutFrame >= 0)
    truth << ",\n  \"cut\": {\"frame\": " << c.cutFrame << ", \"scene\": \"" << c.cutScene << "\"}";
  truth << ",\n  \"faults\": [";
  for (size_t k = 0; k < c.faults.size(); ++k) {
    truth << (k ? ", " : "") << "{\"kind\": \"" << c.faults[k].kind
          << "\", \"first\": " << c.faults[k].first << ", \"last\": " << c.faults[k].last << "}";
  }
  truth << "],\n  \"gain\": [";
  for (int f = 0; f < c.frames; ++f)
    truth << (f ? ", " : "") << GainAt(c, f);
  truth << "],\n  \"photo_to_frame\": [";
  for (int f = 0; f < c.frames; ++f) {
    const cv::Matx33d H = render::PhotoToFrame(render::PoseAt(c.path, f), c.size);
    truth << (f ? ",\n    [" : "\n    [");
    for (int i = 0; i < 9; ++i)
      truth << (i ? ", " : "") << H.val[i];
    truth << "]";
  }
  truth << "\n  ]\n}\n";
  truth.close();
  if (!truth) {
    std::fprintf(stderr, "vmosaic-render: could not write %s\n", c.truthPath.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::string(argv[1]) == "--case")
    return RenderCase(argc, argv);
  if (argc < 10) {
    std::fprintf(stderr,
                 "usage: vmosaic-render OUT PHOTO WIDTH HEIGHT FRAMES X0 Y0 X1 Y1 "
                 "[ANGLE0 ANGLE1 ZOOM0 ZOOM1 [NOISE [FPS [TRUTH_FILE]]]]\n");
    return 2;
  }
  const std::string out = argv[1];
  const cv::Mat photo = render::LoadPhoto(argv[2]);
  if (photo.empty()) {
    std::fprintf(stderr, "vmosaic-render: photo %s not found\n", argv[2]);
    return 1;
  }
  const cv::Size size(std::atoi(argv[3]), std::atoi(argv[4]));
  const int frames = std::atoi(argv[5]);
  render::CameraPose a, b;
  a.centreX = std::atof(argv[6]);
  a.centreY = std::atof(argv[7]);
  b.centreX = std::atof(argv[8]);
  b.centreY = std::atof(argv[9]);
  if (argc >= 14) {
    a.angle = std::atof(argv[10]);
    b.angle = std::atof(argv[11]);
    a.zoom = std::atof(argv[12]);
    b.zoom = std::atof(argv[13]);
  }
  const double noise = argc >= 15 ? std::atof(argv[14]) : 0.0;
  const double fps = argc >= 16 ? std::atof(argv[15]) : 30.0;
  if (size.width < 16 || size.height < 16 || frames < 2) {
    std::fprintf(stderr, "vmosaic-render: bad size or frame count\n");
    return 2;
  }
  const auto poses = render::Interpolate(a, b, frames);
  const auto images = render::RenderSequence(photo, poses, size, noise, 1);
  if (!render::WriteVideo(out, images, fps)) {
    std::fprintf(stderr, "vmosaic-render: could not write %s\n", out.c_str());
    return 1;
  }
  if (argc >= 17) {
    std::ofstream truth(argv[16]);
    truth << std::setprecision(17);
    for (const auto& pose : poses) {
      const cv::Matx33d H = render::PhotoToFrame(pose, size);
      for (int i = 0; i < 9; ++i)
        truth << H.val[i] << (i == 8 ? '\n' : ' ');
    }
  }
  return 0;
}
