#include "geometry/ncc_validation.hpp"

// Placeholder bodies until the validation lands.
namespace geometry {
void ValidateCorrespondences_NCC(const std::vector<cv::Point2f>&, const std::vector<cv::Point2f>&,
                                 std::vector<cv::Point2f>*, std::vector<cv::Point2f>*,
                                 const cv::Mat&, const cv::Mat&, const cv::Mat&, int, int) {}
void ValidateCorrespondencesKeyPoints_NCC(const std::vector<cv::KeyPoint>&,
                                          const std::vector<cv::KeyPoint>&,
                                          std::vector<cv::KeyPoint>*, std::vector<cv::KeyPoint>*,
                                          const cv::Mat&, const cv::Mat&, const cv::Mat&, int,
                                          int) {}
}  // namespace geometry
