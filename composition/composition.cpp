#include "composition/composition.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "geometry/homography_mapping.hpp"

namespace {

constexpr unsigned char kFullMask = 255;
// Source margin of the growing-canvas fill, in frame pixels.
constexpr int kCanvasFillMargin = 0;

// The frame's extent in the reference plane, each edge from two corners only:
// left from the left corners, top from the top corners, and so on.
struct FrameBox {
  int minX;
  int minY;
  int maxX;
  int maxY;
};

// Raw row-major entries of a 3x3 CV_64F homography; copies into storage only
// when H is not continuous.
const double* HomographyEntries(const cv::Mat& H, cv::Mat& storage) {
  CV_Assert(H.rows == 3 && H.cols == 3 && H.type() == CV_64F);
  storage = H.isContinuous() ? H : H.clone();
  return storage.ptr<double>();
}

// H_FrameToRef maps frame pixels into the reference plane.
FrameBox TwoCornerBox(const double* H_FrameToRef, int width, int height) {
  cv::Point p0, p1, p2, p3;
  ApplyHomography(&p0.x, &p0.y, 0, 0, H_FrameToRef);
  ApplyHomography(&p1.x, &p1.y, width - 1, height - 1, H_FrameToRef);
  ApplyHomography(&p2.x, &p2.y, 0, height - 1, H_FrameToRef);
  ApplyHomography(&p3.x, &p3.y, width - 1, 0, H_FrameToRef);
  // On equal values the first-named corner stands; for ints that is the same value.
  return FrameBox{std::min(p0.x, p2.x), std::min(p0.y, p3.y), std::max(p1.x, p3.x),
                  std::max(p1.y, p2.y)};
}

int SaturateToInt(std::int64_t v) {
  return static_cast<int>(std::clamp<std::int64_t>(v, INT_MIN, INT_MAX));
}

// Nearest-pixel sampling keeps margin pixels away from the frame border, and
// never reads the last column or row.
bool InsideSamplingBounds(int x, int y, int margin, int width, int height) {
  return x >= margin && x < width - 1 - margin && y >= margin && y < height - 1 - margin;
}

// Preview blend: alpha of the existing pixel, the rest of the new sample,
// computed in single precision and truncated.
unsigned char BlendChannel(float alpha, unsigned char old, unsigned char sample) {
  const float v = alpha * static_cast<float>(old) + (1.0f - alpha) * static_cast<float>(sample);
  return static_cast<unsigned char>(std::clamp(static_cast<int>(v), 0, 255));
}

bool HasSize(const cv::Mat& m, int width, int height, int type) {
  return m.cols == width && m.rows == height && m.type() == type;
}

// Safety margins of the footprint box: the frame's sampling rectangle is
// widened by kFootprintFramePad frame pixels (covers the divisor's rounding to
// float), the box by kFootprintCanvasPad canvas pixels (covers the inverse's
// rounding). A round trip through the inverse must return within
// kFootprintRoundTripPx, else the box is not trusted.
constexpr double kFootprintFramePad = 0.5;
constexpr int kFootprintCanvasPad = 2;
constexpr double kFootprintRoundTripPx = 1e-3;
constexpr double kFootprintLimit = 1e8;  // canvas pixels; beyond it, no box

// Canvas rows [y0, y1) and columns [x0, x1).
struct ScanRange {
  int x0;
  int x1;
  int y0;
  int y1;
};

// The canvas pixels whose integer mapping through H_RefToFrame (h) can land in
// the frame's sampling bounds lie inside the returned range: the preimage of
// the (slightly widened) sampling rectangle is the convex quadrilateral of its
// corners mapped through the inverse, as long as the rectangle does not reach
// the line the inverse sends to infinity. Without a trusted bound the whole
// given range is returned. The result is always within the given range.
ScanRange FootprintWithin(ScanRange range, const double* h, int margin, int width, int height,
                          int acumX, int acumY) {
  const cv::Matx33d H(h);
  cv::Matx33d inverse;
  if (cv::invert(H, inverse, cv::DECOMP_LU) == 0)
    return range;
  // Rounding adds 0.5 and truncates: X rounds into [margin, width - 2 - margin]
  // exactly when X lies in (margin - 1.5, width - 1.5 - margin) (for margin 0
  // the lower end is -1.5 too).
  const double lowX = margin - 1.5 - kFootprintFramePad;
  const double highX = width - 1.5 - margin + kFootprintFramePad;
  const double lowY = margin - 1.5 - kFootprintFramePad;
  const double highY = height - 1.5 - margin + kFootprintFramePad;
  const cv::Vec3d corners[4] = {
      {lowX, lowY, 1.0}, {highX, lowY, 1.0}, {lowX, highY, 1.0}, {highX, highY, 1.0}};
  double minX = kFootprintLimit, minY = kFootprintLimit;
  double maxX = -kFootprintLimit, maxY = -kFootprintLimit;
  int sign = 0;
  for (const cv::Vec3d& q : corners) {
    const cv::Vec3d p = inverse * q;
    if (!(std::abs(p[2]) > 1e-12))
      return range;
    const int s = p[2] > 0 ? 1 : -1;
    if (sign != 0 && s != sign)
      return range;
    sign = s;
    const double x = p[0] / p[2], y = p[1] / p[2];
    if (!(std::abs(x) < kFootprintLimit && std::abs(y) < kFootprintLimit))
      return range;
    const cv::Vec3d back = H * cv::Vec3d(x, y, 1.0);
    if (!(std::abs(back[0] / back[2] - q[0]) < kFootprintRoundTripPx &&
          std::abs(back[1] / back[2] - q[1]) < kFootprintRoundTripPx)) {
      return range;
    }
    minX = std::min(minX, x);
    maxX = std::max(maxX, x);
    minY = std::min(minY, y);
    maxY = std::max(maxY, y);
  }
  auto clampTo = [](double v, int lo, int hi) {
    return static_cast<int>(std::clamp(v, static_cast<double>(lo), static_cast<double>(hi)));
  };
  ScanRange box = range;
  box.x0 = clampTo(std::floor(minX) - kFootprintCanvasPad - acumX, range.x0, range.x1);
  box.x1 = clampTo(std::ceil(maxX) + kFootprintCanvasPad + 1 - acumX, box.x0, range.x1);
  box.y0 = clampTo(std::floor(minY) - kFootprintCanvasPad - acumY, range.y0, range.y1);
  box.y1 = clampTo(std::ceil(maxY) + kFootprintCanvasPad + 1 - acumY, box.y0, range.y1);
  return box;
}

// Runs rowFill(r) for every row of [y0, y1), rows spread over the threads.
// Each row's writes touch that row only, so the result does not depend on
// the split.
template <typename RowFill>
void ForEachRow(const ScanRange& range, const RowFill& rowFill) {
  if (range.y0 >= range.y1 || range.x0 >= range.x1)
    return;
  cv::parallel_for_(cv::Range(range.y0, range.y1), [&](const cv::Range& rows) {
    for (int r = rows.start; r < rows.end; ++r)
      rowFill(r);
  });
}

}  // namespace

