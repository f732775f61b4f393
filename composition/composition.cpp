#include "composition/composition.hpp"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <opencv2/imgproc.hpp>

#include "geometry/homography_mapping.hpp"

namespace {

// A covered canvas pixel has a mask value at or above this.
constexpr unsigned char kCoveredMask = 128;
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

}  // namespace

Composition::~Composition() { releaseImages(); }

void Composition::set_InitValues() {
  minposAcum_x = 0;
  minposAcum_y = 0;
  minpos_x = 0;
  minpos_y = 0;
  new_imageW = 0;
  new_imageH = 0;
  ban_initSize = 1;
  Alpha_Blending = 0.0f;
}

bool Composition::Warping(cv::Mat* pano, cv::Mat refImage, cv::Mat frameImage,
                          cv::Mat H_RefToFrame, cv::Mat H_FrameToRef, int colourMode,
                          int warpingMode, float alpha, int width, int height) {
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
  if (w <= 0 || h <= 0) return false;
  if (w > kMaxCanvasSide || h > kMaxCanvasSide) return false;
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
  const bool keepGiven =
      !pano->empty() && HasSize(*pano, width, height, canvasType) &&
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

bool Composition::WarpAutomaticSizeOfPanorama(cv::Mat* pano, cv::Mat refImage,
                                              cv::Mat frameImage, cv::Mat H_RefToFrame,
                                              cv::Mat H_FrameToRef, int colourMode, int width,
                                              int height) {
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
    std::fprintf(stderr, "vmosaic: key frame skipped: the canvas would grow to %dx%d pixels\n",
                 new_imageW, new_imageH);
    minpos_x = keptMinposX;
    minpos_y = keptMinposY;
    new_imageW = keptNewW;
    new_imageH = keptNewH;
    return false;
  }

  const bool colour = colourMode == 1;
  newPano = cv::Mat::zeros(new_imageH, new_imageW, colour ? CV_8UC3 : CV_8UC1);
  if (colour) {
    newPanoAcum = cv::Mat::zeros(new_imageH, new_imageW, CV_64FC3);
    newWeightsAcum = cv::Mat::zeros(new_imageH, new_imageW, CV_64FC1);
  }
  newMask = cv::Mat::zeros(new_imageH, new_imageW, CV_8UC1);

  CopyPanToNewPan(pano);

  if (minpos_x < 0) minposAcum_x += minpos_x;
  if (minpos_y < 0) minposAcum_y += minpos_y;

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
    if (from.empty() || to.empty()) return;
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

void Composition::FillNewPan_RGB(cv::Mat frameImage, cv::Mat H_RefToFrame, int margin, int width,
                                 int height) {
  CV_Assert(frameImage.type() == CV_8UC3 && frameImage.cols >= width && frameImage.rows >= height);
  CV_Assert(weights.type() == CV_64FC1 && weights.cols >= width && weights.rows >= height);
  CV_Assert(newPano.type() == CV_8UC3 && newMask.size() == newPano.size() &&
            newPanoAcum.size() == newPano.size() && newWeightsAcum.size() == newPano.size());
  cv::Mat storage;
  const double* h = HomographyEntries(H_RefToFrame, storage);
  const float alpha = Alpha_Blending;
  for (int r = std::max(0, minpos_y); r < newPano.rows; ++r) {
    cv::Vec3b* panoRow = newPano.ptr<cv::Vec3b>(r);
    unsigned char* maskRow = newMask.ptr<unsigned char>(r);
    cv::Vec3d* acumRow = newPanoAcum.ptr<cv::Vec3d>(r);
    double* weightRow = newWeightsAcum.ptr<double>(r);
    for (int c = std::max(0, minpos_x); c < newPano.cols; ++c) {
      int x = 0, y = 0;
      ApplyHomography(&x, &y, c + minposAcum_x, r + minposAcum_y, h);
      if (!InsideSamplingBounds(x, y, margin, width, height)) continue;
      const cv::Vec3b s = frameImage.ptr<cv::Vec3b>(y)[x];
      const double w = weights.ptr<double>(y)[x];
      if (maskRow[c] >= kCoveredMask) {
        for (int k = 0; k < 3; ++k) {
          panoRow[c][k] = BlendChannel(alpha, panoRow[c][k], s[k]);
          acumRow[c][k] += s[k] * w;
        }
        weightRow[c] += w;
      } else {
        panoRow[c] = s;
        maskRow[c] = kFullMask;
        for (int k = 0; k < 3; ++k) acumRow[c][k] = s[k] * w;
        weightRow[c] = w;
      }
    }
  }
}

void Composition::FillNewPan_Gray(cv::Mat frameImage, cv::Mat H_RefToFrame, int margin,
                                  int width, int height) {
  CV_Assert(frameImage.type() == CV_8UC1 && frameImage.cols >= width && frameImage.rows >= height);
  CV_Assert(newPano.type() == CV_8UC1 && newMask.size() == newPano.size());
  cv::Mat storage;
  const double* h = HomographyEntries(H_RefToFrame, storage);
  const float alpha = Alpha_Blending;
  for (int r = std::max(0, minpos_y); r < newPano.rows; ++r) {
    unsigned char* panoRow = newPano.ptr<unsigned char>(r);
    unsigned char* maskRow = newMask.ptr<unsigned char>(r);
    for (int c = std::max(0, minpos_x); c < newPano.cols; ++c) {
      int x = 0, y = 0;
      ApplyHomography(&x, &y, c + minposAcum_x, r + minposAcum_y, h);
      if (!InsideSamplingBounds(x, y, margin, width, height)) continue;
      const unsigned char s = frameImage.ptr<unsigned char>(y)[x];
      if (maskRow[c] >= kCoveredMask) {
        panoRow[c] = BlendChannel(alpha, panoRow[c], s);
      } else {
        panoRow[c] = s;
        maskRow[c] = kFullMask;
      }
    }
  }
}

void Composition::FillNewPan_RGB_FPano(cv::Mat fpano, cv::Mat fmask, cv::Mat frameImage,
                                       cv::Mat H_RefToFrame, cv::Mat H_FrameToRef, int margin,
                                       int width, int height, int cols, int rows) {
  CV_Assert(fpano.type() == CV_8UC3 && fmask.type() == CV_8UC1);
  CV_Assert(frameImage.type() == CV_8UC3 && frameImage.cols >= width && frameImage.rows >= height);
  cv::Mat boxStorage;
  const FrameBox box = TwoCornerBox(HomographyEntries(H_FrameToRef, boxStorage), width, height);
  // A frame reaching left of or above the canvas starts the scan at its edge.
  const int cs = SaturateToInt(std::max<std::int64_t>(0, std::int64_t{box.minX} - minposAcum_x));
  const int rs = SaturateToInt(std::max<std::int64_t>(0, std::int64_t{box.minY} - minposAcum_y));
  const int colEnd = std::min({cols, fpano.cols, fmask.cols});
  const int rowEnd = std::min({rows, fpano.rows, fmask.rows});
  cv::Mat storage;
  const double* h = HomographyEntries(H_RefToFrame, storage);
  for (int r = rs; r < rowEnd; ++r) {
    cv::Vec3b* panoRow = fpano.ptr<cv::Vec3b>(r);
    unsigned char* maskRow = fmask.ptr<unsigned char>(r);
    for (int c = cs; c < colEnd; ++c) {
      int x = 0, y = 0;
      ApplyHomography(&x, &y, c + minposAcum_x, r + minposAcum_y, h);
      if (!InsideSamplingBounds(x, y, margin, width, height)) continue;
      panoRow[c] = frameImage.ptr<cv::Vec3b>(y)[x];
      maskRow[c] = kFullMask;
    }
  }
}

void Composition::WarpPerspective(cv::Mat* pano, cv::Mat refImage, cv::Mat frameImage,
                                  cv::Mat H_RefToFrame, int width, int height) {
  CV_Assert(refImage.cols >= width && refImage.rows >= height &&
            refImage.type() == frameImage.type());
  // warpPerspective's matrix maps source (frame) pixels to destination
  // (reference) pixels: the inverse of H_RefToFrame.
  const cv::Mat H_FrameToRef = H_RefToFrame.inv(cv::DECOMP_LU);
  cv::Mat warped;
  cv::warpPerspective(frameImage, warped, H_FrameToRef, cv::Size(2 * width, height),
                      cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar::all(0));
  cv::Mat left = warped(cv::Rect(0, 0, width, height));
  refImage(cv::Rect(0, 0, width, height)).copyTo(left);
  *pano = warped;
}

void Composition::releaseImages() {
  for (cv::Mat* layer : {&newPano, &newMask, &mask, &panoAcum, &newPanoAcum, &weightsAcum,
                         &newWeightsAcum, &weights}) {
    layer->release();
  }
}
