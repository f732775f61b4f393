// A seamless mosaic of placed frames: each frame corrected for the lens's
// falloff and its exposure (composition/vignetting.hpp), then for what drift
// remains by block gains, cut along seams through the overlaps and
// multi-band blended (OpenCV's stitching module does the last three).
//
// Memory: seams, gains and the falloff are found on low-resolution copies
// whose total size is tied to the canvas (at most half its bytes); the
// full-resolution frames are warped and fed to the blender one strip of
// canvas rows at a time, a strip's pyramids and feeds within 3.5 times the
// canvas's bytes. With the mosaic itself, the blend holds at most about 6
// times the bytes of the 8-bit canvas, whatever the number of frames.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

namespace blend {

struct Frame {
  cv::Mat image;           // 8UC3
  cv::Matx33d frameToRef;  // its pixels onto the reference plane
};

// Canvas pixel (c, r) shows reference-plane point (c + origin.x, r + origin.y).
struct Canvas {
  cv::Size size;
  cv::Point origin;
};

// The blended mosaic on the canvas (8UC3, black where no frame reaches).
// Computed on the CPU (OpenCL off for the call), so the same on every machine.
cv::Mat BlendMosaic(const std::vector<Frame>& frames, const Canvas& canvas);

}  // namespace blend
