#include "tools/render/scene_renderer.hpp"

#include <cmath>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#ifndef VMOSAIC_DATA_DIR
#define VMOSAIC_DATA_DIR "data"
#endif
#ifndef VMOSAIC_SHARED_DATA_DIR
#define VMOSAIC_SHARED_DATA_DIR "../shared/data"
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
  if (sigma <= 0.0) return;
  cv::RNG rng(seed);
  cv::Mat noise(frame.size(), CV_32FC(frame.channels()));
  rng.fill(noise, cv::RNG::NORMAL, 0.0, sigma);
  cv::Mat noisy;
  frame.convertTo(noisy, CV_32F);
  noisy += noise;
  noisy.convertTo(frame, frame.type());
}

std::vector<CameraPose> Interpolate(const CameraPose& a, const CameraPose& b, int n) {
  CV_Assert(n >= 2);
  std::vector<CameraPose> poses;
  poses.reserve(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / (n - 1);
    CameraPose p;
    p.centreX = a.centreX + t * (b.centreX - a.centreX);
    p.centreY = a.centreY + t * (b.centreY - a.centreY);
    p.angle = a.angle + t * (b.angle - a.angle);
    p.zoom = a.zoom + t * (b.zoom - a.zoom);
    p.tiltX = a.tiltX + t * (b.tiltX - a.tiltX);
    p.tiltY = a.tiltY + t * (b.tiltY - a.tiltY);
    poses.push_back(p);
  }
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
  if (frames.empty()) return false;
  const bool lossless = path.size() >= 4 && path.compare(path.size() - 4, 4, ".mkv") == 0;
  const int fourcc = lossless ? cv::VideoWriter::fourcc('F', 'F', 'V', '1')
                              : cv::VideoWriter::fourcc('a', 'v', 'c', '1');
  cv::VideoWriter writer(path, cv::CAP_FFMPEG, fourcc, fps, frames.front().size(), true);
  if (!writer.isOpened()) return false;
  for (const cv::Mat& frame : frames) writer.write(frame);
  writer.release();
  return true;
}

cv::Mat LoadPhoto(const std::string& fileName) {
  for (const std::string& dir : {std::string(VMOSAIC_DATA_DIR), std::string(VMOSAIC_SHARED_DATA_DIR)}) {
    cv::Mat photo = cv::imread(dir + "/" + fileName, cv::IMREAD_COLOR);
    if (!photo.empty()) return photo;
  }
  return cv::Mat();
}

}  // namespace render
