// The panorama canvas while it is built: growth in the reference plane,
// nearest-pixel inverse-mapping fill, Gaussian-weighted accumulation, and the
// mean and median panoramas.
//
// Canvas pixel (column c, row r) shows reference-plane point
// (c + minposAcum_x, r + minposAcum_y). H_RefToFrame maps reference-plane
// points to frame pixels; H_FrameToRef is its inverse.
#pragma once

#include <cstdint>
#include <functional>
#include <opencv2/core.hpp>
#include <vector>

#include "io/operator.hpp"

class Composition {
 public:
  int minposAcum_x = 0;  // reference-plane x of canvas column 0 (<= 0)
  int minposAcum_y = 0;  // reference-plane y of canvas row 0 (<= 0)
  int minpos_x = 0;      // left edge of the current frame in old canvas columns
  int minpos_y = 0;      // top edge of the current frame in old canvas rows
  int pano_imageW = 0;
  int pano_imageH = 0;
  int new_imageW = 0;
  int new_imageH = 0;
  int ban_initSize = 1;         // 1 until the first frame of a composition is added
  float Alpha_Blending = 0.0f;  // weight of the existing pixel in the preview blend
  cv::Mat newPano;              // grown canvas preview (8UC3)
  cv::Mat newMask;              // grown canvas coverage (8UC1, 255 covered)
  cv::Mat mask;                 // current canvas coverage
  cv::Mat panoAcum;             // current weighted colour sum (64FC3)
  cv::Mat newPanoAcum;          // grown weighted colour sum
  cv::Mat weightsAcum;          // current weight sum (64FC1)
  cv::Mat newWeightsAcum;       // grown weight sum
  cv::Mat weights;              // Gaussian weight per frame pixel (64FC1)

  // Bound on canvas growth: a frame that would make the canvas wider or
  // taller than kMaxCanvasSide pixels, or larger than kMaxCanvasArea pixels,
  // is skipped (its homography is degenerate for any real survey). At the
  // bound the canvas layers (preview 3 B, mask 1 B, sums 24 + 8 B per pixel,
  // current and grown) take about 64 Mpx x 72 B = 4.6 GB.
  static constexpr int kMaxCanvasSide = 32768;
  static constexpr std::int64_t kMaxCanvasArea = 64'000'000;
  // A canvas pixel is covered (by the canvas, or by a key frame's fill in
  // the median) where its mask value is at or above this.
  static constexpr unsigned char kCoveredMask = 128;
  // A key frame of the median: its image (a shared header, not a copy) and
  // H_RefToFrame (reference plane -> frame pixels) with its inverse.
  struct MedianFrame {
    cv::Mat image;
    cv::Mat H_RefToFrame;
    cv::Mat H_FrameToRef;
  };
  // The median's queue of key frames, in composition order (reference
  // first): AddMedianFrame shares image and copies the homographies (the
  // caller's scratch matrices are reused); ComposeQueuedMedian composes them
  // with computeMedianPanoramaInStrips and empties the queue.
  void AddMedianFrame(const cv::Mat& image, const cv::Mat& H_RefToFrame,
                      const cv::Mat& H_FrameToRef);
  void ClearMedianFrames() { medianFrames.clear(); }
  void ComposeQueuedMedian(cv::Mat* out, int margin, int width, int height, int cols, int rows,
                           std::int64_t budgetBytes);
  // Bytes of a median strip per canvas pixel per key frame: image (3) + mask (1).
  static constexpr std::int64_t kMedianStripBytesPerPixel = 4;
  // Called with a key frame's image once a median strip has read it (the key
  // frames' store drops the pages the read brought in).
  std::function<void(const cv::Mat&)> afterFrameRead;

  Composition() = default;
  ~Composition();

  // Where the note about a skipped key frame goes (silent until set; the
  // operator must outlive this object's use).
  void setOperator(io::Operator& op) { operator_ = &op; }

  void set_InitValues();

  // Dispatch on warpingMode: 0 two-image mode, 1 growing canvas; returns
  // false when the frame was skipped because the canvas would exceed its bound.
  bool Warping(cv::Mat* pano, cv::Mat refImage, cv::Mat frameImage, cv::Mat H_RefToFrame,
               cv::Mat H_FrameToRef, int colourMode, int warpingMode, float alpha, int width,
               int height);
  bool WarpAutomaticSizeOfPanorama(cv::Mat* pano, cv::Mat refImage, cv::Mat frameImage,
                                   cv::Mat H_RefToFrame, cv::Mat H_FrameToRef, int colourMode,
                                   int width, int height);
  // The reference-plane rectangle the canvas ends as when key frames placed
  // by framesToRef (H_FrameToRef, in the order they are added) are added to
  // a width x height reference, those the canvas bound refuses left out.
  static cv::Rect PlanCanvas(const std::vector<cv::Mat>& framesToRef, int width, int height);
  // The canvas a composition is known to reach (reference plane; empty when
  // unknown, as set_InitValues leaves it): the layers are then allocated once
  // with room for all of it instead of growing with spare room, which at 4K
  // held the canvas twice over. Growth beyond it takes spare room as before;
  // the pixels are the same either way.
  cv::Rect plannedCanvas;

