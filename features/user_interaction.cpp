// The interactive four-point homography: the operator clicks four points in
// image i and their partners in image j; Hij (image i onto image j) is the
// homography through the four pairs.
#include <array>
#include <cmath>
#include <opencv2/calib3d.hpp>
#include <opencv2/highgui.hpp>  // the mouse event codes of on_mouse
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "features/camera_motion_estimation.hpp"

namespace {

constexpr int kPointsPerImage = 4;
constexpr int kColourModeThreeChannel = 1;

// Marker drawn on the display copy at each confirmed point: a filled disc.
constexpr int kMarkerRadiusPx = 5;
const cv::Scalar kMarkerColourBgr(0, 0, 255);  // red

// The plain least-squares fit over all four pairs; the threshold, iteration
// limit and confidence play no part in it.
constexpr HomographyFit kLeastSquaresFit{0, 3.0, 2000, 0.995};

// Four pairs define a proper homography only when no three points of either
// image lie on one line (repeated points included). A point closer than
// this to the line through two others (or to another point) counts as on it.
constexpr double kMinDistanceFromLinePx = 1.0;
// The fit must carry every clicked point of image i onto its partner.
constexpr double kMaxFitErrorPx = 1.0;

const char* const kWindowI = "Image i";
const char* const kWindowJ = "Image j";

// ---------------------------------------------------------------------------
// Checks of the four pairs and of the fit.

using FourPoints = std::array<cv::Point2f, kPointsPerImage>;

double DistanceFromLine(const cv::Point2f& p, const cv::Point2f& a, const cv::Point2f& b) {
  const cv::Point2f ab = b - a;
  const double length = std::hypot(ab.x, ab.y);
  if (length < kMinDistanceFromLinePx)
    return 0.0;  // a and b coincide: no line
  const cv::Point2f ap = p - a;
  return std::abs(static_cast<double>(ab.x) * ap.y - static_cast<double>(ab.y) * ap.x) / length;
}

// No two points coincide and no three lie on one line.
bool InGeneralPosition(const FourPoints& points) {
  for (int a = 0; a < kPointsPerImage; ++a) {
    for (int b = a + 1; b < kPointsPerImage; ++b) {
      for (int c = 0; c < kPointsPerImage; ++c) {
        if (c == a || c == b)
          continue;
        if (DistanceFromLine(points[c], points[a], points[b]) < kMinDistanceFromLinePx) {
          return false;
        }
      }
    }
  }
  return true;
}

// A usable Hij: a finite 3x3 matrix that carries every point of image i onto
// its partner in image j. With both quadruples in general position this
// also rules out a singular matrix, whose images would be collinear.
bool FitsAllPairs(const cv::Mat& H, const FourPoints& points_i, const FourPoints& points_j) {
  if (H.empty() || H.rows != 3 || H.cols != 3 || H.type() != CV_64F)
    return false;
  if (!cv::checkRange(H))
    return false;
  for (int n = 0; n < kPointsPerImage; ++n) {
    const cv::Vec3d p(points_i[n].x, points_i[n].y, 1.0);
    const cv::Vec3d q = cv::Matx33d(H) * p;
    if (!std::isfinite(q[2]) || q[2] == 0.0)
      return false;
    const double dx = q[0] / q[2] - points_j[n].x;
    const double dy = q[1] / q[2] - points_j[n].y;
    if (!(std::hypot(dx, dy) <= kMaxFitErrorPx))
      return false;
  }
  return true;
}

// The image shown to the operator, so that markers never touch the frame.
cv::Mat MakeDisplayCopy(const cv::Mat& frame, int colourMode) {
  cv::Mat copy;
  if (colourMode == kColourModeThreeChannel || frame.channels() != 1) {
    frame.copyTo(copy);
  } else {
    cv::cvtColor(frame, copy, cv::COLOR_GRAY2BGR);  // so that the markers show red
  }
  return copy;
}

}  // namespace

void CameraMotionEstimation::on_mouse(int event, int x, int y, int /*flags*/, void* userdata) {
  if (event != cv::EVENT_LBUTTONDOWN || userdata == nullptr)
    return;
  static_cast<CameraMotionEstimation*>(userdata)->Point_Mouse = cv::Point(x, y);
}

// Reads frame_i, frame_j; writes Hij (image i onto image j) and Point_Mouse.
// ban_ExisteH and invHij are left as they were. The windows stay open.
void CameraMotionEstimation::HomographyEstimation_UserInteraction(cv::Mat frame_i, cv::Mat frame_j,
                                                                  int colourMode, int /*width*/,
                                                                  int /*height*/) {
  CV_Assert(!frame_i.empty() && !frame_j.empty());
  if (!operator_->DisplayAvailable()) {
    operator_->Err(
        io::Format("vmosaic: the interactive homography needs a display, and none could be opened "
                   "(DISPLAY=\"%s\"); the identity is used instead\n",
                   operator_->DisplayName().c_str()));
    Hij = cv::Mat::eye(3, 3, CV_64F);
    return;
  }

  cv::Mat copy_i = MakeDisplayCopy(frame_i, colourMode);
  cv::Mat copy_j = MakeDisplayCopy(frame_j, colourMode);
  FourPoints points_i;
  FourPoints points_j;
  points_i.fill(cv::Point2f(0.0f, 0.0f));
  points_j.fill(cv::Point2f(0.0f, 0.0f));
  Point_Mouse = cv::Point(0, 0);

  // One image: each key press confirms the last left click in its window.
  // Point_Mouse carries over from one image to the next.
  const auto collectFourPoints = [this](const char* window, cv::Mat& copy, FourPoints& points,
                                        const char* prompt) {
    operator_->Out(std::string(prompt) + "\n");
    const io::Operator::ClickHandler onClick = [this](cv::Point p) {
      Point_Mouse = p;
    };
    operator_->Show(window, copy, onClick);
    for (int n = 0; n < kPointsPerImage; ++n) {
      operator_->WaitForKey();  // no time-out: the key confirms the last click
      operator_->Out(io::Format("P%d x:%d y:%d\n", n + 1, Point_Mouse.x, Point_Mouse.y));
      cv::circle(copy, Point_Mouse, kMarkerRadiusPx, kMarkerColourBgr, cv::FILLED, cv::LINE_8);
      operator_->Show(window, copy, onClick);
      points[n] = cv::Point2f(static_cast<float>(Point_Mouse.x), static_cast<float>(Point_Mouse.y));
    }
  };
  collectFourPoints(kWindowI, copy_i, points_i,
                    "\nClick and Enter key in the 4 points of the Image i:");
  collectFourPoints(kWindowJ, copy_j, points_j,
                    "\nClick and Enter key in the 4 points of the Image j:");

  cv::Mat H;
  if (InGeneralPosition(points_i) && InGeneralPosition(points_j)) {
    const std::vector<cv::Point2f> src(points_i.begin(), points_i.end());
    const std::vector<cv::Point2f> dst(points_j.begin(), points_j.end());
    H = FitHomography(cv::Mat(src), cv::Mat(dst), kLeastSquaresFit);
  }
  if (FitsAllPairs(H, points_i, points_j)) {
    Hij = H;
  } else {
    // Repeated or collinear clicks (a key pressed without a click) admit no
    // homography; the identity keeps the caller's chain products meaningful.
    operator_->Out("\nNo homography from the 4 points: identity used...");
    Hij = cv::Mat::eye(3, 3, CV_64F);
  }
}
