// The mean in tiles (--format tif): the key frames in the whole-canvas
// walk's order, with the walk's homographies, so each tile holds the bytes
// the whole canvas would.
#include <algorithm>

#include "composition/tiled_mean.hpp"
#include "geometry/homography_mapping.hpp"
#include "panorama/panorama.hpp"

bool Panorama::ComposeMeanInTiles(
    const Placements& placements, int tileSize, const std::function<bool(cv::Size)>& open,
    const std::function<bool(const cv::Rect&, const cv::Mat&, const cv::Mat&)>& put) {
  _treeNode* reference = Node_PanoReference;
  CV_Assert(reference != nullptr && tileSize > 0);
  composedFrameToRef.clear();
  for (const PlacedKeyFrame& k : placements)
    composedFrameToRef[k.id] = k.H_FrameToRef.clone();
  operator_->Out("\nMean Pano...");
  canvasSkippedIds.clear();
  pano.release();
  const std::vector<_treeNode*> frames = KeyFramesInWalkOrder(reference);
  TiledMean tiled(imageW, imageH, *operator_);
  for (size_t i = 1; i < frames.size(); ++i) {
    // As the whole-canvas walk places a key frame.
    const cv::Mat* placed = ComposedPlacement(frames[i]->id);
    const cv::Mat refToFrame =
        placed == nullptr ? HomographyBetween(reference, frames[i]) : InverseHomography(*placed);
    cv::Mat frameToRef;
    cv::invert(refToFrame, frameToRef, cv::DECOMP_LU);
    if (!tiled.Add(refToFrame, frameToRef))
      canvasSkippedIds.insert(frames[i]->id);
  }
  composition.set_InitValues();
  composition.minposAcum_x = tiled.Origin().x;
  composition.minposAcum_y = tiled.Origin().y;
  tiledCanvas = tiled.CanvasSize();
  if (!open(tiledCanvas))
    return false;
  cv::Mat mean, coverage;
  for (int y = 0; y < tiledCanvas.height; y += tileSize) {
    for (int x = 0; x < tiledCanvas.width; x += tileSize) {
      const cv::Rect tile(x, y, std::min(tileSize, tiledCanvas.width - x),
                          std::min(tileSize, tiledCanvas.height - y));
      tiled.ComposeTile(
          tile, *reference->image, [&](size_t i) { return *frames[i]->image; },
          [&](size_t i) { frameStore.Release(*frames[i]->image); }, &mean, &coverage);
      frameStore.Release(*reference->image);
      if (!put(tile, mean, coverage))
        return false;
    }
  }
  return true;
}
