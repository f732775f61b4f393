#include "bench/fidelity_metrics.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace fidelity {

namespace {

double PsnrOf(double squaredError, double samples) {
  if (samples <= 0.0)
    return std::numeric_limits<double>::quiet_NaN();
  const double mse = squaredError / samples;
  if (mse <= 0.0)
    return kPsnrCap;
  return std::min(kPsnrCap, 10.0 * std::log10(255.0 * 255.0 / mse));
}

}  // namespace

cv::Mat CoveredMask(const cv::Mat& image) {
  cv::Mat grey;
  if (image.channels() == 1) {
    grey = image;
  } else {
    std::vector<cv::Mat> planes;
    cv::split(image, planes);
    grey = planes[0].clone();
    for (size_t i = 1; i < planes.size(); ++i)
      cv::max(grey, planes[i], grey);
  }
  return grey > 0;
}

double Psnr(const cv::Mat& image, const cv::Mat& truth, const cv::Mat& mask) {
  CV_Assert(image.size() == truth.size() && image.type() == truth.type() &&
            image.depth() == CV_8U && mask.size() == image.size() && mask.type() == CV_8UC1);
  const int channels = image.channels();
  double squared = 0.0, samples = 0.0;
  for (int y = 0; y < image.rows; ++y) {
    const uchar* a = image.ptr<uchar>(y);
    const uchar* b = truth.ptr<uchar>(y);
    const uchar* m = mask.ptr<uchar>(y);
    for (int x = 0; x < image.cols; ++x) {
      if (m[x] == 0)
        continue;
      for (int c = 0; c < channels; ++c) {
        const double d = static_cast<double>(a[x * channels + c]) - b[x * channels + c];
        squared += d * d;
      }
      samples += channels;
    }
  }
  return PsnrOf(squared, samples);
}

double TileGainPsnr(const cv::Mat& image, const cv::Mat& truth, const cv::Mat& mask, int tile) {
  CV_Assert(image.size() == truth.size() && image.type() == truth.type() &&
            image.depth() == CV_8U && mask.size() == image.size() && tile > 0);
  const int channels = image.channels();
  double squared = 0.0, samples = 0.0;
  for (int ty = 0; ty < image.rows; ty += tile) {
    for (int tx = 0; tx < image.cols; tx += tile) {
      const cv::Rect block(tx, ty, std::min(tile, image.cols - tx),
                           std::min(tile, image.rows - ty));
      // Least squares truth ~ gain * image + offset over the covered samples.
      double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0, syy = 0;
      for (int y = block.y; y < block.br().y; ++y) {
        const uchar* a = image.ptr<uchar>(y);
        const uchar* b = truth.ptr<uchar>(y);
        const uchar* m = mask.ptr<uchar>(y);
        for (int x = block.x; x < block.br().x; ++x) {
          if (m[x] == 0)
            continue;
          for (int c = 0; c < channels; ++c) {
            const double u = a[x * channels + c], v = b[x * channels + c];
            n += 1;
            sx += u;
            sy += v;
            sxx += u * u;
            sxy += u * v;
            syy += v * v;
          }
        }
      }
      if (n == 0)
        continue;
      const double varX = sxx - sx * sx / n;
      const double covXY = sxy - sx * sy / n;
      const double varY = syy - sy * sy / n;
      // Too few samples or a flat block: the offset alone.
      const double gain = (n >= 3 * 16 && varX > 1e-9 * n) ? covXY / varX : 1.0;
      // Residual sum of squares of the fit (its offset takes out the means),
      // in closed form.
      const double residual = varY - 2 * gain * covXY + gain * gain * varX;
      squared += std::max(0.0, residual);
      samples += n;
    }
  }
  return PsnrOf(squared, samples);
}

double CornerError(const cv::Matx33d& A, const cv::Matx33d& B, cv::Size frameSize) {
  const double w = frameSize.width, h = frameSize.height;
  double sum = 0.0;
  for (const cv::Vec3d& corner :
       {cv::Vec3d(0, 0, 1), cv::Vec3d(w, 0, 1), cv::Vec3d(w, h, 1), cv::Vec3d(0, h, 1)}) {
    const cv::Vec3d a = A * corner, b = B * corner;
    sum += std::hypot(a[0] / a[2] - b[0] / b[2], a[1] / a[2] - b[1] / b[2]);
  }
  return sum / 4.0;
}

double Median(std::vector<double> values) {
  if (values.empty())
    return std::numeric_limits<double>::quiet_NaN();
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

}  // namespace fidelity
