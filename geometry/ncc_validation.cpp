#include "geometry/ncc_validation.hpp"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "geometry/homography_mapping.hpp"

float NormalizedCrossCorrelation(const cv::Mat& patchA, const cv::Mat& patchB) {
  CV_Assert(patchA.type() == CV_8UC3 && patchB.type() == CV_8UC3 && patchA.size() == patchB.size());
  // RGB2GRAY on BGR data on purpose: the red weight goes to the first
  // channel. Changing it would change which candidates win.
  cv::Mat greyA;
  cv::Mat greyB;
  cv::cvtColor(patchA, greyA, cv::COLOR_RGB2GRAY);
  cv::cvtColor(patchB, greyB, cv::COLOR_RGB2GRAY);
  cv::Mat a;
  cv::Mat b;
  greyA.convertTo(a, CV_32F, 1.0, 0.0);
  greyB.convertTo(b, CV_32F, 1.0, 0.0);

  const double n = static_cast<double>(a.rows) * a.cols;
  cv::Scalar meanA;
  cv::Scalar sigmaA;
  cv::Scalar meanB;
  cv::Scalar sigmaB;
  cv::meanStdDev(a, meanA, sigmaA);
  cv::meanStdDev(b, meanB, sigmaB);

  a -= meanA[0];
  b -= meanB[0];
  const double covariance = a.dot(b) / n;
  // A patch without contrast gives 0 / 0 = NaN, which never beats a score.
  return static_cast<float>(covariance / (sigmaA[0] * sigmaB[0]));
}

namespace geometry {
namespace {

constexpr int kWindowSize = 9;                // pixels, patch side
constexpr int kHalfWindow = kWindowSize / 2;  // pixels, also the border margin
constexpr int kInitialSearchRadius = 10;      // pixels
constexpr float kStartingBestScore = 0.0f;    // a partner must correlate better

cv::Point2f PositionOf(const cv::Point2f& p) {
  return p;
}
cv::Point2f PositionOf(const cv::KeyPoint& k) {
  return k.pt;
}

// Strictly inside the margin, compared in single precision.
bool IsInside(cv::Point2f p, int imageW, int imageH) {
  const float margin = static_cast<float>(kHalfWindow);
  return margin < p.x && p.x < static_cast<float>(imageW - kHalfWindow) && margin < p.y &&
         p.y < static_cast<float>(imageH - kHalfWindow);
}

// The window x kWindowSize patch whose top-left corner is the position minus
// the half window, truncated toward zero. The size is fixed rather than
// derived from trunc(p + 4) - trunc(p - 4) + 1: in float that difference is 9
// except just below 8, where p + 4 rounds up to 12 and the patch would be 10
// wide and could leave the image. For an inside position the patch lies
// within the image.
cv::Mat PatchAt(const cv::Mat& image, cv::Point2f p) {
  const float half = static_cast<float>(kHalfWindow);
  const cv::Rect window(static_cast<int>(p.x - half), static_cast<int>(p.y - half), kWindowSize,
                        kWindowSize);
  return image(window);
}

// Inside candidates bucketed by position, so that a search visits only those
// that can lie within the initial radius. A cell is wider than that radius
// plus a pixel of slack, so the 3 x 3 cells around a prediction hold every
// candidate within the radius (distances are compared in single precision).
class CandidateGrid {
 public:
  static constexpr int kCellPx = kInitialSearchRadius + 2;

  template <typename Feature>
  CandidateGrid(const std::vector<Feature>& candidates, int imageW, int imageH)
      : cols_(imageW / kCellPx + 1),
        rows_(imageH / kCellPx + 1),
        cells_(static_cast<std::size_t>(cols_) * rows_) {
    for (std::size_t k = 0; k < candidates.size(); ++k) {
      const cv::Point2f c = PositionOf(candidates[k]);
      if (!IsInside(c, imageW, imageH))
        continue;
      cells_[Cell(static_cast<int>(c.x) / kCellPx, static_cast<int>(c.y) / kCellPx)].push_back(k);
    }
  }

