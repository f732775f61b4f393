#include "panorama/panorama.hpp"

void Panorama::CalculateFeatureExtractionMatching(cv::Mat /*previous*/, cv::Mat /*current*/) {}
