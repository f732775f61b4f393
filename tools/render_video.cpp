// Renders a video of a virtual camera panning over a photo, and optionally the
// true photo-to-frame homography of every frame (one line of 9 numbers each).
//
//   vmosaic-render OUT PHOTO WIDTH HEIGHT FRAMES X0 Y0 X1 Y1
//                  [ANGLE0 ANGLE1 ZOOM0 ZOOM1 [NOISE [FPS [TRUTH_FILE]]]]
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <string>

#include "tools/render/scene_renderer.hpp"

int main(int argc, char** argv) {
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
      for (int i = 0; i < 9; ++i) truth << H.val[i] << (i == 8 ? '\n' : ' ');
    }
  }
  return 0;
}
