#include "panorama/panorama.hpp"

#include <unistd.h>

#include <cstdio>
#include <opencv2/imgcodecs.hpp>
#include <string>

#include "geometry/ncc_validation.hpp"

namespace {

// Writes image to name through a temporary file in the same directory and a
// rename, so a crash or interruption never leaves a truncated file behind.
bool WriteImageAtomically(const cv::Mat& image, const std::string& name) {
  const std::string temporary = Panorama::TemporaryNameFor(name);
  bool written = false;
  try {
    written = cv::imwrite(temporary, image);
  } catch (const cv::Exception&) {
    written = false;
  }
  if (written && std::rename(temporary.c_str(), name.c_str()) == 0) return true;
  std::remove(temporary.c_str());
  std::fprintf(stderr, "vmosaic: could not write %s\n", name.c_str());
  return false;
}

}  // namespace

Panorama::Panorama()
    : H_Accumulated(cv::Mat::zeros(3, 3, CV_64F)),
      H_Aux(cv::Mat::zeros(3, 3, CV_64F)),
      H_Insert(cv::Mat::zeros(3, 3, CV_64F)),
      H_Rotation_A(cv::Mat::zeros(3, 3, CV_64F)),
      H_Rotation_B(cv::Mat::zeros(3, 3, CV_64F)) {}

Panorama::~Panorama() { releaseImages(); }

void Panorama::ProcessTwoImages_AVL(cv::Mat previous, cv::Mat current, float overlapThreshold,
                                    int featureMethod) {
  CV_Assert(!previous.empty() && !current.empty());
  imageW = previous.cols;
  imageH = previous.rows;
  Threshold_Overlap = overlapThreshold;
  Id_Features = featureMethod;
  CalculateFeatureExtractionMatching(previous, current);
  CreateAVLBinaryTree_Vlist_AdjustH(previous, current);
}

void Panorama::releaseImages() {
  if (!pano.empty()) pano.release();
  if (!pano_Weights.empty()) pano_Weights.release();
}

std::string Panorama::TemporaryNameFor(const std::string& name) {
  return "." + name + ".tmp" + std::to_string(getpid()) + ".png";
}

bool Panorama::Save_PanoNew() {
  bool ok = true;
  if (!pano.empty()) ok = WriteImageAtomically(pano, "pano_Mean.png") && ok;
  if (!pano_Median.empty()) ok = WriteImageAtomically(pano_Median, "pano_Median.png") && ok;
  if (!pano_Blend.empty()) ok = WriteImageAtomically(pano_Blend, "pano_Blend.png") && ok;
  return ok;
}

float Panorama::CalculateOverlapPercentage(cv::Mat H, int width, int height) {
  return geometry::CalculateOverlapPercentage(H, width, height);
}

geometry::OverlapPolygon Panorama::setPolygon(std::vector<geometry::OverlapPoint> ring) {
  return geometry::setPolygon(ring);
}

float Panorama::getUnionArea(geometry::OverlapPolygon a, geometry::OverlapPolygon b) {
  return geometry::getUnionArea(a, b);
}

float Panorama::getIntersectionArea(geometry::OverlapPolygon a, geometry::OverlapPolygon b) {
  return geometry::getIntersectionArea(a, b);
}

float Panorama::getPercentage(float unionArea, float intersectionArea) {
  return geometry::getPercentage(unionArea, intersectionArea);
}

void Panorama::ValidateCorrespondences_NCC(std::vector<cv::Point2f>* outKey,
                                           std::vector<cv::Point2f>* outCur, cv::Mat H,
                                           cv::Mat keyImage, cv::Mat curImage) {
  CV_Assert(Node_Reference != nullptr);
  const std::vector<cv::Point2f> none;
  const std::vector<cv::Point2f>& reference =
      Node_Reference->Corners ? *Node_Reference->Corners : none;
  const std::vector<cv::Point2f> candidates =
      featureMatching.getPointerCorners_j() ? featureMatching.getCorners_j() : none;
  geometry::ValidateCorrespondences_NCC(reference, candidates, outKey, outCur, H, keyImage,
                                        curImage, imageW, imageH);
}

void Panorama::ValidateCorrespondencesKeyPoints_NCC(std::vector<cv::KeyPoint>* outKey,
                                                    std::vector<cv::KeyPoint>* outCur,
                                                    cv::Mat H, cv::Mat keyImage,
                                                    cv::Mat curImage) {
  CV_Assert(Node_Reference != nullptr);
  const std::vector<cv::KeyPoint> none;
  const std::vector<cv::KeyPoint>& reference =
      Node_Reference->SIFT_Features ? *Node_Reference->SIFT_Features : none;
  geometry::ValidateCorrespondencesKeyPoints_NCC(reference, featureMatching.getSIFT_Features_j(),
                                                 outKey, outCur, H, keyImage, curImage, imageW,
                                                 imageH);
}
