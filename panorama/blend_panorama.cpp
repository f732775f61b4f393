// The blended mosaic (--blend): the key frames the mean composed, placed as
// for the mean, blended on the mean's canvas.
#include <vector>

#include "composition/blend.hpp"
#include "panorama/panorama.hpp"

void Panorama::ComposeBlendedPanorama() {
  if (Node_PanoReference == nullptr) {
    pano_Blend.release();
    return;
  }
  ComposeBlendedPanorama(PlacedKeyFrames());
}

void Panorama::ComposeBlendedPanorama(const Placements& placements) {
  pano_Blend.release();
  if (pano.empty() || Node_PanoReference == nullptr)
    return;
  std::vector<blend::Frame> frames;
  for (const PlacedKeyFrame& keyFrame : placements) {
    if (canvasSkippedIds.count(keyFrame.id) != 0)
      continue;
    frames.push_back(blend::Frame{keyFrame.image, cv::Matx33d(keyFrame.H_FrameToRef)});
  }
  const blend::Canvas canvas{pano.size(),
                             cv::Point(composition.minposAcum_x, composition.minposAcum_y)};
  pano_Blend = blend::BlendMosaic(frames, canvas);
}
