#include "composition/composition.hpp"
#include "geometry/homography_mapping.hpp"

float Composition::CalculateReprojectionDistance_4Corners(cv::Mat* /*pano*/, cv::Mat H, int width,
                                                          int height) {
  CV_Assert(H.rows == 3 && H.cols == 3 && H.type() == CV_64F);
  const cv::Mat entries = H.isContinuous() ? H : H.clone();
  const double* h = entries.ptr<double>();
  const cv::Point corners[4] = {{0, 0}, {width - 1, 0}, {width - 1, height - 1}, {0, height - 1}};
  float sum = 0.0f;
  for (const cv::Point& p : corners) {
    cv::Point q;
    ApplyHomography(&q.x, &q.y, p.x, p.y, h);
    sum += EuclidianDistance(static_cast<float>(q.x), static_cast<float>(q.y),
                             static_cast<float>(p.x), static_cast<float>(p.y));
  }
  return sum;
}

int ChooseReferenceIndex(const std::vector<float>& scores) {
  if (scores.empty())
    return -1;
  float best = scores[0];
  int index = 0;
  for (size_t i = 1; i < scores.size(); ++i) {
    // Strict comparison: ties keep the lowest index, and a NaN never wins
    // (nor is one at index 0 ever replaced).
    if (best > scores[i]) {
      best = scores[i];
      index = static_cast<int>(i);
    }
  }
  return index;
}
