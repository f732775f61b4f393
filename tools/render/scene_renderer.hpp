// A virtual camera over a photo: each frame is the photo warped by a known
// homography (photo pixels onto frame pixels), so the true motion between any
// two frames is known.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace render {

// Where the camera looks: the photo point shown at the frame centre, the
// rotation of the frame (radians, counter-clockwise in the photo), the zoom
// (frame pixels per photo pixel) and a mild perspective tilt (the last row
// of the homography, in units of 1 / frame pixel, about the frame centre).
struct CameraPose {
  double centreX = 0.0;
  double centreY = 0.0;
  double angle = 0.0;
  double zoom = 1.0;
  double tiltX = 0.0;
  double tiltY = 0.0;
};

// Homography mapping photo pixels onto the pixels of a frame of frameSize.
cv::Matx33d PhotoToFrame(const CameraPose& pose, cv::Size frameSize);

// Homography mapping frame a's pixels onto frame b's, given both photo-to-frame maps.
cv::Matx33d FrameToFrame(const cv::Matx33d& photoToA, const cv::Matx33d& photoToB);

// The frame seen through photoToFrame: bilinear sampling, reflected border.
cv::Mat RenderFrame(const cv::Mat& photo, const cv::Matx33d& photoToFrame, cv::Size frameSize);

// Adds zero-mean Gaussian noise of the given sigma (grey levels), seeded.
void AddNoise(cv::Mat& frame, double sigma, uint64_t seed);

// Poses evenly spaced from a to b (n >= 2 poses, both ends included).
std::vector<CameraPose> Interpolate(const CameraPose& a, const CameraPose& b, int n);

// Renders every pose.
std::vector<cv::Mat> RenderSequence(const cv::Mat& photo, const std::vector<CameraPose>& poses,
                                    cv::Size frameSize, double noiseSigma = 0.0,
                                    uint64_t seed = 1);

// Writes frames as a video: ".mkv" as lossless FFV1, anything else (".mp4")
// as H.264. Returns false on failure.
bool WriteVideo(const std::string& path, const std::vector<cv::Mat>& frames, double fps);

// Loads one of the bundled photographs by file name, searching the
// project's data/ folder and the shared photo folder; empty if not found.
cv::Mat LoadPhoto(const std::string& fileName);

}  // namespace render
