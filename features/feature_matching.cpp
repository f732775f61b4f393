#include "features/feature_matching.hpp"

FeatureMatching::FeatureMatching() : BF_Matcher(cv::NORM_L2, false) {}

std::vector<cv::Point2f> FeatureMatching::getCorners_j() const { return *Corners_j; }
