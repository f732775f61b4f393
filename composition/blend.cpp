#include "composition/blend.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <opencv2/core/ocl.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/stitching/detail/blenders.hpp>
#include <opencv2/stitching/detail/exposure_compensate.hpp>
#include <opencv2/stitching/detail/seam_finders.hpp>

#include "composition/vignetting.hpp"
#include "geometry/homography_mapping.hpp"

namespace blend {

namespace {

// What the composition is tuned by; a share is of the canvas's bytes.
struct Tuning {
  // Low-resolution copies: at most lowResPixelsPerFrame pixels per frame (seams
  // and block gains need no more), and all copies together at most lowResShare
  // of the canvas's bytes at lowResBytesPerPixel (copy, warped copy, mask, float
  // copy).
  double lowResPixelsPerFrame = 60000.0, lowResShare = 0.5, lowResBytesPerPixel = 20.0;
  // Block gains over blocks of gainBlock low-resolution pixels, found in
  // gainFeeds rounds so that the compensator's pull towards gain 1 does not
  // leave part of a mismatch in place.
  int gainBlock = 24, gainFeeds = 3;
  // The compensator solves a dense system over all blocks (about
  // gainSystemBytes per pair of blocks); blocks grow until it fits gainShare of
  // the canvas's bytes, and with more frames than that allows, block gains are
  // left out (the per-frame exposures are corrected already).
  double gainSystemBytes = 40.0, gainShare = 0.25;
  // The photometric fit's samples take at most ratioShare of the canvas's
  // bytes, and minRatioSamples whatever that share.
  double ratioShare = 0.25;
  size_t minRatioSamples = 20000;
  // The blender sums 16-bit levels: frames go in at blendScale times their
  // 8-bit values, so its truncations stay below half an output level, and
  // corrected values at most ceilingShare times the 8-bit range. Where so
  // many frames claim one pixel that their weighted sum could pass
  // shortMax, the scale is lowered until it cannot.
  double blendScale = 32.0, ceilingShare = 2.0, shortMax = 32767.0;
  // The full-resolution stage holds one strip of canvas rows at a time: the
  // blender's pyramids (16-bit colour and float weights, 4/3 of a level) and the
  // frames fed to it (warped copy, mask, gains, the blender's bordered copy and
  // pyramids), together within stripShare of the canvas's bytes.
  double stripShare = 3.5, pyramidBytesPerPixel = 14.0, feedBytesPerPixel = 36.0;
  int minStripRows = 16, maxBands = 5;
  // The finest band is about bandShare of the canvas's geometric mean side:
  // seams blur over that width, wide enough to hide an exposure step and
  // narrow enough not to ghost a small misplacement.
  double bandShare = 0.05;
  // Footprints are widened by one pixel before and two after the mapped
  // corners (rounding and the last pixel's extent) and clamped at this many
  // canvas sides, so that a nearly degenerate homography cannot overflow int.
  double footprintLimitSides = 4.0;
  // Below this projective divisor a frame corner lies at or behind the horizon.
  double horizonW = 1e-12;
};
constexpr Tuning kTuning{};

using geometry::Translation;
// Pixel centres of a grid scaled by (sx, sy): x' = (x + 0.5) sx - 0.5.
cv::Matx33d Scaling(double sx, double sy) {
  return cv::Matx33d(sx, 0, 0.5 * sx - 0.5, 0, sy, 0.5 * sy - 0.5, 0, 0, 1);
}

// Integer box around the frame's corners mapped by toCanvas, within bounds.
cv::Rect Footprint(const cv::Matx33d& toCanvas, cv::Size frame, cv::Size bounds) {
  const std::optional<geometry::MappedBox> mapped =
      geometry::MapFrameBox(toCanvas, frame, kTuning.horizonW);
  if (!mapped)
    return cv::Rect();  // the frame crosses the horizon
  auto [minX, minY, maxX, maxY] = *mapped;
  const double limit = kTuning.footprintLimitSides * (std::max(bounds.width, bounds.height) + 1.0);
  minX = std::clamp(std::floor(minX) - 1, -limit, limit);
  minY = std::clamp(std::floor(minY) - 1, -limit, limit);
  maxX = std::clamp(std::ceil(maxX) + 2, -limit, limit);
  maxY = std::clamp(std::ceil(maxY) + 2, -limit, limit);
  const cv::Rect box(cv::Point(static_cast<int>(minX), static_cast<int>(minY)),
                     cv::Point(static_cast<int>(maxX), static_cast<int>(maxY)));
  return box & cv::Rect(cv::Point(0, 0), bounds);
}

// 1 / V over rho^2 in [0, 1], for the per-pixel correction.
class InverseFalloff {
 public:
  explicit InverseFalloff(const vignetting::Falloff& falloff) : table_(kSteps + 1) {
    for (int k = 0; k <= kSteps; ++k)
      table_[k] = static_cast<float>(1.0 / falloff.At(double(k) / kSteps));
  }
  float operator()(double rho2) const {
    const double t = std::clamp(rho2, 0.0, 1.0) * kSteps;
    const int k = std::min(static_cast<int>(t), kSteps - 1);
    const float f = static_cast<float>(t - k);
    return (1 - f) * table_[static_cast<size_t>(k)] + f * table_[static_cast<size_t>(k + 1)];
  }
  float Largest() const { return *std::max_element(table_.begin(), table_.end()); }

