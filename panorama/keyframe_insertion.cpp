#include "panorama/panorama.hpp"

void Panorama::CreateAVLBinaryTree_Vlist_AdjustH(cv::Mat /*previous*/, cv::Mat /*current*/) {
  ban_insert = 1;
}