Composition::~Composition() {
  releaseImages();
}

void Composition::set_InitValues() {
  minposAcum_x = 0;
  minposAcum_y = 0;
  minpos_x = 0;
  minpos_y = 0;
  new_imageW = 0;
  new_imageH = 0;
  ban_initSize = 1;
  Alpha_Blending = 0.0f;
  plannedCanvas = cv::Rect();
}

cv::Rect Composition::PlanCanvas(const std::vector<cv::Mat>& framesToRef, int width, int height) {
  // The growth of WarpAutomaticSizeOfPanorama, without pixels.
  Composition plan;
  plan.pano_imageW = width;
  plan.pano_imageH = height;
  for (const cv::Mat& frameToRef : framesToRef) {
    plan.CalculateNewSizeOfPanorama(frameToRef, width, height);
    if (!CanvasWithinBound(plan.new_imageW, plan.new_imageH))
      continue;
    plan.minposAcum_x += std::min(0, plan.minpos_x);
    plan.minposAcum_y += std::min(0, plan.minpos_y);
    plan.pano_imageW = plan.new_imageW;
    plan.pano_imageH = plan.new_imageH;
  }
  return {plan.minposAcum_x, plan.minposAcum_y, plan.pano_imageW, plan.pano_imageH};
}

bool Composition::Warping(cv::Mat* pano, cv::Mat refImage, cv::Mat frameImage, cv::Mat H_RefToFrame,
                          cv::Mat H_FrameToRef, int colourMode, int warpingMode, float alpha,
                          int width, int height) {
  if (warpingMode == 0) {
    WarpPerspective(pano, refImage, frameImage, H_RefToFrame, width, height);
    return true;
  }
  if (warpingMode == 1) {
    Alpha_Blending = alpha;
    return WarpAutomaticSizeOfPanorama(pano, refImage, frameImage, H_RefToFrame, H_FrameToRef,
                                       colourMode, width, height);
  }
  return true;
}

