#include "panorama/panorama.hpp"

#include <cstdio>
#include <string>
#include <utility>

#include "geometry/ncc_validation.hpp"
#include "io/output_file.hpp"

Panorama::Panorama() : Panorama(io::SilentOperator()) {}

Panorama::Panorama(io::Operator& op)
    : H_Accumulated(cv::Mat::zeros(3, 3, CV_64F)),
      H_Aux(cv::Mat::zeros(3, 3, CV_64F)),
      H_Insert(cv::Mat::zeros(3, 3, CV_64F)),
      H_Rotation_A(cv::Mat::zeros(3, 3, CV_64F)),
      H_Rotation_B(cv::Mat::zeros(3, 3, CV_64F)),
      operator_(&op) {
  setOperator(op);
}

_treeNode* Panorama::AdoptNode(std::unique_ptr<_treeNode> node) {
  ownedNodes.push_back(std::move(node));
  return ownedNodes.back().get();
}

void Panorama::setOperator(io::Operator& op) {
  operator_ = &op;
  cameraMotion.setOperator(op);
  composition.setOperator(op);
}

Panorama::~Panorama() {
  releaseImages();
}

void Panorama::ProcessTwoImages_AVL(cv::Mat previous, cv::Mat current, float overlapThreshold,
                                    int featureMethod) {
  RegisterPair(previous, current, overlapThreshold, featureMethod);
  CreateAVLBinaryTree_Vlist_AdjustH(previous, current);
}

void Panorama::releaseImages() {
  if (!pano.empty())
    pano.release();
  if (!pano_Weights.empty())
    pano_Weights.release();
}

bool Panorama::Save_PanoNew(const std::string& directory, std::vector<std::string>* written,
                            const std::string& suffix) {
  return SaveMosaics(directory, suffix + ".png", io::WriteImageAtomically, written);
}

bool Panorama::SaveMosaics(const std::string& directory, const std::string& ending,
                           const MosaicWriter& write, std::vector<std::string>* written) {
  const std::pair<const cv::Mat*, const char*> results[] = {
      {&pano, "pano_Mean"}, {&pano_Median, "pano_Median"}, {&pano_Blend, "pano_Blend"}};
  bool ok = true;
  for (const auto& [image, kind] : results) {
    if (image->empty())
      continue;
    const std::string name = kind + ending;
    const std::string path = directory.empty() ? name : directory + "/" + name;
    std::string error;
    if (write(path, *image, &error)) {
      if (written != nullptr)
        written->push_back(path);
    } else {
      operator_->Err(io::Format("vmosaic: could not write %s: %s\n", path.c_str(), error.c_str()));
      ok = false;
    }
  }
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
                                                    std::vector<cv::KeyPoint>* outCur, cv::Mat H,
                                                    cv::Mat keyImage, cv::Mat curImage) {
  CV_Assert(Node_Reference != nullptr);
  const std::vector<cv::KeyPoint> none;
  const std::vector<cv::KeyPoint>& reference =
      Node_Reference->SIFT_Features ? *Node_Reference->SIFT_Features : none;
  geometry::ValidateCorrespondencesKeyPoints_NCC(reference, featureMatching.getSIFT_Features_j(),
                                                 outKey, outCur, H, keyImage, curImage, imageW,
                                                 imageH);
}
