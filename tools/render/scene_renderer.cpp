#include "tools/render/scene_renderer.hpp"

#include <cmath>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#ifndef VMOSAIC_DATA_DIR
#define VMOSAIC_DATA_DIR "data"
#endif

namespace render {

cv::Matx33d PhotoToFrame(const CameraPose& pose, cv::Size frameSize) {
  const double fx = frameSize.width / 2.0;
  const double fy = frameSize.height / 2.0;
  const cv::Matx33d toCentre(1, 0, -pose.centreX, 0, 1, -pose.centreY, 0, 0, 1);
  const double c = std::cos(pose.angle) * pose.zoom;
  const double s = std::sin(pose.angle) * pose.zoom;
  const cv::Matx33d rotateZoom(c, s, 0, -s, c, 0, 0, 0, 1);
  const cv::Matx33d tilt(1, 0, 0, 0, 1, 0, pose.tiltX, pose.tiltY, 1);
  const cv::Matx33d toFrame(1, 0, fx, 0, 1, fy, 0, 0, 1);
  cv::Matx33d H = toFrame * tilt * rotateZoom * toCentre;
  return H * (1.0 / H(2, 2));
}

cv::Matx33d FrameToFrame(const cv::Matx33d& photoToA, const cv::Matx33d& photoToB) {
  cv::Matx33d H = photoToB * photoToA.inv();
  return H * (1.0 / H(2, 2));
}

cv::Mat RenderFrame(const cv::Mat& photo, const cv::Matx33d& photoToFrame, cv::Size frameSize) {
  cv::Mat frame;
  cv::warpPerspective(photo, frame, cv::Mat(photoToFrame), frameSize, cv::INTER_LINEAR,
                      cv::BORDER_REFLECT);
  return frame;
}

void AddNoise(cv::Mat& frame, double sigma, uint64_t seed) {
  if (sigma <= 0.0)
    return;
  cv::RNG rng(seed);
  cv::Mat noise(frame.size(), CV_32FC(frame.channels()));
  rng.fill(noise, cv::RNG::NORMAL, 0.0, sigma);
  cv::Mat noisy;
  frame.convertTo(noisy, CV_32F);
  noisy += noise;
  noisy.convertTo(frame, frame.type());
}

namespace {

// The pose a fraction t of the way from a to b, every parameter linearly.
CameraPose Between(const CameraPose& a, const CameraPose& b, double t) {
  CameraPose p;
  p.centreX = a.centreX + t * (b.centreX - a.centreX);
  p.centreY = a.centreY + t * (b.centreY - a.centreY);
  p.angle = a.angle + t * (b.angle - a.angle);
  p.zoom = a.zoom + t * (b.zoom - a.zoom);
  p.tiltX = a.tiltX + t * (b.tiltX - a.tiltX);
  p.tiltY = a.tiltY + t * (b.tiltY - a.tiltY);
  return p;
}

}  // namespace

std::vector<CameraPose> Interpolate(const CameraPose& a, const CameraPose& b, int n) {
  CV_Assert(n >= 2);
  std::vector<CameraPose> poses;
  poses.reserve(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i)
    poses.push_back(Between(a, b, static_cast<double>(i) / (n - 1)));
  return poses;
}

std::vector<cv::Mat> RenderSequence(const cv::Mat& photo, const std::vector<CameraPose>& poses,
                                    cv::Size frameSize, double noiseSigma, uint64_t seed) {
  std::vector<cv::Mat> frames;
  frames.reserve(poses.size());
  for (size_t i = 0; i < poses.size(); ++i) {
    cv::Mat frame = RenderFrame(photo, PhotoToFrame(poses[i], frameSize), frameSize);
    AddNoise(frame, noiseSigma, seed + i);
    frames.push_back(frame);
  }
  return frames;
}

bool WriteVideo(const std::string& path, const std::vector<cv::Mat>& frames, double fps) {
  if (frames.empty())
    return false;
  if (path.find('%') != std::string::npos) {  // an image sequence, numbered from 0
    for (size_t i = 0; i < frames.size(); ++i) {
      if (!cv::imwrite(cv::format(path.c_str(), static_cast<int>(i)), frames[i]))
        return false;
    }
    return true;
  }
  cv::VideoWriter writer = OpenVideoWriter(path, frames.front().size(), fps);
  if (!writer.isOpened())
    return false;
  for (const cv::Mat& frame : frames)
    writer.write(frame);
  writer.release();
  return true;
}

cv::VideoWriter OpenVideoWriter(const std::string& path, cv::Size frameSize, double fps) {
  const bool lossless = path.size() >= 4 && path.compare(path.size() - 4, 4, ".mkv") == 0;
  const int fourcc = lossless ? cv::VideoWriter::fourcc('F', 'F', 'V', '1')
                              : cv::VideoWriter::fourcc('a', 'v', 'c', '1');
  return cv::VideoWriter(path, cv::CAP_FFMPEG, fourcc, fps, frameSize, true);
}

cv::Mat LoadPhoto(const std::string& fileName) {
  return cv::imread(std::string(VMOSAIC_DATA_DIR) + "/" + fileName, cv::IMREAD_COLOR);
}

cv::Mat VignettingFalloff(cv::Size frameSize, double vignetting) {
  cv::Mat falloff(frameSize, CV_32FC1);
  const double cx = (frameSize.width - 1) / 2.0;
  const double cy = (frameSize.height - 1) / 2.0;
  const double cornerSq = cx * cx + cy * cy;
  for (int y = 0; y < frameSize.height; ++y) {
    float* row = falloff.ptr<float>(y);
    for (int x = 0; x < frameSize.width; ++x) {
      const double rSq = (x - cx) * (x - cx) + (y - cy) * (y - cy);
      row[x] = static_cast<float>(1.0 - vignetting * rSq / cornerSq);
    }
  }
  return falloff;
}

void ApplyPhotometry(cv::Mat& frame, const Photometry& p, uint64_t seed) {
  if (p.vignetting == 0.0 && p.gain == 1.0 && p.noiseSigma <= 0.0)
    return;
  CV_Assert(frame.depth() == CV_8U);
  cv::Mat light;
  frame.convertTo(light, CV_32F, p.gain);
  if (p.vignetting != 0.0) {
    cv::Mat falloff = VignettingFalloff(frame.size(), p.vignetting);
    if (frame.channels() > 1)
      cv::merge(std::vector<cv::Mat>(frame.channels(), falloff), falloff);
    cv::multiply(light, falloff, light);
  }
  if (p.noiseSigma > 0.0) {
    cv::Mat noise(frame.size(), light.type());
    cv::RNG rng(seed);
    rng.fill(noise, cv::RNG::NORMAL, 0.0, p.noiseSigma);
    light += noise;
  }
  light.convertTo(frame, frame.type());
}

CameraPose PoseAt(const std::vector<Waypoint>& path, double frame) {
  CV_Assert(!path.empty());
  if (frame <= path.front().frame)
    return path.front().pose;
  for (size_t i = 1; i < path.size(); ++i) {
    if (frame > path[i].frame)
      continue;
    const Waypoint& a = path[i - 1];
    const Waypoint& b = path[i];
    const double span = b.frame - a.frame;
    const double t = span > 0.0 ? (frame - a.frame) / span : 1.0;
    return Between(a.pose, b.pose, t);
  }
  return path.back().pose;
}

std::vector<Waypoint> SerpentinePath(double x0, double x1, double y0, int rows, double rowStep,
                                     int frames, double angle, double zoom) {
  CV_Assert(rows >= 1 && frames >= 2);
  std::vector<CameraPose> corners;
  for (int r = 0; r < rows; ++r) {
    CameraPose a;
    a.centreY = y0 + r * rowStep;
    a.angle = angle;
    a.zoom = zoom;
    CameraPose b = a;
    a.centreX = (r % 2 == 0) ? x0 : x1;
    b.centreX = (r % 2 == 0) ? x1 : x0;
    corners.push_back(a);
    corners.push_back(b);
  }
  std::vector<double> along(1, 0.0);
  for (size_t i = 1; i < corners.size(); ++i) {
    along.push_back(along.back() + std::hypot(corners[i].centreX - corners[i - 1].centreX,
                                              corners[i].centreY - corners[i - 1].centreY));
  }
  std::vector<Waypoint> path;
  for (size_t i = 0; i < corners.size(); ++i) {
    const double share = along.back() > 0.0 ? along[i] / along.back() : 0.0;
    path.push_back(Waypoint{share * (frames - 1), corners[i]});
  }
  return path;
}

cv::Mat RenderPathFrame(const cv::Mat& photo, const std::vector<Waypoint>& path, double frame,
                        cv::Size frameSize, double shutter, int samples) {
  if (shutter <= 0.0 || samples <= 1) {
    return RenderFrame(photo, PhotoToFrame(PoseAt(path, frame), frameSize), frameSize);
  }
  cv::Mat sum(frameSize, CV_32FC(photo.channels()), cv::Scalar::all(0));
  for (int s = 0; s < samples; ++s) {
    const double at = frame + shutter * (static_cast<double>(s) / (samples - 1) - 0.5);
    const cv::Mat view = RenderFrame(photo, PhotoToFrame(PoseAt(path, at), frameSize), frameSize);
    cv::accumulate(view, sum);
  }
  cv::Mat out;
  sum.convertTo(out, photo.type(), 1.0 / samples);
  return out;
}

namespace {

constexpr int kSceneWidth = 2560;
constexpr int kSceneHeight = 1600;

// Smooth random shading: noise on a coarse grid, scaled up (amplitude in grey levels).
cv::Mat SmoothNoise(cv::RNG& rng, int cell, double amplitude) {
  cv::Mat coarse(kSceneHeight / cell + 2, kSceneWidth / cell + 2, CV_32FC1);
  rng.fill(coarse, cv::RNG::UNIFORM, -amplitude, amplitude);
  cv::Mat fine;
  cv::resize(coarse, fine, cv::Size(kSceneWidth + 2 * cell, kSceneHeight + 2 * cell), 0, 0,
             cv::INTER_CUBIC);
  return fine(cv::Rect(cell, cell, kSceneWidth, kSceneHeight)).clone();
}

// Adds a one-channel texture to every channel of an 8-bit colour image.
void AddShading(cv::Mat& image, const cv::Mat& shading) {
  cv::Mat light;
  image.convertTo(light, CV_32FC3);
  cv::Mat shading3;
  cv::merge(std::vector<cv::Mat>(3, shading), shading3);
  light += shading3;
  light.convertTo(image, CV_8UC3);
}

cv::Mat Facade() {
  cv::RNG rng(20261207);
  cv::Mat wall(kSceneHeight, kSceneWidth, CV_8UC3, cv::Scalar(150, 172, 196));
  // Plaster: fine grain over slow stains.
  cv::Mat grain(wall.size(), CV_32FC1);
  rng.fill(grain, cv::RNG::NORMAL, 0.0, 7.0);
  cv::GaussianBlur(grain, grain, cv::Size(0, 0), 0.9);
  AddShading(wall, grain + SmoothNoise(rng, 64, 14.0));
  const int floorPitch = 160, windowPitch = 120;
  const cv::Scalar frameColour(222, 226, 228), sillColour(238, 240, 240);
  const cv::Scalar curtains[] = {cv::Scalar(60, 60, 150), cv::Scalar(200, 200, 205),
                                 cv::Scalar(90, 130, 90)};
  for (int floorTop = 0; floorTop < kSceneHeight; floorTop += floorPitch) {
    // Cornice: a light band with a shadow below.
    cv::rectangle(wall, cv::Rect(0, floorTop, kSceneWidth, 10), cv::Scalar(205, 214, 222),
                  cv::FILLED);
    cv::rectangle(wall, cv::Rect(0, floorTop + 10, kSceneWidth, 4), cv::Scalar(95, 105, 118),
                  cv::FILLED);
    for (int left = 32; left + 56 < kSceneWidth; left += windowPitch) {
      const cv::Rect window(left, floorTop + 38, 56, 92);
      cv::rectangle(wall, window, frameColour, cv::FILLED);
      const cv::Rect glass(window.x + 6, window.y + 6, window.width - 12, window.height - 12);
      const bool lit = rng.uniform(0.0, 1.0) < 0.08;
      for (int y = 0; y < glass.height; ++y) {
        const double t = static_cast<double>(y) / glass.height;
        const cv::Scalar colour = lit ? cv::Scalar(120 + 40 * t, 200 + 20 * t, 235)
                                      : cv::Scalar(95 + 45 * t, 78 + 40 * t, 66 + 36 * t);
        cv::line(wall, cv::Point(glass.x, glass.y + y), cv::Point(glass.br().x - 1, glass.y + y),
                 colour);
      }
      if (rng.uniform(0.0, 1.0) < 0.3) {
        const int drop = rng.uniform(12, glass.height - 10);
        cv::rectangle(wall, cv::Rect(glass.x, glass.y, glass.width, drop),
                      curtains[rng.uniform(0, 3)], cv::FILLED);
      }
      // Mullion and transom.
      cv::rectangle(wall, cv::Rect(glass.x + glass.width / 2 - 2, glass.y, 4, glass.height),
                    frameColour, cv::FILLED);
      cv::rectangle(wall, cv::Rect(glass.x, glass.y + 26, glass.width, 4), frameColour, cv::FILLED);
      cv::rectangle(wall, cv::Rect(window.x - 6, window.br().y, window.width + 12, 6), sillColour,
                    cv::FILLED);
      cv::rectangle(wall, cv::Rect(window.x - 6, window.br().y + 6, window.width + 12, 3),
                    cv::Scalar(100, 110, 122), cv::FILLED);
    }
  }
  cv::GaussianBlur(wall, wall, cv::Size(0, 0), 0.8);
  return wall;
}

cv::Mat Objects() {
  cv::RNG rng(20261208);
  cv::Mat board(kSceneHeight, kSceneWidth, CV_8UC3, cv::Scalar(70, 105, 150));
  // Wood grain: noise stretched along the rows, over slow stains.
  cv::Mat grain(board.size(), CV_32FC1);
  rng.fill(grain, cv::RNG::NORMAL, 0.0, 30.0);
  cv::blur(grain, grain, cv::Size(61, 1));
  cv::GaussianBlur(grain, grain, cv::Size(0, 0), 0.8);
  AddShading(board, grain + SmoothNoise(rng, 96, 16.0));
  const cv::Scalar metals[] = {cv::Scalar(60, 150, 190), cv::Scalar(70, 110, 185),
                               cv::Scalar(185, 185, 180)};
  const int pitch = 96;
  for (int row = 0; row * 84 < kSceneHeight + pitch; ++row) {
    const int y0 = 40 + row * 84;
    for (int x0 = (row % 2) * pitch / 2 + 40; x0 < kSceneWidth + pitch; x0 += pitch) {
      const cv::Point centre(x0 + rng.uniform(-5, 6), y0 + rng.uniform(-5, 6));
      const int radius = 33 + rng.uniform(-2, 3);
      const double pick = rng.uniform(0.0, 1.0);
      const cv::Scalar base = metals[pick < 0.8 ? 0 : (pick < 0.93 ? 1 : 2)];
      cv::circle(board, centre + cv::Point(5, 6), radius, cv::Scalar(30, 40, 55), cv::FILLED,
                 cv::LINE_AA);
      // Shaded disc: lighter towards the upper left.
      for (int step = 0; step < 12; ++step) {
        const double t = step / 11.0;
        const int r = static_cast<int>(radius * (1.0 - 0.8 * t));
        const cv::Point shift(static_cast<int>(-8 * t), static_cast<int>(-8 * t));
        cv::circle(board, centre + shift, r, base * (0.65 + 0.5 * t), cv::FILLED, cv::LINE_AA);
      }
      cv::circle(board, centre, radius - 7, base * 0.55, 2, cv::LINE_AA);
      cv::ellipse(board, centre + cv::Point(-12, -14), cv::Size(8, 4), -35, 0, 360,
                  cv::Scalar(245, 250, 250), cv::FILLED, cv::LINE_AA);
    }
  }
  cv::GaussianBlur(board, board, cv::Size(0, 0), 0.8);
  return board;
}

}  // namespace

// A large scene for surveys beyond one photo: the moss photo with its mirror
// images, 2 x 2 (5120 x 3200).
cv::Mat CompositeScene() {
  const cv::Mat moss = LoadPhoto("moss_2560x1600.jpg");
  if (moss.empty())
    return cv::Mat();
  cv::Mat mirrored, top, bottom, flipped, scene;
  cv::flip(moss, mirrored, 1);
  cv::hconcat(moss, mirrored, top);
  cv::flip(top, flipped, 0);
  cv::vconcat(top, flipped, scene);
  return scene;
}

cv::Mat ProceduralScene(const std::string& name) {
  if (name == "composite")
    return CompositeScene();
  if (name == "facade")
    return Facade();
  if (name == "objects")
    return Objects();
  return cv::Mat();
}

cv::Mat LoadScene(const std::string& name) {
  cv::Mat scene = ProceduralScene(name);
  return scene.empty() ? LoadPhoto(name) : scene;
}

}  // namespace render