  // Indices of the candidates in the cells around q, ascending (list order).
  void Near(cv::Point2f q, std::vector<std::size_t>* out) const {
    out->clear();
    if (!(std::abs(q.x) < kFar && std::abs(q.y) < kFar))
      return;
    const int cx = static_cast<int>(std::floor(q.x / kCellPx));
    const int cy = static_cast<int>(std::floor(q.y / kCellPx));
    for (int y = std::max(0, cy - 1); y <= std::min(rows_ - 1, cy + 1); ++y) {
      for (int x = std::max(0, cx - 1); x <= std::min(cols_ - 1, cx + 1); ++x) {
        const std::vector<std::size_t>& cell = cells_[Cell(x, y)];
        out->insert(out->end(), cell.begin(), cell.end());
      }
    }
    std::sort(out->begin(), out->end());
  }

 private:
  static constexpr float kFar = 1e7f;  // pixels; farther predictions find nothing
  std::size_t Cell(int x, int y) const { return static_cast<std::size_t>(y) * cols_ + x; }
  int cols_;
  int rows_;
  std::vector<std::vector<std::size_t>> cells_;
};

// Pairs every inside reference feature with the best-correlated unused inside
// candidate near its prediction through H (key image onto current image).
// Candidates are examined in list order only while they shrink the search
// radius; earlier reference features choose first.
template <typename Feature>
void ValidateByNcc(const std::vector<Feature>& referenceFeatures,
                   const std::vector<Feature>& candidates, std::vector<Feature>* outKey,
                   std::vector<Feature>* outCur, const cv::Mat& H, const cv::Mat& keyImage,
                   const cv::Mat& curImage, int imageW, int imageH) {
  CV_Assert(outKey != nullptr && outCur != nullptr);
  CV_Assert(H.rows == 3 && H.cols == 3 && H.type() == CV_64F);
  CV_Assert(keyImage.type() == CV_8UC3 && curImage.type() == CV_8UC3);
  CV_Assert(keyImage.cols == imageW && keyImage.rows == imageH && curImage.cols == imageW &&
            curImage.rows == imageH);

  std::vector<char> used(candidates.size(), 0);
  const CandidateGrid grid(candidates, imageW, imageH);
  std::vector<std::size_t> near;
  for (const Feature& reference : referenceFeatures) {
    const cv::Point2f p = PositionOf(reference);
    if (!IsInside(p, imageW, imageH))
      continue;
    const cv::Point2f q = ApplyHomography(H, p);
    const cv::Mat referencePatch = PatchAt(keyImage, p);

    float best = kStartingBestScore;
    int radius = kInitialSearchRadius;
    std::size_t partner = candidates.size();  // none
    // Candidates outside the grid's cells around q are at least the initial
    // radius away and would fail the radius test; the rest go in list order.
    grid.Near(q, &near);
    for (const std::size_t k : near) {
      const cv::Point2f c = PositionOf(candidates[k]);
      if (used[k])
        continue;
      const float d = twoPointDistance(q, c);
      // Also false for a NaN distance (a prediction that went to infinity).
      if (!(static_cast<float>(radius) > d))
        continue;
      const float score = NormalizedCrossCorrelation(referencePatch, PatchAt(curImage, c));
      if (score > best) {
        best = score;
        partner = k;
      }
      radius = static_cast<int>(d);
    }

    if (partner == candidates.size())
      continue;
    used[partner] = 1;
    outKey->push_back(reference);
    outCur->push_back(candidates[partner]);
  }
}

}  // namespace

void ValidateCorrespondences_NCC(const std::vector<cv::Point2f>& referenceFeatures,
                                 const std::vector<cv::Point2f>& candidates,
                                 std::vector<cv::Point2f>* outKey, std::vector<cv::Point2f>* outCur,
                                 const cv::Mat& H, const cv::Mat& keyImage, const cv::Mat& curImage,
                                 int imageW, int imageH) {
  ValidateByNcc(referenceFeatures, candidates, outKey, outCur, H, keyImage, curImage, imageW,
                imageH);
}

void ValidateCorrespondencesKeyPoints_NCC(const std::vector<cv::KeyPoint>& referenceFeatures,
                                          const std::vector<cv::KeyPoint>& candidates,
                                          std::vector<cv::KeyPoint>* outKey,
                                          std::vector<cv::KeyPoint>* outCur, const cv::Mat& H,
                                          const cv::Mat& keyImage, const cv::Mat& curImage,
                                          int imageW, int imageH) {
  ValidateByNcc(referenceFeatures, candidates, outKey, outCur, H, keyImage, curImage, imageW,
                imageH);
}

}  // namespace geometry
