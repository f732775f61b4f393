#include <algorithm>
#include <cmath>
#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>

#include "composition/composition.hpp"

unsigned char TruncatedMean(double sum, double weight) {
  if (weight == 0.0)
    return 0;
  const double v = sum / weight;
  if (!(v > 0.0))
    return 0;
  return static_cast<unsigned char>(std::min(static_cast<int>(std::min(v, 255.0)), 255));
}

namespace {

unsigned char MedianOf(std::vector<unsigned char>& values) {
  if (values.size() == 1)
    return values[0];
  std::sort(values.begin(), values.end());
  return get_median(values);
}

// out's rows [outBegin, outEnd) from the images' rows [outBegin - rowOffset, ..):
// per pixel and channel, the median of the images (in list order) whose mask
// is covered there. Rows are spread over the threads; each writes its own row.
void MedianRows(cv::Mat& out, const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& masks,
                int outBegin, int outEnd, int rowOffset) {
  cv::parallel_for_(cv::Range(outBegin, outEnd), [&](const cv::Range& range) {
    std::vector<unsigned char> channel[3];
    for (auto& values : channel)
      values.reserve(images.size());
    for (int r = range.start; r < range.end; ++r) {
      cv::Vec3b* dst = out.ptr<cv::Vec3b>(r);
      const int source = r - rowOffset;
      for (int c = 0; c < out.cols; ++c) {
        for (auto& values : channel)
          values.clear();
        for (size_t i = 0; i < images.size(); ++i) {
          if (masks[i].ptr<unsigned char>(source)[c] < Composition::kCoveredMask)
            continue;
          const cv::Vec3b s = images[i].ptr<cv::Vec3b>(source)[c];
          for (int k = 0; k < 3; ++k)
            channel[k].push_back(s[k]);
        }
        for (int k = 0; k < 3; ++k) {
          if (!channel[k].empty())
            dst[c][k] = MedianOf(channel[k]);
        }
      }
    }
  });
}

// Rows per strip so that the fills of the most frames crossing one row,
// cols wide, stay within budgetBytes; at least one row.
int StripRowsWithin(const std::vector<cv::Range>& frameRows, int rows, int cols,
                    std::int64_t budgetBytes) {
  std::vector<int> starts(static_cast<size_t>(rows) + 1, 0);
  for (const cv::Range& fr : frameRows) {
    if (fr.start >= fr.end)
      continue;
    ++starts[static_cast<size_t>(fr.start)];
    --starts[static_cast<size_t>(fr.end)];
  }
  int crossing = 0, mostCrossing = 1;
  for (int r = 0; r < rows; ++r) {
    crossing += starts[static_cast<size_t>(r)];
    mostCrossing = std::max(mostCrossing, crossing);
  }
  const std::int64_t rowBytes =
      std::int64_t{mostCrossing} * cols * Composition::kMedianStripBytesPerPixel;
  const std::int64_t stripRows = rowBytes > 0 ? budgetBytes / rowBytes : rows;
  return static_cast<int>(std::clamp<std::int64_t>(stripRows, 1, std::max(rows, 1)));
}

}  // namespace

void Composition::InitializeWeights(int width, int height) {
  if (!weights.empty())
    return;
  weights.create(height, width, CV_64FC1);
  const int hw = width / 2;
  const int hh = height / 2;
  // Standard deviation: half the mean of the half-sizes, in pixels.
  const double s = (hw + hh) / 2.0 * 0.5;
  for (int y = 0; y < height; ++y) {
    double* row = weights.ptr<double>(y);
    for (int x = 0; x < width; ++x) {
      const double dx = hw - x;
      const double dy = hh - y;
      row[x] = std::exp(-(dx * dx + dy * dy) / ((s + s) * s));
    }
  }
}

void Composition::MultiplyByWeights(cv::Mat* image, cv::Mat weightTable, int width, int height) {
  CV_Assert(image->type() == CV_64FC3 && image->cols >= width && image->rows >= height);
  CV_Assert(weightTable.type() == CV_64FC1 && weightTable.cols >= width &&
            weightTable.rows >= height);
  for (int y = 0; y < height; ++y) {
    cv::Vec3d* row = image->ptr<cv::Vec3d>(y);
    const double* w = weightTable.ptr<double>(y);
    for (int x = 0; x < width; ++x)
      row[x] *= w[x];
  }
}

void Composition::computeMeanPanorama(cv::Mat* out) {
  // Nothing accumulated (two-image mode): the canvas stays as it is.
  if (panoAcum.empty())
    return;
  CV_Assert(panoAcum.type() == CV_64FC3 && weightsAcum.type() == CV_64FC1 &&
            weightsAcum.size() == panoAcum.size());
  out->create(panoAcum.size(), CV_8UC3);
  for (int r = 0; r < panoAcum.rows; ++r) {
    const cv::Vec3d* sum = panoAcum.ptr<cv::Vec3d>(r);
    const double* weight = weightsAcum.ptr<double>(r);
    cv::Vec3b* dst = out->ptr<cv::Vec3b>(r);
    for (int c = 0; c < panoAcum.cols; ++c) {
      for (int k = 0; k < 3; ++k)
        dst[c][k] = TruncatedMean(sum[c][k], weight[c]);
    }
  }
}