 private:
  static constexpr int kSteps = 1024;
  std::vector<float> table_;
};

// Whether window pixel (x, y) maps into the frame; (*fx, *fy) is where.
bool InsideFrame(const cv::Matx33d& windowToFrame, int x, int y, cv::Size frame, double* fx,
                 double* fy) {
  const cv::Vec3d p = windowToFrame * cv::Vec3d(x, y, 1.0);
  *fx = p[0] / p[2];
  *fy = p[1] / p[2];
  return p[2] > 0 && *fx >= 0 && *fy >= 0 && *fx <= frame.width - 1 && *fy <= frame.height - 1;
}

// A frame warped onto a window of a canvas (full or low resolution),
// corrected: out = warped * scale * blockGain / (gain * V(rho)), as T, and
// mask 255 where the pixel's frame point lies inside the frame.
// windowToFrame maps window pixels to the frame's full-resolution pixels.
template <typename T>
void WarpCorrected(const cv::Mat& source, int interpolation, const cv::Matx33d& windowToSource,
                   const cv::Matx33d& windowToFrame, cv::Size frame, cv::Size window,
                   const InverseFalloff& inverseFalloff, double gain, double scale, double ceiling,
                   const cv::Mat& blockGain, cv::Mat* out, cv::Mat* mask) {
  cv::Mat warped;
  cv::warpPerspective(source, warped, cv::Mat(windowToSource), window,
                      interpolation | cv::WARP_INVERSE_MAP, cv::BORDER_REPLICATE);
  out->create(window, CV_MAKETYPE(cv::DataType<T>::depth, 3));
  mask->create(window, CV_8U);
  const double base = scale / gain;
  cv::parallel_for_(cv::Range(0, window.height), [&](const cv::Range& rows) {
    for (int y = rows.start; y < rows.end; ++y) {
      const cv::Vec3b* in = warped.ptr<cv::Vec3b>(y);
      cv::Vec<T, 3>* o = out->ptr<cv::Vec<T, 3>>(y);
      uchar* m = mask->ptr<uchar>(y);
      const float* g = blockGain.empty() ? nullptr : blockGain.ptr<float>(y);
      for (int x = 0; x < window.width; ++x) {
        double fx, fy;
        m[x] = InsideFrame(windowToFrame, x, y, frame, &fx, &fy) ? 255 : 0;
        // Outside the frame the warp repeats its edge: corrected like the
        // edge, it keeps the blender's coarse levels free of a dark rim.
        const double cx = std::clamp(fx, 0.0, frame.width - 1.0);
        const double cy = std::clamp(fy, 0.0, frame.height - 1.0);
        const double f =
            base * inverseFalloff(vignetting::RhoSquared(cx, cy, frame)) * (g ? g[x] : 1.0f);
        for (int k = 0; k < 3; ++k)
          o[x][k] = cv::saturate_cast<T>(std::min(in[x][k] * f, ceiling));
      }
    }
  });
}

struct Placed {
  const Frame* frame = nullptr;
  cv::Matx33d toCanvas;  // frame pixels onto canvas pixels
  cv::Matx33d fromCanvas;
  cv::Rect box;            // footprint on the canvas
  cv::Rect lowBox;         // footprint on the low-resolution canvas
  cv::Matx33d lowToFrame;  // low-resolution frame pixels onto frame pixels
  cv::UMat seam;           // low-resolution seam mask (dilated)
  cv::Mat blockGains;      // gains per block of lowBox
};

int BandsFor(cv::Size canvas) {
  const double width = std::sqrt(static_cast<double>(canvas.area())) * kTuning.bandShare;
  const int bands = static_cast<int>(std::ceil(std::log2(std::max(width, 2.0)))) - 1;
  return std::clamp(bands, 1, kTuning.maxBands);
}

// Seams and block gains on the low-resolution canvas.
// owners: on the low-resolution canvas, 1 + the index of the frame each pixel
// went to (0: none).
void FindSeamsAndGains(std::vector<Placed>& placed, const vignetting::Photometry& photometry,
                       const std::vector<cv::Mat>& lowFrames, const cv::Matx33d& canvasToLow,
                       double canvasBytes, cv::Mat* owners) {
  const InverseFalloff inverseFalloff(photometry.falloff);
  const cv::Matx33d lowToCanvas = canvasToLow.inv();
  std::vector<cv::UMat> images(placed.size()), masks(placed.size());
  std::vector<cv::Point> corners(placed.size());
  for (size_t i = 0; i < placed.size(); ++i) {
    const Placed& p = placed[i];
    const cv::Matx33d windowToFrame =
        p.fromCanvas * lowToCanvas * Translation(p.lowBox.x, p.lowBox.y);
    cv::Mat image, mask;
    WarpCorrected<uchar>(lowFrames[i], cv::INTER_LINEAR, p.lowToFrame.inv() * windowToFrame,
                         windowToFrame, p.frame->image.size(), p.lowBox.size(), inverseFalloff,
                         photometry.gains[i], 1.0, 255.0, cv::Mat(), &image, &mask);
    image.copyTo(images[i]);
    mask.copyTo(masks[i]);
    corners[i] = p.lowBox.tl();
  }
  const double maxBlocks = std::sqrt(kTuning.gainShare * canvasBytes / kTuning.gainSystemBytes);
  int block = kTuning.gainBlock;
  for (;;) {
    double blocks = 0.0;
    int largest = 1;
    for (const Placed& p : placed) {
      blocks +=
          std::ceil(double(p.lowBox.width) / block) * std::ceil(double(p.lowBox.height) / block);
      largest = std::max({largest, p.lowBox.width, p.lowBox.height});
    }
    if (blocks <= maxBlocks || block >= largest)
      break;
    block *= 2;
  }
  const bool blockGains = static_cast<double>(placed.size()) <= maxBlocks;
  cv::detail::BlocksGainCompensator compensator(block, block, kTuning.gainFeeds);
  std::vector<cv::Mat> gains;
  if (blockGains) {
    static_cast<cv::detail::ExposureCompensator&>(compensator).feed(corners, images, masks);
    compensator.getMatGains(gains);
  }
  std::vector<cv::UMat> floats(placed.size());
  for (size_t i = 0; i < placed.size(); ++i) {
    placed[i].blockGains = blockGains ? gains[i] : cv::Mat(1, 1, CV_32F, cv::Scalar(1.0));
    if (blockGains)
      compensator.apply(static_cast<int>(i), corners[i], images[i], masks[i]);
    images[i].convertTo(floats[i], CV_32F);
    images[i].release();
  }
  cv::detail::GraphCutSeamFinder(cv::detail::GraphCutSeamFinderBase::COST_COLOR_GRAD)
      .find(floats, corners, masks);
  floats.clear();
  for (size_t i = 0; i < placed.size(); ++i) {
    (*owners)(placed[i].lowBox).setTo(static_cast<int>(i + 1), masks[i]);
    cv::dilate(masks[i], placed[i].seam, cv::Mat());
  }
}

bool Covers(const Placed& p, int x, int y) {
  const cv::Vec3d f = p.fromCanvas * cv::Vec3d(x, y, 1.0);
  const cv::Size size = p.frame->image.size();
  return f[2] > 0 && f[0] >= 0 && f[1] >= 0 && f[0] <= (size.width - 1) * f[2] &&
         f[1] <= (size.height - 1) * f[2];
}

// Keeps, of the frame's pixels in mask (canvas rows from top), those the
// seams gave it, and those whose owner on the low-resolution canvas does not
// reach them at full resolution (the seams' coarse grid must not leave holes
// along frame edges).
void KeepClaimed(const std::vector<Placed>& placed, size_t index, int top,
                 const cv::Matx33d& canvasToLow, const cv::Mat& owners, cv::Mat* mask) {
  const Placed& p = placed[index];
  const cv::Size window = mask->size();
  cv::Mat seam;
  cv::warpAffine(
      p.seam, seam,
      cv::Mat((Translation(-p.lowBox.x, -p.lowBox.y) * canvasToLow * Translation(p.box.x, top))
                  .get_minor<2, 3>(0, 0)),
      window, cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_CONSTANT);
  // Rows are independent, and with every frame a key frame this runs over
  // dozens of frames per canvas pixel, twice.
  cv::parallel_for_(cv::Range(0, window.height), [&](const cv::Range& rows) {
    for (int y = rows.start; y < rows.end; ++y) {
      uchar* m = mask->ptr<uchar>(y);
      const uchar* s = seam.ptr<uchar>(y);
      for (int x = 0; x < window.width; ++x) {
        if (m[x] == 0 || s[x] != 0)
          continue;
        const int cx = p.box.x + x, cy = top + y;
        const int lx =
            std::clamp(cvRound(canvasToLow(0, 0) * cx + canvasToLow(0, 2)), 0, owners.cols - 1);
        const int ly =
            std::clamp(cvRound(canvasToLow(1, 1) * cy + canvasToLow(1, 2)), 0, owners.rows - 1);
        const int owner = owners.at<ushort>(ly, lx);
        const bool orphan = owner == 0 || (static_cast<size_t>(owner - 1) != index &&
                                           !Covers(placed[static_cast<size_t>(owner - 1)], cx, cy));
        if (!orphan)
          m[x] = 0;
      }
    }
  });
}

// Feeds canvas rows [top, bottom) of frame index of placed to the blender:
// the pixels it claims, at scale times their corrected values.
void Feed(const std::vector<Placed>& placed, size_t index, int top, int bottom, double gain,
          const InverseFalloff& inverseFalloff, double scale, const cv::Matx33d& canvasToLow,
          const cv::Mat& owners, cv::detail::MultiBandBlender* blender) {
  const Placed& p = placed[index];
  const cv::Size window(p.box.width, bottom - top);
  const cv::Matx33d windowToCanvas = Translation(p.box.x, top);
  // Block gains: the gain map stretched over lowBox as the compensator
  // stretches it over the image it corrects.
  const cv::Matx33d lowToGain = Scaling(double(p.blockGains.cols) / p.lowBox.width,
                                        double(p.blockGains.rows) / p.lowBox.height) *
                                Translation(-p.lowBox.x, -p.lowBox.y);
  cv::Mat gains;
  cv::warpAffine(p.blockGains, gains,
                 cv::Mat((lowToGain * canvasToLow * windowToCanvas).get_minor<2, 3>(0, 0)), window,
                 cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_REPLICATE);
  cv::Mat image, mask;
  const cv::Matx33d windowToFrame = p.fromCanvas * windowToCanvas;
  WarpCorrected<short>(p.frame->image, cv::INTER_CUBIC, windowToFrame, windowToFrame,
                       p.frame->image.size(), window, inverseFalloff, gain, scale,
                       kTuning.ceilingShare * 255.0 * scale, gains, &image, &mask);
  gains.release();
  KeepClaimed(placed, index, top, canvasToLow, owners, &mask);
  blender->feed(image, mask, cv::Point(p.box.x, top));
}

// Raises *most to the most frames that claim one pixel of canvas rows
// [top, bottom): the pixels each would feed to the blender there.
void CountClaims(const std::vector<Placed>& placed, int top, int bottom,
                 const cv::Matx33d& canvasToLow, const cv::Mat& owners, int canvasWidth,
                 int* most) {
  cv::Mat claims = cv::Mat::zeros(bottom - top, canvasWidth, CV_16U);
  for (size_t i = 0; i < placed.size(); ++i) {
    const Placed& p = placed[i];
    const int from = std::max(top, p.box.y), to = std::min(bottom, p.box.br().y);
    if (from >= to)
      continue;
    const cv::Matx33d windowToFrame = p.fromCanvas * Translation(p.box.x, from);
    cv::Mat mask(to - from, p.box.width, CV_8U);
    cv::parallel_for_(cv::Range(0, mask.rows), [&](const cv::Range& rows) {
      for (int y = rows.start; y < rows.end; ++y) {
        uchar* m = mask.ptr<uchar>(y);
        for (int x = 0; x < mask.cols; ++x) {
          double fx, fy;
          m[x] = InsideFrame(windowToFrame, x, y, p.frame->image.size(), &fx, &fy) ? 255 : 0;
        }
      }
    });
    KeepClaimed(placed, i, from, canvasToLow, owners, &mask);
    cv::Mat rows = claims(cv::Rect(p.box.x, from - top, p.box.width, to - from));
    cv::add(rows, cv::Scalar(1), rows, mask);
  }
  double largest = 0.0;
  cv::minMaxLoc(claims, nullptr, &largest);
  *most = std::max(*most, static_cast<int>(largest));
}

// The stitching module works on UMat, which runs OpenCL kernels where a
// device is present, and those round differently from the CPU code: the
// blend stays on the CPU so that its bytes are the same on every machine.
class CpuOnly {
 public:
  CpuOnly() : wasOn_(cv::ocl::useOpenCL()) { cv::ocl::setUseOpenCL(false); }
  ~CpuOnly() { cv::ocl::setUseOpenCL(wasOn_); }
  CpuOnly(const CpuOnly&) = delete;
  CpuOnly& operator=(const CpuOnly&) = delete;