  // The first step of a composition: the canvas starts as the reference
  // frame (when *pano is empty, or is not a frame-sized canvas with matching
  // sums) with its weights accumulated, and ban_initSize becomes 0. WarpAutomaticSizeOfPanorama
  // runs it for the first frame added; the walk calls it alone when the reference is the tree root.
  void StartCanvas(cv::Mat* pano, cv::Mat refImage, int width, int height);
  // Sets minpos_x, minpos_y, new_imageW, new_imageH for the frame.
  void CalculateNewSizeOfPanorama(cv::Mat H_FrameToRef, int width, int height);
  void CopyPanToNewPan(cv::Mat* pano);
  void FillNewPan_RGB(cv::Mat frameImage, cv::Mat H_RefToFrame, int margin, int width, int height);
  void FillNewPan_Gray(cv::Mat frameImage, cv::Mat H_RefToFrame, int margin, int width, int height);
  void FillNewPan_RGB_FPano(cv::Mat fpano, cv::Mat fmask, cv::Mat frameImage, cv::Mat H_RefToFrame,
                            cv::Mat H_FrameToRef, int margin, int width, int height, int cols,
                            int rows);
  // Strip form: fpano and fmask hold canvas rows [rowBegin, rowEnd) (their
  // row 0 is canvas row rowBegin); those rows receive exactly what the full
  // form writes into them on a cols x rows canvas.
  void FillNewPan_RGB_FPano(cv::Mat fpano, cv::Mat fmask, cv::Mat frameImage, cv::Mat H_RefToFrame,
                            cv::Mat H_FrameToRef, int margin, int width, int height, int cols,
                            int rows, int rowBegin, int rowEnd);
  // Canvas rows [start, end) outside which FillNewPan_RGB_FPano writes nothing
  // for this frame on a cols x rows canvas (empty when it writes nothing).
  cv::Range FPanoRows(const cv::Mat& H_RefToFrame, const cv::Mat& H_FrameToRef, int margin,
                      int width, int height, int cols, int rows) const;
  void WarpPerspective(cv::Mat* pano, cv::Mat refImage, cv::Mat frameImage, cv::Mat H_RefToFrame,
                       int width, int height);
  void releaseImages();

  // Weights, mean and median.
  void InitializeWeights(int width, int height);
  void MultiplyByWeights(cv::Mat* image, cv::Mat weights, int width, int height);
  void computeMeanPanorama(cv::Mat* out);
  void copyWeightsToImage(cv::Mat* out);
  void computeMedianPanorama(cv::Mat* out, std::vector<cv::Mat> images, std::vector<cv::Mat> masks);
  // The same median as computeMedianPanorama over the frames' full-canvas
  // fills (margin as given, frames in list order), composed in horizontal
  // strips so that only one strip's fills are held at a time: stripRows rows
  // per strip, or, when stripRows <= 0, as many as keep the fills of the
  // frames crossing any strip within budgetBytes (at least one row).
  void computeMedianPanoramaInStrips(cv::Mat* out, const std::vector<MedianFrame>& frames,
                                     int margin, int width, int height, int cols, int rows,
                                     std::int64_t budgetBytes, int stripRows = 0);

  // Sum of the distances each frame corner moves under H (integer mapping).
  // pano is not used.
  float CalculateReprojectionDistance_4Corners(cv::Mat* pano, cv::Mat H, int width, int height);

 private:
  // A canvas of w x h pixels is positive and within kMaxCanvasSide / kMaxCanvasArea.
  static bool CanvasWithinBound(int w, int h);
  // Points newPano, newMask, newPanoAcum, newWeightsAcum at the grown canvas:
  // in place inside the spare room of the layers when the current canvas is
  // the one the last step left there (returns true, nothing to copy), else in
  // freshly allocated, zeroed layers with spare room around (returns false).
  bool GrowInPlace(const cv::Mat* pano, bool colour);
  void AllocateWithSpareRoom(bool colour);
  // Zeroed layers of roomW x roomH with the grown canvas at (left, top).
  void AllocateRoom(bool colour, int roomW, int roomH, int left, int top);

  // The canvas layers with spare room around them, so that growth is
  // amortised like a vector's; the public layers are views of canvasArea
  // within them. Outside the view they stay zero.
  cv::Mat roomPano, roomMask, roomPanoAcum, roomWeightsAcum;
  cv::Rect canvasArea;
  io::Operator* operator_ = &io::SilentOperator();
  std::vector<MedianFrame> medianFrames;
};

// Integer part of a weighted average (0 without weight), kept within 8 bits:
// a mean canvas pixel from its weighted sum.
unsigned char TruncatedMean(double sum, double weight);

// Median of an ascending, non-empty list; the floor of the mean of the two
// middle values for an even count.
unsigned char get_median(const std::vector<unsigned char>& values);

// Index of the lowest score; the first on ties; a NaN is never taken, except
// when it stands at index 0 and is never replaced.
// An empty list gives -1.
int ChooseReferenceIndex(const std::vector<float>& scores);
