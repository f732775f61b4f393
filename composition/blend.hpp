// A seamless mosaic of placed frames: each frame corrected for the lens's
// falloff and its exposure (composition/vignetting.hpp), then for what drift
// remains by block gains, cut along seams through the overlaps and
// multi-band blended (OpenCV's stitching module does the last three).
//
// Memory: seams and block gains are found on low-resolution copies whose
// total size is tied to the canvas; full-resolution frames are warped and fed
// to the blender one at a time, a large one in bands of rows. The blender's
// pyramid takes about 13.3 bytes per canvas pixel, so the whole blend holds at
// most about kPeakCanvasMultiple times the bytes of the 8-bit canvas,
// whatever the number of frames.
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

constexpr double kPeakCanvasMultiple = 6.0;

// The blended mosaic on the canvas (8UC3, black where no frame reaches).
cv::Mat BlendMosaic(const std::vector<Frame>& frames, const Canvas& canvas);

}  // namespace blend
