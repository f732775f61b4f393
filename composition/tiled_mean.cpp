#include "composition/tiled_mean.hpp"

#include <algorithm>
#include <cmath>

#include "geometry/homography_mapping.hpp"

namespace {

// Padding of a frame's box, in frame pixels (the sampling rounds) and canvas
// pixels (the inverse's rounding): the box must hold every pixel the fill
// can take from the frame.
constexpr double kFramePad = 2.0;
constexpr int kCanvasPad = 2;
constexpr double kBoxLimit = 1e9;

// The reference-plane box of the frame's pixels under H_FrameToRef, or the
// whole given rectangle when the frame reaches the horizon.
cv::Rect FrameBox(const cv::Mat& H_FrameToRef, int width, int height, const cv::Rect& within) {
  const cv::Matx33d H(H_FrameToRef);
  double minX = kBoxLimit, minY = kBoxLimit, maxX = -kBoxLimit, maxY = -kBoxLimit;
  for (const cv::Vec3d& corner :
       {cv::Vec3d(-kFramePad, -kFramePad, 1), cv::Vec3d(width + kFramePad, -kFramePad, 1),
        cv::Vec3d(-kFramePad, height + kFramePad, 1),
        cv::Vec3d(width + kFramePad, height + kFramePad, 1)}) {
    const cv::Vec3d p = H * corner;
    if (!(p[2] > 1e-12))
      return within;
    const double x = p[0] / p[2], y = p[1] / p[2];
    if (!(std::abs(x) < kBoxLimit && std::abs(y) < kBoxLimit))
      return within;
    minX = std::min(minX, x), maxX = std::max(maxX, x);
    minY = std::min(minY, y), maxY = std::max(maxY, y);
  }
  const cv::Rect box(static_cast<int>(std::floor(minX)) - kCanvasPad,
                     static_cast<int>(std::floor(minY)) - kCanvasPad,
                     static_cast<int>(std::ceil(maxX) - std::floor(minX)) + 2 * kCanvasPad + 1,
                     static_cast<int>(std::ceil(maxY) - std::floor(minY)) + 2 * kCanvasPad + 1);
  return box & within;
}

}  // namespace

TiledMean::TiledMean(int width, int height, io::Operator& op)
    : width_(width), height_(height), operator_(&op) {
  Composition table;
  table.InitializeWeights(width, height);
  weights_ = table.weights;
  plan_.set_InitValues();
  plan_.pano_imageW = width;
  plan_.pano_imageH = height;
}

bool TiledMean::Add(const cv::Mat& H_RefToFrame, const cv::Mat& H_FrameToRef) {
  const size_t index = ++added_;
  const int keptAcumX = plan_.minposAcum_x, keptAcumY = plan_.minposAcum_y;
  plan_.CalculateNewSizeOfPanorama(H_FrameToRef, width_, height_);
  const int w = plan_.new_imageW, h = plan_.new_imageH;
  if (w <= 0 || h <= 0 || w > kMaxSide || h > kMaxSide ||
      static_cast<std::int64_t>(w) * h > kMaxArea) {
    operator_->Err(
        io::Format("vmosaic: key frame skipped: the canvas would grow to %dx%d pixels\n", w, h));
    plan_.minposAcum_x = keptAcumX;
    plan_.minposAcum_y = keptAcumY;
    return false;
  }
  // As the whole-canvas fill scans: from the frame's corner (or the canvas
  // edge it grew) to the far edges of the canvas as it then is.
  if (plan_.minpos_x < 0)
    plan_.minposAcum_x += plan_.minpos_x;
  if (plan_.minpos_y < 0)
    plan_.minposAcum_y += plan_.minpos_y;
  const cv::Rect canvas(plan_.minposAcum_x, plan_.minposAcum_y, w, h);
  const cv::Rect scan(plan_.minposAcum_x + std::max(0, plan_.minpos_x),
                      plan_.minposAcum_y + std::max(0, plan_.minpos_y),
                      w - std::max(0, plan_.minpos_x), h - std::max(0, plan_.minpos_y));
  frames_.push_back(
      Planned{H_RefToFrame.clone(), FrameBox(H_FrameToRef, width_, height_, scan & canvas), index});
  plan_.pano_imageW = w;
  plan_.pano_imageH = h;
  return true;
}