void Composition::copyWeightsToImage(cv::Mat* out) {
  if (weightsAcum.empty()) {
    out->release();
    return;
  }
  out->create(weightsAcum.size(), CV_8UC1);
  cv::normalize(weightsAcum, weightsAcum, 255, 0, cv::NORM_MINMAX);
  weightsAcum.convertTo(*out, CV_8U);
}

void Composition::computeMedianPanorama(cv::Mat* out, std::vector<cv::Mat> images,
                                        std::vector<cv::Mat> masks) {
  CV_Assert(images.size() == masks.size());
  if (images.empty()) {
    out->release();
    return;
  }
  const int rows = images[0].rows;
  const int cols = images[0].cols;
  for (size_t i = 0; i < images.size(); ++i) {
    CV_Assert(images[i].type() == CV_8UC3 && images[i].rows == rows && images[i].cols == cols);
    CV_Assert(masks[i].type() == CV_8UC1 && masks[i].rows == rows && masks[i].cols == cols);
  }
  *out = cv::Mat::zeros(rows, cols, CV_8UC3);
  MedianRows(*out, images, masks, 0, rows, 0);
}

void Composition::AddMedianFrame(const cv::Mat& image, const cv::Mat& H_RefToFrame,
                                 const cv::Mat& H_FrameToRef) {
  medianFrames.push_back(MedianFrame{image, H_RefToFrame.clone(), H_FrameToRef.clone()});
}

void Composition::ComposeQueuedMedian(cv::Mat* out, int margin, int width, int height, int cols,
                                      int rows, std::int64_t budgetBytes) {
  computeMedianPanoramaInStrips(out, medianFrames, margin, width, height, cols, rows, budgetBytes);
  medianFrames.clear();
}

void Composition::computeMedianPanoramaInStrips(cv::Mat* out,
                                                const std::vector<MedianFrame>& frames, int margin,
                                                int width, int height, int cols, int rows,
                                                std::int64_t budgetBytes, int stripRows) {
  if (frames.empty() || cols <= 0 || rows <= 0) {
    out->release();
    return;
  }
  // Canvas rows each frame's fill can reach: a strip it misses skips it.
  std::vector<cv::Range> frameRows;
  frameRows.reserve(frames.size());
  for (const MedianFrame& f : frames) {
    frameRows.push_back(
        FPanoRows(f.H_RefToFrame, f.H_FrameToRef, margin, width, height, cols, rows));
  }
  if (stripRows <= 0)
    stripRows = StripRowsWithin(frameRows, rows, cols, budgetBytes);
  stripRows = std::min(stripRows, rows);
  *out = cv::Mat::zeros(rows, cols, CV_8UC3);
  // Strip buffers, reused from strip to strip; the list of those in use keeps
  // the frames' order.
  std::vector<cv::Mat> imageBuffers, maskBuffers;
  std::vector<cv::Mat> images, masks;
  for (int begin = 0; begin < rows; begin += stripRows) {
    const int end = std::min(rows, begin + stripRows);
    images.clear();
    masks.clear();
    for (size_t i = 0; i < frames.size(); ++i) {
      if (frameRows[i].end <= begin || frameRows[i].start >= end)
        continue;
      const size_t slot = images.size();
      if (slot == imageBuffers.size()) {
        imageBuffers.emplace_back(stripRows, cols, CV_8UC3);
        maskBuffers.emplace_back(stripRows, cols, CV_8UC1);
      }
      cv::Mat image = imageBuffers[slot].rowRange(0, end - begin);
      cv::Mat mask = maskBuffers[slot].rowRange(0, end - begin);
      image.setTo(cv::Scalar::all(0));
      mask.setTo(cv::Scalar::all(0));
      FillNewPan_RGB_FPano(image, mask, frames[i].image, frames[i].H_RefToFrame,
                           frames[i].H_FrameToRef, margin, width, height, cols, rows, begin, end);
      if (afterFrameRead)
        afterFrameRead(frames[i].image);
      images.push_back(image);
      masks.push_back(mask);
    }
    if (!images.empty())
      MedianRows(*out, images, masks, begin, end, begin);
  }
}

unsigned char get_median(const std::vector<unsigned char>& values) {
  const size_t m = values.size();
  if (m == 0)
    return 0;  // no sample: uncovered
  if (m % 2 == 1)
    return values[m / 2];
  return static_cast<unsigned char>((int{values[m / 2 - 1]} + int{values[m / 2]}) / 2);
}