 private:
  bool wasOn_;
};

}  // namespace

cv::Mat BlendMosaic(const std::vector<Frame>& frames, const Canvas& canvas) {
  const CpuOnly cpuOnly;
  cv::Mat mosaic = cv::Mat::zeros(canvas.size, CV_8UC3);
  if (canvas.size.area() == 0)
    return mosaic;
  const cv::Matx33d refToCanvas = Translation(-canvas.origin.x, -canvas.origin.y);
  std::vector<Placed> placed;
  double lowResArea = 0.0, largestFrame = 1.0;
  for (const Frame& frame : frames) {
    CV_Assert(frame.image.type() == CV_8UC3);
    Placed p;
    p.frame = &frame;
    p.toCanvas = refToCanvas * frame.frameToRef;
    p.fromCanvas = p.toCanvas.inv();
    p.box = Footprint(p.toCanvas, frame.image.size(), canvas.size);
    if (p.box.area() == 0)
      continue;
    lowResArea += std::max(p.box.area(), frame.image.size().area());
    largestFrame = std::max(largestFrame, static_cast<double>(frame.image.size().area()));
    placed.push_back(p);
  }
  if (placed.empty())
    return mosaic;

  const double canvasBytes = 3.0 * static_cast<double>(canvas.size.area());
  const double scale = std::min(
      {1.0, std::sqrt(kTuning.lowResPixelsPerFrame / largestFrame),
       std::sqrt(kTuning.lowResShare * canvasBytes / (kTuning.lowResBytesPerPixel * lowResArea))});
  const cv::Matx33d canvasToLow = Scaling(scale, scale);
  const cv::Size lowCanvas(std::max(1, static_cast<int>(std::ceil(canvas.size.width * scale))),
                           std::max(1, static_cast<int>(std::ceil(canvas.size.height * scale))));

  vignetting::Photometry photometry;
  // owners holds 1 + a frame's index in 16 bits.
  CV_Assert(placed.size() < std::numeric_limits<std::uint16_t>::max());
  cv::Mat owners = cv::Mat::zeros(lowCanvas, CV_16U);
  {
    std::vector<cv::Mat> lowFrames;
    std::vector<cv::Matx33d> lowToRef;
    for (Placed& p : placed) {
      const cv::Size size = p.frame->image.size();
      const cv::Size low(std::max(1, static_cast<int>(std::lround(size.width * scale))),
                         std::max(1, static_cast<int>(std::lround(size.height * scale))));
      cv::Mat copy;
      cv::resize(p.frame->image, copy, low, 0, 0, cv::INTER_AREA);
      lowFrames.push_back(copy);
      p.lowToFrame = Scaling(double(size.width) / low.width, double(size.height) / low.height);
      lowToRef.push_back(p.frame->frameToRef * p.lowToFrame);
      // The low-resolution footprint covers the full one's pixel centres.
      const cv::Matx33d& m = canvasToLow;
      const int x0 = static_cast<int>(std::floor(m(0, 0) * p.box.x + m(0, 2)));
      const int y0 = static_cast<int>(std::floor(m(1, 1) * p.box.y + m(1, 2)));
      const int x1 = static_cast<int>(std::ceil(m(0, 0) * (p.box.br().x - 1) + m(0, 2))) + 1;
      const int y1 = static_cast<int>(std::ceil(m(1, 1) * (p.box.br().y - 1) + m(1, 2))) + 1;
      p.lowBox = cv::Rect(cv::Point(x0, y0), cv::Point(x1, y1)) & cv::Rect(cv::Point(), lowCanvas);
    }
    const auto maxSamples =
        std::max(kTuning.minRatioSamples,
                 static_cast<size_t>(kTuning.ratioShare * canvasBytes / vignetting::kRatioBytes));
    photometry = vignetting::EstimatePhotometry(lowFrames, lowToRef, maxSamples);
    FindSeamsAndGains(placed, photometry, lowFrames, canvasToLow, canvasBytes, &owners);
  }

  // Canvas rows in strips, each blended with context rows above and below
  // so that its pyramid near the cut matches the whole canvas's (twice the
  // coarsest level's scale, beyond which a level's kernels no longer reach);
  // a strip's pyramid and the frames fed to it stay within stripShare of the
  // canvas.
  const int bands = BandsFor(canvas.size);
  const int context = 2 << bands;
  int widestBox = 0;
  for (const Placed& p : placed)
    widestBox = std::max(widestBox, p.box.width);
  const double bytesPerRow =
      kTuning.pyramidBytesPerPixel * canvas.size.width + kTuning.feedBytesPerPixel * widestBox;
  const int stripRows =
      std::max(kTuning.minStripRows,
               static_cast<int>(kTuning.stripShare * canvasBytes / bytesPerRow) - 2 * context);
  const InverseFalloff inverseFalloff(photometry.falloff);
  // Each level the blender sums is at most the largest corrected value times
  // the most frames that claim one pixel (the weights of a level are the
  // claims blurred).
  double largestValue = 0.0;
  for (size_t i = 0; i < placed.size(); ++i) {
    double largestGain = 0.0;
    cv::minMaxLoc(placed[i].blockGains, nullptr, &largestGain);
    largestValue = std::max(
        largestValue, std::min(255.0 * inverseFalloff.Largest() * largestGain / photometry.gains[i],
                               kTuning.ceilingShare * 255.0));
  }
  int mostClaims = 0;
  for (int s0 = 0; s0 < canvas.size.height; s0 += stripRows) {
    const int top = std::max(0, s0 - context);
    const int bottom =
        std::min(canvas.size.height, std::min(s0 + stripRows, canvas.size.height) + context);
    CountClaims(placed, top, bottom, canvasToLow, owners, canvas.size.width, &mostClaims);
  }
  const double levelScale =
      std::min(kTuning.blendScale, kTuning.shortMax / (std::max(mostClaims, 1) * largestValue));
  for (int s0 = 0; s0 < canvas.size.height; s0 += stripRows) {
    const int s1 = std::min(s0 + stripRows, canvas.size.height);
    const int top = std::max(0, s0 - context), bottom = std::min(canvas.size.height, s1 + context);
    cv::detail::MultiBandBlender blender(false, bands, CV_32F);
    blender.prepare(cv::Rect(0, top, canvas.size.width, bottom - top));
    for (size_t i = 0; i < placed.size(); ++i) {
      const int from = std::max(top, placed[i].box.y), to = std::min(bottom, placed[i].box.br().y);
      if (from >= to)
        continue;
      Feed(placed, i, from, to, photometry.gains[i], inverseFalloff, levelScale, canvasToLow,
           owners, &blender);
    }
    cv::Mat blended, blendedMask;
    blender.blend(blended, blendedMask);
    blended.rowRange(s0 - top, s1 - top)
        .convertTo(mosaic.rowRange(s0, s1), CV_8U, 1.0 / levelScale);
  }
  return mosaic;
}

}  // namespace blend