void TiledMean::ComposeTile(const cv::Rect& tile, const cv::Mat& reference,
                            const std::function<cv::Mat(size_t)>& image,
                            const std::function<void(size_t)>& release, cv::Mat* mean,
                            cv::Mat* coverage) const {
  // The tile in the reference plane.
  const cv::Rect area(tile.x + plan_.minposAcum_x, tile.y + plan_.minposAcum_y, tile.width,
                      tile.height);
  cv::Mat sum = cv::Mat::zeros(tile.size(), CV_64FC3);
  cv::Mat weight = cv::Mat::zeros(tile.size(), CV_64FC1);
  *coverage = cv::Mat::zeros(tile.size(), CV_8UC1);
  // The reference counts whole, weighted, as the canvas starts from it.
  const cv::Rect own = area & cv::Rect(0, 0, width_, height_);
  for (int y = own.y; y < own.y + own.height; ++y) {
    for (int x = own.x; x < own.x + own.width; ++x) {
      const cv::Vec3b s = reference.ptr<cv::Vec3b>(y)[x];
      const double w = weights_.ptr<double>(y)[x];
      cv::Vec3d& acc = sum.ptr<cv::Vec3d>(y - area.y)[x - area.x];
      for (int k = 0; k < 3; ++k)
        acc[k] = static_cast<double>(s[k]) * w;
      weight.ptr<double>(y - area.y)[x - area.x] = w;
      coverage->ptr<uchar>(y - area.y)[x - area.x] = 255;
    }
  }
  for (const Planned& f : frames_) {
    const cv::Rect part = f.share & area;
    if (part.empty())
      continue;
    const cv::Mat frame = image(f.index);
    CV_Assert(frame.type() == CV_8UC3 && frame.cols >= width_ && frame.rows >= height_);
    const double* h = f.H_RefToFrame.ptr<double>();
    cv::parallel_for_(cv::Range(part.y, part.y + part.height), [&](const cv::Range& rows) {
      for (int Y = rows.start; Y < rows.end; ++Y) {
        cv::Vec3d* sumRow = sum.ptr<cv::Vec3d>(Y - area.y);
        double* weightRow = weight.ptr<double>(Y - area.y);
        uchar* coverRow = coverage->ptr<uchar>(Y - area.y);
        for (int X = part.x; X < part.x + part.width; ++X) {
          int x = 0, y = 0;
          ApplyHomography(&x, &y, X, Y, h);
          // The whole-canvas fill's sampling bounds (margin 0).
          if (x < 0 || x >= width_ - 1 || y < 0 || y >= height_ - 1)
            continue;
          const cv::Vec3b s = frame.ptr<cv::Vec3b>(y)[x];
          const double w = weights_.ptr<double>(y)[x];
          const int c = X - area.x;
          for (int k = 0; k < 3; ++k)
            sumRow[c][k] += s[k] * w;
          weightRow[c] += w;
          coverRow[c] = 255;
        }
      }
    });
    release(f.index);
  }
  mean->create(tile.size(), CV_8UC3);
  for (int r = 0; r < tile.height; ++r) {
    const cv::Vec3d* s = sum.ptr<cv::Vec3d>(r);
    const double* w = weight.ptr<double>(r);
    cv::Vec3b* dst = mean->ptr<cv::Vec3b>(r);
    for (int c = 0; c < tile.width; ++c) {
      for (int k = 0; k < 3; ++k)
        dst[c][k] = TruncatedMean(s[c][k], w[c]);
    }
  }
}
