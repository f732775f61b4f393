// Registration on scaled-down frames, composition at full resolution: once
// the tree is built, its key frames take their full-resolution frames and
// its links are carried over to full-resolution pixels.
#include <memory>

#include "panorama/panorama.hpp"

cv::Mat ScaleConjugate(const cv::Mat& H_Small, cv::Size small, cv::Size full) {
  // Small pixels are D times full pixels, so a map between small frames is
  // D^-1 H D between full ones. The ratios are per axis, as the sizes were
  // rounded.
  const double sx = static_cast<double>(small.width) / full.width;
  const double sy = static_cast<double>(small.height) / full.height;
  const cv::Matx33d D(sx, 0, 0, 0, sy, 0, 0, 0, 1);
  const cv::Matx33d DInverse(1 / sx, 0, 0, 0, 1 / sy, 0, 0, 0, 1);
  cv::Mat H;
  H_Small.convertTo(H, CV_64F);
  return cv::Mat(DInverse * cv::Matx33d(H) * D);
}

void Panorama::UseFullResolutionKeyFrames(const std::vector<cv::Mat>& fullFrames) {
  CV_Assert(fullFrames.size() == Vect_Nodes.size());
  if (fullFrames.empty())
    return;
  const cv::Size small(imageW, imageH), full = fullFrames.front().size();
  for (_treeNode* node : Vect_Nodes) {
    const cv::Mat& frame = fullFrames[static_cast<size_t>(node->id - 1)];
    CV_Assert(frame.size() == full && frame.type() == node->image->type());
    node->image = std::make_unique<cv::Mat>(frame);
    if (node->H_ParentToNode != nullptr && !node->H_ParentToNode->empty())
      *node->H_ParentToNode = ScaleConjugate(*node->H_ParentToNode, small, full);
    // Features are in small pixels and no longer matched.
    node->Corners.reset();
    node->SIFT_Features.reset();
    node->SIFT_Descriptors.reset();
  }
  for (cv::Mat& H : Vect_H)
    H = ScaleConjugate(H, small, full);
  imageW = full.width;
  imageH = full.height;
}