bool Composition::CanvasWithinBound(int w, int h) {
  if (w <= 0 || h <= 0)
    return false;
  if (w > kMaxCanvasSide || h > kMaxCanvasSide)
    return false;
  return static_cast<std::int64_t>(w) * h <= kMaxCanvasArea;
}

void Composition::StartCanvas(cv::Mat* pano, cv::Mat refImage, int width, int height) {
  pano_imageW = width;
  pano_imageH = height;
  ban_initSize = 0;
  // Colour and grey compositions differ only in the reference's channels;
  // grey ones keep no sums.
  const int canvasType = refImage.type();
  const bool colour = canvasType == CV_8UC3;
  CV_Assert((colour || canvasType == CV_8UC1) && HasSize(refImage, width, height, canvasType));
  InitializeWeights(width, height);
  CV_Assert(weights.cols == width && weights.rows == height);
  // A canvas handed in with data is kept only when it and its sums have the
  // frame size; anything else (a canvas left by an earlier composition) would
  // be cut or read out of range, so the canvas restarts from the reference.
  const bool keepGiven = !pano->empty() && HasSize(*pano, width, height, canvasType) &&
                         (!colour || (HasSize(panoAcum, width, height, CV_64FC3) &&
                                      HasSize(weightsAcum, width, height, CV_64FC1)));
  if (!keepGiven) {
    *pano = refImage.clone();
    if (colour) {
      refImage.convertTo(panoAcum, CV_64FC3);
      MultiplyByWeights(&panoAcum, weights, width, height);
      weightsAcum = weights.clone();
    } else {
      panoAcum.release();
      weightsAcum.release();
    }
  }
  mask = cv::Mat(height, width, CV_8UC1, cv::Scalar(kFullMask));
}

bool Composition::WarpAutomaticSizeOfPanorama(cv::Mat* pano, cv::Mat refImage, cv::Mat frameImage,
                                              cv::Mat H_RefToFrame, cv::Mat H_FrameToRef,
                                              int colourMode, int width, int height) {
  if (ban_initSize == 1) {
    CV_Assert(refImage.channels() == (colourMode == 1 ? 3 : 1));
    StartCanvas(pano, refImage, width, height);
  } else {
    newPano.release();
    newMask.release();
    newPanoAcum.release();
    newWeightsAcum.release();
  }

  const int keptMinposX = minpos_x, keptMinposY = minpos_y;
  const int keptNewW = new_imageW, keptNewH = new_imageH;
  CalculateNewSizeOfPanorama(H_FrameToRef, width, height);
  if (!CanvasWithinBound(new_imageW, new_imageH)) {
    operator_->Err(io::Format("vmosaic: key frame skipped: the canvas would grow to %dx%d pixels\n",
                              new_imageW, new_imageH));
    minpos_x = keptMinposX;
    minpos_y = keptMinposY;
    new_imageW = keptNewW;
    new_imageH = keptNewH;
    return false;
  }

  const bool colour = colourMode == 1;
  if (!GrowInPlace(pano, colour)) {
    AllocateWithSpareRoom(colour);
    CopyPanToNewPan(pano);
  }

  if (minpos_x < 0)
    minposAcum_x += minpos_x;
  if (minpos_y < 0)
    minposAcum_y += minpos_y;

  if (colour) {
    FillNewPan_RGB(frameImage, H_RefToFrame, kCanvasFillMargin, width, height);
  } else {
    FillNewPan_Gray(frameImage, H_RefToFrame, kCanvasFillMargin, width, height);
  }

  *pano = newPano;
  mask = newMask;
  panoAcum = newPanoAcum;
  weightsAcum = newWeightsAcum;
  pano_imageW = new_imageW;
  pano_imageH = new_imageH;
  return true;
}

