// Renders one benchmark video frame by frame (so a long 1280x720 video never
// sits in memory): a straight pan, or a serpentine survey of three rows.
//
//   vmosaic-bench-render OUT WIDTH HEIGHT FRAMES pan|serpentine [PHOTO]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <opencv2/videoio.hpp>
#include <string>
#include <vector>

#include "tools/render/scene_renderer.hpp"

namespace {

constexpr double kFps = 30.0;
constexpr double kNoiseSigma = 1.0;  // grey levels
constexpr uint64_t kNoiseSeed = 7;

// Waypoints in photo pixels for a 2560x1600 photo; the camera moves along
// straight legs between them, with a slight rotation.
std::vector<render::CameraPose> Waypoints(const std::string& kind, double zoom) {
  auto pose = [zoom](double x, double y, double angle) {
    render::CameraPose p;
    p.centreX = x;
    p.centreY = y;
    p.angle = angle;
    p.zoom = zoom;
    return p;
  };
  if (kind == "pan")
    return {pose(700, 800, 0.0), pose(1860, 840, 0.02)};
  return {pose(700, 450, 0.0), pose(1860, 450, 0.01), pose(1860, 800, 0.01),
          pose(700, 800, 0.0), pose(700, 1150, 0.0),  pose(1860, 1150, 0.01)};
}

// The pose at parameter t in [0, 1] along the legs, legs weighted by length.
render::CameraPose PoseAt(const std::vector<render::CameraPose>& legs, double t) {
  std::vector<double> lengths;
  double total = 0.0;
  for (size_t i = 1; i < legs.size(); ++i) {
    const double dx = legs[i].centreX - legs[i - 1].centreX;
    const double dy = legs[i].centreY - legs[i - 1].centreY;
    lengths.push_back(std::sqrt(dx * dx + dy * dy));
    total += lengths.back();
  }
  double s = t * total;
  for (size_t i = 1; i < legs.size(); ++i) {
    if (s <= lengths[i - 1] || i + 1 == legs.size()) {
      const double u = lengths[i - 1] > 0 ? std::min(1.0, s / lengths[i - 1]) : 1.0;
      return render::Interpolate(legs[i - 1], legs[i], 1001)[static_cast<size_t>(u * 1000.0 + 0.5)];
    }
    s -= lengths[i - 1];
  }
  return legs.back();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr,
                 "usage: vmosaic-bench-render OUT WIDTH HEIGHT FRAMES pan|serpentine [PHOTO]\n");
    return 2;
  }
  const std::string out = argv[1];
  const cv::Size size(std::atoi(argv[2]), std::atoi(argv[3]));
  const int frames = std::atoi(argv[4]);
  const std::string kind = argv[5];
  const cv::Mat photo = render::LoadPhoto(argc > 6 ? argv[6] : "lake_boats_2560x1600.jpg");
  if (photo.empty() || frames < 2 || size.width < 16 || size.height < 16 ||
      (kind != "pan" && kind != "serpentine")) {
    std::fprintf(stderr, "vmosaic-bench-render: bad arguments or photo not found\n");
    return 2;
  }
  // The frame covers about the same part of the photo at either size.
  const double zoom = size.width / 640.0;
  const std::vector<render::CameraPose> legs = Waypoints(kind, zoom);
  cv::VideoWriter writer(out, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('a', 'v', 'c', '1'), kFps,
                         size, true);
  if (!writer.isOpened()) {
    std::fprintf(stderr, "vmosaic-bench-render: could not write %s\n", out.c_str());
    return 1;
  }
  for (int f = 0; f < frames; ++f) {
    const render::CameraPose pose = PoseAt(legs, static_cast<double>(f) / (frames - 1));
    cv::Mat frame = render::RenderFrame(photo, render::PhotoToFrame(pose, size), size);
    render::AddNoise(frame, kNoiseSigma, kNoiseSeed + static_cast<uint64_t>(f));
    writer.write(frame);
  }
  writer.release();
  return 0;
}
