// The mean panorama composed one canvas tile at a time, so that memory holds
// a tile's sums, not the canvas's: first the canvas is planned (the growth
// the whole-canvas composition makes, frame by frame, without pixels), then
// each tile is composed from the key frames whose share of the canvas crosses
// it, in the same order and with the same arithmetic, so every tile holds
// exactly the whole-canvas mean's bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <opencv2/core.hpp>
#include <vector>

#include "composition/composition.hpp"

class TiledMean {
 public:
  // The bound on the tiled canvas: the GeoTIFF's (BigTIFF) side stays within
  // GDAL's int sizes with room, and the area within what a disk holds.
  static constexpr int kMaxSide = 1 << 20;
  static constexpr std::int64_t kMaxArea = std::int64_t{1} << 36;

  // The reference frame's size starts the canvas (reference plane [0, width) x [0, height)).
  TiledMean(int width, int height, io::Operator& op);
  // Plans the next key frame (H_RefToFrame and its inverse, as the
  // whole-canvas composition uses them); false, after a note, when the canvas
  // would grow beyond the bound (the frame is left out).
  bool Add(const cv::Mat& H_RefToFrame, const cv::Mat& H_FrameToRef);
  // The canvas: its size, and the reference-plane point of its pixel (0, 0).
  cv::Size CanvasSize() const { return {plan_.pano_imageW, plan_.pano_imageH}; }
  cv::Point Origin() const { return {plan_.minposAcum_x, plan_.minposAcum_y}; }
  // The mean (8UC3) and its coverage (8UC1, 255 covered) of canvas region
  // tile. image(i) gives frame i's pixels (0: the reference, then the frames
  // in the order added); release(i) is called once they are read.
  void ComposeTile(const cv::Rect& tile, const cv::Mat& reference,
                   const std::function<cv::Mat(size_t)>& image,
                   const std::function<void(size_t)>& release, cv::Mat* mean,
                   cv::Mat* coverage) const;

 private:
  struct Planned {
    cv::Mat H_RefToFrame;
    cv::Rect share;  // reference-plane pixels the frame may write
    size_t index;    // for image() and release()
  };
  Composition plan_;  // only its canvas geometry is used
  int width_, height_;
  cv::Mat weights_;  // the Gaussian weight of each frame pixel
  io::Operator* operator_;
  std::vector<Planned> frames_;
  size_t added_ = 0;
};
