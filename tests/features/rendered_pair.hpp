// Two 640x480 frames of the test photo seen from two known camera poses, with
// the true homography between them (frame i pixels onto frame j pixels).
#pragma once

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <string>

#include "tests/support/test_support.hpp"
#include "tools/render/scene_renderer.hpp"

namespace featuretest {

const cv::Size kFrameSize(640, 480);

struct RenderedPair {
  std::string name;
  cv::Mat frame_i, frame_j;
  cv::Mat trueHij;  // 3x3 CV_64F, frame i onto frame j
};

// The camera of frame i looks at the middle of the photo, zoom frame pixels
// per photo pixel.
inline render::CameraPose BasePose(double zoom) {
  return testsupport::Pose(1280, 800, zoom);
}

// SIFT with the system's parameters finds about 21000 keypoints in a frame of
// the photo at its own scale, and brute-force matching then takes several
// seconds per pair; at this zoom (a camera zoomed in on the same scene) a
// frame has about 2000, which keeps the SIFT tests fast.
constexpr double kSiftZoom = 3.0;

inline RenderedPair RenderPair(const std::string& name, const render::CameraPose& poseI,
                               const render::CameraPose& poseJ) {
  const testsupport::Pan pan = testsupport::RenderPan(2, kFrameSize, poseI, poseJ);
  return {name, pan.frames[0], pan.frames[1], pan.Between(0, 1)};
}

// A translation of a few frame pixels.
inline RenderedPair TranslationPair(double zoom = 1.0) {
  return RenderPair("translation", BasePose(zoom),
                    testsupport::Pose(1280 + 7.0 / zoom, 800 - 4.0 / zoom, zoom));
}

// A small rotation (2 degrees) with a slight shift.
inline RenderedPair RotationPair(double zoom = 1.0) {
  return RenderPair("rotation", BasePose(zoom),
                    testsupport::Pose(1280 + 3.0 / zoom, 800, zoom, 2.0 * CV_PI / 180.0));
}

// A mild perspective change (at the frame border the projective divisor
// moves by about 3 %) with a shift and a 2 % zoom.
inline RenderedPair PerspectivePair(double zoom = 1.0) {
  render::CameraPose pose = testsupport::Pose(1280, 800 + 5.0 / zoom, 1.02 * zoom);
  pose.tiltX = 1.0e-4;
  pose.tiltY = -0.6e-4;
  return RenderPair("perspective", BasePose(zoom), pose);
}

// A uniform mid-grey frame: no corners, no keypoints.
inline cv::Mat UniformFrame() {
  return cv::Mat(kFrameSize, CV_8UC3, cv::Scalar(128, 128, 128));
}

}  // namespace featuretest
