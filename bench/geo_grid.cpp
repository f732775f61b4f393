// Draws a georeferenced GeoTIFF (RGB with alpha) with the grid of its own
// CRS: lines every SPACING metres of easting and northing, placed through the
// file's geotransform, labelled at the border; uncovered pixels white.
//
//   vmosaic-geo-grid IN.tif OUT.jpg [SPACING_M [WIDTH]]
#include <gdal_priv.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: vmosaic-geo-grid IN.tif OUT.jpg [SPACING_M [WIDTH]]\n");
    return 2;
  }
  const double spacing = argc > 3 ? std::atof(argv[3]) : 10.0;
  const int width = argc > 4 ? std::atoi(argv[4]) : 1200;
  GDALAllRegister();
  std::unique_ptr<GDALDataset> d(GDALDataset::Open(argv[1], GDAL_OF_RASTER));
  double t[6];
  if (d == nullptr || d->GetRasterCount() != 4 || d->GetGeoTransform(t) != CE_None) {
    std::fprintf(stderr, "vmosaic-geo-grid: %s is no georeferenced RGBA GeoTIFF\n", argv[1]);
    return 1;
  }
  const double scale = std::min(1.0, static_cast<double>(width) / d->GetRasterXSize());
  const cv::Size size(static_cast<int>(d->GetRasterXSize() * scale),
                      static_cast<int>(d->GetRasterYSize() * scale));
  // Read at the drawing's size: GDAL picks the overview.
  std::vector<cv::Mat> bands;  // R, G, B, alpha
  for (int b = 1; b <= 4; ++b) {
    cv::Mat band(size, CV_8UC1);
    if (d->GetRasterBand(b)->RasterIO(GF_Read, 0, 0, d->GetRasterXSize(), d->GetRasterYSize(),
                                      band.data, size.width, size.height, GDT_Byte, 0,
                                      0) != CE_None) {
      return 1;
    }
    bands.push_back(band);
  }
  cv::Mat image;
  cv::merge(std::vector<cv::Mat>{bands[2], bands[1], bands[0]}, image);
  image.setTo(cv::Scalar::all(255), bands[3] == 0);
  const int margin = 40, left = 110;  // room for the labels
  cv::Mat out(size.height + 2 * margin, size.width + left + margin, CV_8UC3, cv::Scalar::all(255));
  image.copyTo(out(cv::Rect(left, margin, size.width, size.height)));
  // Drawing pixel of a ground point, through the inverse geotransform.
  const double det = t[1] * t[5] - t[2] * t[4];
  auto toPixel = [&](double e, double n) {
    const double de = e - t[0], dn = n - t[3];
    const double col = (t[5] * de - t[2] * dn) / det, row = (-t[4] * de + t[1] * dn) / det;
    return cv::Point2d(left + col * scale, margin + row * scale);
  };
  double eMin = 1e300, eMax = -1e300, nMin = 1e300, nMax = -1e300;
  for (const cv::Point2d& c :
       {cv::Point2d(0, 0), cv::Point2d(d->GetRasterXSize(), 0), cv::Point2d(0, d->GetRasterYSize()),
        cv::Point2d(d->GetRasterXSize(), d->GetRasterYSize())}) {
    const double e = t[0] + c.x * t[1] + c.y * t[2], n = t[3] + c.x * t[4] + c.y * t[5];
    eMin = std::min(eMin, e), eMax = std::max(eMax, e);
    nMin = std::min(nMin, n), nMax = std::max(nMax, n);
  }
  const cv::Scalar line(40, 40, 220), text(0, 0, 0);
  const cv::Rect frame(left, margin, size.width, size.height);
  for (double e = std::ceil(eMin / spacing) * spacing; e <= eMax; e += spacing) {
    cv::Point2d a = toPixel(e, nMax), b = toPixel(e, nMin);
    cv::Point ia(a), ib(b);
    if (!cv::clipLine(frame, ia, ib))
      continue;
    cv::line(out, ia, ib, line, 1, cv::LINE_AA);
    cv::putText(out, cv::format("E %.0f", e), cv::Point(ia.x - 40, margin - 10),
                cv::FONT_HERSHEY_SIMPLEX, 0.45, text, 1, cv::LINE_AA);
  }
  for (double n = std::ceil(nMin / spacing) * spacing; n <= nMax; n += spacing) {
    cv::Point2d a = toPixel(eMin, n), b = toPixel(eMax, n);
    cv::Point ia(a), ib(b);
    if (!cv::clipLine(frame, ia, ib))
      continue;
    cv::line(out, ia, ib, line, 1, cv::LINE_AA);
    cv::putText(out, cv::format("N %.0f", n), cv::Point(4, ia.y + 4), cv::FONT_HERSHEY_SIMPLEX, 0.4,
                text, 1, cv::LINE_AA);
  }
  const char* crs = d->GetSpatialRef() ? d->GetSpatialRef()->GetName() : "";
  cv::putText(out, cv::format("%s, grid %.0f m", crs, spacing), cv::Point(left, out.rows - 12),
              cv::FONT_HERSHEY_SIMPLEX, 0.5, text, 1, cv::LINE_AA);
  return cv::imwrite(argv[2], out, {cv::IMWRITE_JPEG_QUALITY, 85}) ? 0 : 1;
}
