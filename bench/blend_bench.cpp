// The blended mosaic's time and peak memory over the number of frames: a pan
// whose canvas grows with the frames, and frames hovering over one small
// area (many frames, small canvas). Peak memory is the rise of the process's
// resident high-water mark during the blend, as a multiple of the 8-bit
// canvas's bytes (counter peak_per_canvas_byte).
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "composition/blend.hpp"
#include "tools/render/scene_renderer.hpp"

namespace {

const cv::Size kBlendFrame(320, 240);

// Large buffers always come from (and go back to) the system, so the resident
// high-water mark tracks what the blend allocates.
const int kMallocSetup = mallopt(M_MMAP_THRESHOLD, 128 * 1024);

long StatusKb(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0)
      return std::stol(line.substr(std::string(field).size()));
  }
  return -1;
}

// n frames of the photo, each placed onto the first one's plane; hover keeps
// them within a few pixels of each other.
struct Scene {
  std::vector<blend::Frame> frames;
  blend::Canvas canvas;
};

Scene RenderScene(int n, bool hover) {
  const cv::Mat photo = render::LoadPhoto("lake_boats_2560x1600.jpg");
  CV_Assert(!photo.empty());
  Scene scene;
  cv::Matx33d photoToRef;
  cv::Rect2d bounds;
  for (int i = 0; i < n; ++i) {
    render::CameraPose pose;
    pose.centreX = hover ? 1200.0 + 20.0 * std::sin(i) : 300.0 + (2000.0 / std::max(n, 8)) * i;
    pose.centreY = hover ? 800.0 + 20.0 * std::cos(i) : 800.0 + 40.0 * std::sin(0.3 * i);
    pose.zoom = 0.5;
    const cv::Matx33d photoToFrame = render::PhotoToFrame(pose, kBlendFrame);
    if (i == 0)
      photoToRef = photoToFrame;
    const cv::Matx33d frameToRef = photoToRef * photoToFrame.inv();
    scene.frames.push_back({render::RenderFrame(photo, photoToFrame, kBlendFrame), frameToRef});
    const cv::Rect2d box(frameToRef(0, 2), frameToRef(1, 2), kBlendFrame.width, kBlendFrame.height);
    bounds = i == 0 ? box : (bounds | box);
  }
  scene.canvas.size = cv::Size(static_cast<int>(std::ceil(bounds.width)) + 1,
                               static_cast<int>(std::ceil(bounds.height)) + 1);
  scene.canvas.origin =
      cv::Point(static_cast<int>(std::floor(bounds.x)), static_cast<int>(std::floor(bounds.y)));
  return scene;
}

void BM_BlendMosaic(benchmark::State& state) {
  const Scene scene = RenderScene(static_cast<int>(state.range(0)), state.range(1) != 0);
  double peakKb = 0.0;
  // A first run loads the library code and starts the worker threads.
  blend::BlendMosaic(scene.frames, scene.canvas);
  for (auto _ : state) {
    // Writing 5 resets the high-water mark to the current resident size.
    std::ofstream("/proc/self/clear_refs") << "5";
    const long before = StatusKb("VmRSS:");
    cv::Mat mosaic = blend::BlendMosaic(scene.frames, scene.canvas);
    peakKb = static_cast<double>(StatusKb("VmHWM:") - before);
    benchmark::DoNotOptimize(mosaic.data);
  }
  const double canvasBytes = 3.0 * static_cast<double>(scene.canvas.size.area());
  state.counters["canvas_MB"] = canvasBytes / 1e6;
  state.counters["peak_MB"] = peakKb * 1024.0 / 1e6;
  state.counters["peak_per_canvas_byte"] = peakKb * 1024.0 / canvasBytes;
}
// Arguments: frames, hover (1) or pan (0).
BENCHMARK(BM_BlendMosaic)
    ->Args({1, 0})
    ->Args({8, 0})
    ->Args({32, 0})
    ->Args({128, 0})
    ->Args({64, 1})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