namespace {

// Spare room added on each side a canvas grows towards, as a fraction of the
// new size (at least kMinSpareRoomPx), unless the layers would then exceed
// the canvas bound's area.
constexpr double kSpareRoomFraction = 0.25;
constexpr int kMinSpareRoomPx = 64;

// True when view is exactly region area of room (same pixels, same type).
bool IsViewOf(const cv::Mat& view, const cv::Mat& room, const cv::Rect& area) {
  if (room.empty() || view.empty() || view.type() != room.type())
    return false;
  if (view.size() != area.size())
    return false;
  return view.data == room.ptr(area.y, area.x) && view.step == room.step;
}

}  // namespace

bool Composition::GrowInPlace(const cv::Mat* pano, bool colour) {
  const bool current = IsViewOf(*pano, roomPano, canvasArea) &&
                       IsViewOf(mask, roomMask, canvasArea) &&
                       (!colour || (IsViewOf(panoAcum, roomPanoAcum, canvasArea) &&
                                    IsViewOf(weightsAcum, roomWeightsAcum, canvasArea)));
  if (!current || pano_imageW != canvasArea.width || pano_imageH != canvasArea.height)
    return false;
  const cv::Rect grown(canvasArea.x - std::max(0, -minpos_x), canvasArea.y - std::max(0, -minpos_y),
                       new_imageW, new_imageH);
  if ((grown & cv::Rect(0, 0, roomPano.cols, roomPano.rows)) != grown)
    return false;
  canvasArea = grown;
  newPano = roomPano(grown);
  newMask = roomMask(grown);
  if (colour) {
    newPanoAcum = roomPanoAcum(grown);
    newWeightsAcum = roomWeightsAcum(grown);
  }
  return true;
}

void Composition::AllocateWithSpareRoom(bool colour) {
  // The grown canvas in the reference plane (minposAcum moves after this).
  const cv::Rect grown(minposAcum_x + std::min(0, minpos_x), minposAcum_y + std::min(0, minpos_y),
                       new_imageW, new_imageH);
  if (!plannedCanvas.empty() && (plannedCanvas & grown) == grown &&
      static_cast<std::int64_t>(plannedCanvas.width) * plannedCanvas.height <= kMaxCanvasArea) {
    AllocateRoom(colour, plannedCanvas.width, plannedCanvas.height, grown.x - plannedCanvas.x,
                 grown.y - plannedCanvas.y);
    return;
  }
  const bool growsLeft = minpos_x < 0, growsUp = minpos_y < 0;
  const bool growsRight = new_imageW > pano_imageW + std::max(0, -minpos_x);
  const bool growsDown = new_imageH > pano_imageH + std::max(0, -minpos_y);
  int roomX = std::max(kMinSpareRoomPx, static_cast<int>(new_imageW * kSpareRoomFraction));
  int roomY = std::max(kMinSpareRoomPx, static_cast<int>(new_imageH * kSpareRoomFraction));
  auto total = [&](int rx, int ry) {
    const std::int64_t w = std::int64_t{new_imageW} + rx * (int{growsLeft} + int{growsRight});
    const std::int64_t h = std::int64_t{new_imageH} + ry * (int{growsUp} + int{growsDown});
    return w * h;
  };
  while ((roomX > 0 || roomY > 0) && total(roomX, roomY) > kMaxCanvasArea) {
    roomX /= 2;
    roomY /= 2;
  }
  const int left = growsLeft ? roomX : 0, right = growsRight ? roomX : 0;
  const int top = growsUp ? roomY : 0, bottom = growsDown ? roomY : 0;
  AllocateRoom(colour, new_imageW + left + right, new_imageH + top + bottom, left, top);
}

