// A virtual camera over a photo: each frame is the photo warped by a known
// homography (photo pixels onto frame pixels), so the true motion between any
// two frames is known.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>
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
                                    cv::Size frameSize, double noiseSigma = 0.0, uint64_t seed = 1);

// Writes frames as a video: ".mkv" as lossless FFV1, anything else (".mp4")
// as H.264; a path with a printf-style number ("f_%03d.ppm") as one image a
// frame, numbered from 0. Returns false on failure.
bool WriteVideo(const std::string& path, const std::vector<cv::Mat>& frames, double fps);

// Opens a writer with the same choice of codec as WriteVideo, for frames
// written one at a time; check isOpened().
cv::VideoWriter OpenVideoWriter(const std::string& path, cv::Size frameSize, double fps);

// Loads one of the bundled photographs by file name, searching the
// project's data/ folder and the shared photo folder; empty if not found.
cv::Mat LoadPhoto(const std::string& fileName);

// ---- Camera effects and scenes for fidelity footage -------------------------

// What the camera does to the light of a rendered frame, applied in this
// order: radial vignetting, exposure gain, Gaussian noise, rounding to 8 bit.
struct Photometry {
  // Relative darkening at the frame corners: each pixel is multiplied by
  // 1 - vignetting * (r / rCorner)^2, r its distance from the frame centre.
  double vignetting = 0.0;
  double gain = 1.0;        // exposure of this frame
  double noiseSigma = 0.0;  // grey levels
};

// The vignetting factor of every pixel of a frame (CV_32FC1).
cv::Mat VignettingFalloff(cv::Size frameSize, double vignetting);

// Applies p to an 8-bit frame in place; the noise is seeded.
void ApplyPhotometry(cv::Mat& frame, const Photometry& p, uint64_t seed);

// A camera path: the pose at each waypoint's frame number, linear between
// them (fractional frame numbers too), held before the first and after the
// last waypoint.
struct Waypoint {
  double frame = 0.0;
  CameraPose pose;
};
CameraPose PoseAt(const std::vector<Waypoint>& path, double frame);

// Waypoints of a serpentine survey: rows of the photo from x0 to x1 and
// back, the first at y0, each next row rowStep lower, flown at constant speed
// (the turns included) so that the last waypoint is reached at frame
// frames - 1. Every pose has the given angle and zoom.
std::vector<Waypoint> SerpentinePath(double x0, double x1, double y0, int rows, double rowStep,
                                     int frames, double angle = 0.0, double zoom = 1.0);

// The frame at a (fractional) frame number of the path, with motion blur: the
// mean of `samples` renders spread evenly over the open shutter, from
// frame - shutter / 2 to frame + shutter / 2 (shutter in frame intervals).
// The frame's true homography is the one of its centre pose. shutter <= 0 or
// samples <= 1 renders the centre pose alone.
cv::Mat RenderPathFrame(const cv::Mat& photo, const std::vector<Waypoint>& path, double frame,
                        cv::Size frameSize, double shutter = 0.0, int samples = 1);

// Procedurally generated scenes of repetitive texture, deterministic:
// "facade" (a building front, a grid of near-identical windows) and
// "objects" (rows of near-identical round objects on a grained board);
// "composite" is the moss photo with its mirror images, 2 x 2, for surveys
// larger than one photo.
// Empty for any other name.
cv::Mat ProceduralScene(const std::string& name);

// A procedural scene by name, else a bundled photograph (LoadPhoto).
cv::Mat LoadScene(const std::string& name);

}  // namespace render