void Composition::AllocateRoom(bool colour, int roomW, int roomH, int left, int top) {
  roomPano = cv::Mat::zeros(roomH, roomW, colour ? CV_8UC3 : CV_8UC1);
  roomMask = cv::Mat::zeros(roomH, roomW, CV_8UC1);
  if (colour) {
    roomPanoAcum = cv::Mat::zeros(roomH, roomW, CV_64FC3);
    roomWeightsAcum = cv::Mat::zeros(roomH, roomW, CV_64FC1);
  } else {
    roomPanoAcum.release();
    roomWeightsAcum.release();
  }
  canvasArea = cv::Rect(left, top, new_imageW, new_imageH);
  newPano = roomPano(canvasArea);
  newMask = roomMask(canvasArea);
  if (colour) {
    newPanoAcum = roomPanoAcum(canvasArea);
    newWeightsAcum = roomWeightsAcum(canvasArea);
  }
}

void Composition::CalculateNewSizeOfPanorama(cv::Mat H_FrameToRef, int width, int height) {
  cv::Mat storage;
  const FrameBox box = TwoCornerBox(HomographyEntries(H_FrameToRef, storage), width, height);
  // Mapped coordinates saturate at +/-kMappedLimit; 64-bit arithmetic keeps
  // a degenerate frame's size from wrapping round to a small positive one.
  const std::int64_t minposX = std::int64_t{box.minX} - minposAcum_x;
  const std::int64_t minposY = std::int64_t{box.minY} - minposAcum_y;
  // The right (bottom) extent is the edge's own column (row) index.
  const std::int64_t rightX = std::int64_t{box.maxX} - minposAcum_x;
  const std::int64_t bottomY = std::int64_t{box.maxY} - minposAcum_y;
  const std::int64_t newW =
      std::max<std::int64_t>(pano_imageW, rightX) + std::max<std::int64_t>(0, -minposX);
  const std::int64_t newH =
      std::max<std::int64_t>(pano_imageH, bottomY) + std::max<std::int64_t>(0, -minposY);
  minpos_x = SaturateToInt(minposX);
  minpos_y = SaturateToInt(minposY);
  new_imageW = SaturateToInt(newW);
  new_imageH = SaturateToInt(newH);
}

void Composition::CopyPanToNewPan(cv::Mat* pano) {
  const cv::Rect oldCanvas(0, 0, pano_imageW, pano_imageH);
  const cv::Rect target(std::max(0, -minpos_x), std::max(0, -minpos_y), pano_imageW, pano_imageH);
  // Copies into the grown layers' regions; a copy into a region header of
  // another size would silently allocate instead of writing, so sizes are checked.
  auto copyLayer = [&](const cv::Mat& from, cv::Mat& to) {
    if (from.empty() || to.empty())
      return;
    CV_Assert(from.cols >= pano_imageW && from.rows >= pano_imageH && from.type() == to.type());
    CV_Assert(target.x + target.width <= to.cols && target.y + target.height <= to.rows);
    cv::Mat region = to(target);
    from(oldCanvas).copyTo(region);
  };
  copyLayer(*pano, newPano);
  copyLayer(mask, newMask);
  copyLayer(panoAcum, newPanoAcum);
  copyLayer(weightsAcum, newWeightsAcum);
}

namespace {

// Where a fill of the grown canvas looks: from the frame's top-left corner
// to the canvas's far corner, cut to the frame's footprint.
ScanRange GrownCanvasScan(const Composition& c, const double* h, int margin, int width,
                          int height) {
  return FootprintWithin(
      ScanRange{std::max(0, c.minpos_x), c.newPano.cols, std::max(0, c.minpos_y), c.newPano.rows},
      h, margin, width, height, c.minposAcum_x, c.minposAcum_y);
}

}  // namespace

void Composition::FillNewPan_RGB(cv::Mat frameImage, cv::Mat H_RefToFrame, int margin, int width,
                                 int height) {
  CV_Assert(frameImage.type() == CV_8UC3 && frameImage.cols >= width && frameImage.rows >= height);
  CV_Assert(weights.type() == CV_64FC1 && weights.cols >= width && weights.rows >= height);
  CV_Assert(newPano.type() == CV_8UC3 && newMask.size() == newPano.size() &&
            newPanoAcum.size() == newPano.size() && newWeightsAcum.size() == newPano.size());
  cv::Mat storage;
  const double* h = HomographyEntries(H_RefToFrame, storage);
  const float alpha = Alpha_Blending;
  const ScanRange scan = GrownCanvasScan(*this, h, margin, width, height);
  ForEachRow(scan, [&](int r) {
    cv::Vec3b* panoRow = newPano.ptr<cv::Vec3b>(r);
    unsigned char* maskRow = newMask.ptr<unsigned char>(r);
    cv::Vec3d* acumRow = newPanoAcum.ptr<cv::Vec3d>(r);
    double* weightRow = newWeightsAcum.ptr<double>(r);
    for (int c = scan.x0; c < scan.x1; ++c) {
      int x = 0, y = 0;
      ApplyHomography(&x, &y, c + minposAcum_x, r + minposAcum_y, h);
      if (!InsideSamplingBounds(x, y, margin, width, height))
        continue;
      const cv::Vec3b s = frameImage.ptr<cv::Vec3b>(y)[x];
      const double w = weights.ptr<double>(y)[x];
      if (maskRow[c] >= Composition::kCoveredMask) {
        for (int k = 0; k < 3; ++k) {
          panoRow[c][k] = BlendChannel(alpha, panoRow[c][k], s[k]);
          acumRow[c][k] += s[k] * w;
        }
        weightRow[c] += w;
      } else {
        panoRow[c] = s;
        maskRow[c] = kFullMask;
        for (int k = 0; k < 3; ++k)
          acumRow[c][k] = s[k] * w;
        weightRow[c] = w;
      }
    }
  });
}

void Composition::FillNewPan_Gray(cv::Mat frameImage, cv::Mat H_RefToFrame, int margin, int width,
                                  int height) {
  CV_Assert(frameImage.type() == CV_8UC1 && frameImage.cols >= width && frameImage.rows >= height);
  CV_Assert(newPano.type() == CV_8UC1 && newMask.size() == newPano.size());
  cv::Mat storage;
  const double* h = HomographyEntries(H_RefToFrame, storage);
  const float alpha = Alpha_Blending;
  const ScanRange scan = GrownCanvasScan(*this, h, margin, width, height);
  ForEachRow(scan, [&](int r) {
    unsigned char* panoRow = newPano.ptr<unsigned char>(r);
    unsigned char* maskRow = newMask.ptr<unsigned char>(r);
    for (int c = scan.x0; c < scan.x1; ++c) {
      int x = 0, y = 0;
      ApplyHomography(&x, &y, c + minposAcum_x, r + minposAcum_y, h);
      if (!InsideSamplingBounds(x, y, margin, width, height))
        continue;
      const unsigned char s = frameImage.ptr<unsigned char>(y)[x];
      if (maskRow[c] >= Composition::kCoveredMask) {
        panoRow[c] = BlendChannel(alpha, panoRow[c], s);
      } else {
        panoRow[c] = s;
        maskRow[c] = kFullMask;
      }
    }
  });
}

namespace {

// The median fill's scan over canvas rows [rowBegin, rowEnd) and columns
// [.., colEnd): from the frame's two-corner box corner (a frame reaching left
// of or above the canvas starts at its edge), within the frame's footprint.
ScanRange FPanoScan(const double* h, const double* g, int margin, int width, int height, int colEnd,
                    int rowBegin, int rowEnd, int acumX, int acumY) {
  const FrameBox box = TwoCornerBox(g, width, height);
  const int cs = SaturateToInt(std::max<std::int64_t>(0, std::int64_t{box.minX} - acumX));
  const int rs = SaturateToInt(std::max<std::int64_t>(0, std::int64_t{box.minY} - acumY));
  const int y0 = std::max(rs, rowBegin);
  return FootprintWithin(ScanRange{cs, std::max(cs, colEnd), y0, std::max(y0, rowEnd)}, h, margin,
                         width, height, acumX, acumY);
}

// Writes the scan's pixels into fpano / fmask, whose row 0 is canvas row rowOffset.
void FillFPanoScan(cv::Mat& fpano, cv::Mat& fmask, int rowOffset, const cv::Mat& frameImage,
                   const double* h, const ScanRange& scan, int margin, int width, int height,
                   int acumX, int acumY) {
  ForEachRow(scan, [&](int r) {
    cv::Vec3b* panoRow = fpano.ptr<cv::Vec3b>(r - rowOffset);
    unsigned char* maskRow = fmask.ptr<unsigned char>(r - rowOffset);
    for (int c = scan.x0; c < scan.x1; ++c) {
      int x = 0, y = 0;
      ApplyHomography(&x, &y, c + acumX, r + acumY, h);
      if (!InsideSamplingBounds(x, y, margin, width, height))
        continue;
      panoRow[c] = frameImage.ptr<cv::Vec3b>(y)[x];
      maskRow[c] = kFullMask;
    }
  });
}

}  // namespace

void Composition::FillNewPan_RGB_FPano(cv::Mat fpano, cv::Mat fmask, cv::Mat frameImage,
                                       cv::Mat H_RefToFrame, cv::Mat H_FrameToRef, int margin,
                                       int width, int height, int cols, int rows) {
  FillNewPan_RGB_FPano(fpano, fmask, frameImage, H_RefToFrame, H_FrameToRef, margin, width, height,
                       cols, rows, 0, rows);
}

void Composition::FillNewPan_RGB_FPano(cv::Mat fpano, cv::Mat fmask, cv::Mat frameImage,
                                       cv::Mat H_RefToFrame, cv::Mat H_FrameToRef, int margin,
                                       int width, int height, int cols, int rows, int rowBegin,
                                       int rowEnd) {
  CV_Assert(fpano.type() == CV_8UC3 && fmask.type() == CV_8UC1);
  CV_Assert(frameImage.type() == CV_8UC3 && frameImage.cols >= width && frameImage.rows >= height);
  CV_Assert(rowBegin >= 0);
  const int colEnd = std::min({cols, fpano.cols, fmask.cols});
  // The strip's images bound its rows as the full images bound the canvas's.
  const int lastRow = std::min({rowEnd, rows, rowBegin + fpano.rows, rowBegin + fmask.rows});
  cv::Mat hStorage, gStorage;
  const double* h = HomographyEntries(H_RefToFrame, hStorage);
  const double* g = HomographyEntries(H_FrameToRef, gStorage);
  const ScanRange scan =
      FPanoScan(h, g, margin, width, height, colEnd, rowBegin, lastRow, minposAcum_x, minposAcum_y);
  FillFPanoScan(fpano, fmask, rowBegin, frameImage, h, scan, margin, width, height, minposAcum_x,
                minposAcum_y);
}

cv::Range Composition::FPanoRows(const cv::Mat& H_RefToFrame, const cv::Mat& H_FrameToRef,
                                 int margin, int width, int height, int cols, int rows) const {
  cv::Mat hStorage, gStorage;
  const double* h = HomographyEntries(H_RefToFrame, hStorage);
  const double* g = HomographyEntries(H_FrameToRef, gStorage);
  const ScanRange scan =
      FPanoScan(h, g, margin, width, height, cols, 0, rows, minposAcum_x, minposAcum_y);
  if (scan.y0 >= scan.y1 || scan.x0 >= scan.x1)
    return cv::Range(0, 0);
  return cv::Range(scan.y0, scan.y1);
}

void Composition::WarpPerspective(cv::Mat* pano, cv::Mat refImage, cv::Mat frameImage,
                                  cv::Mat H_RefToFrame, int width, int height) {
  CV_Assert(refImage.cols >= width && refImage.rows >= height &&
            refImage.type() == frameImage.type());
  // warpPerspective's matrix maps source (frame) pixels to destination
  // (reference) pixels: the inverse of H_RefToFrame.
  const cv::Mat H_FrameToRef = InverseHomography(H_RefToFrame);
  cv::Mat warped;
  cv::warpPerspective(frameImage, warped, H_FrameToRef, cv::Size(2 * width, height),
                      cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar::all(0));
  cv::Mat left = warped(cv::Rect(0, 0, width, height));
  refImage(cv::Rect(0, 0, width, height)).copyTo(left);
  *pano = warped;
}

void Composition::releaseImages() {
  for (cv::Mat* layer :
       {&newPano, &newMask, &mask, &panoAcum, &newPanoAcum, &weightsAcum, &newWeightsAcum, &weights,
        &roomPano, &roomMask, &roomPanoAcum, &roomWeightsAcum}) {
    layer->release();
  }
}
