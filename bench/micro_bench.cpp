// Micro-benchmarks of the hot spots, on frames rendered from the bundled
// photo with known homographies. Only the stage call is timed.
#include <benchmark/benchmark.h>

#include <memory>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>
#include <vector>

#include "composition/composition.hpp"
#include "features/corner_detection.hpp"
#include "features/exact_knn.hpp"
#include "features/feature_extraction.hpp"
#include "features/feature_matching.hpp"
#include "features/lk_tracker.hpp"
#include "geometry/homography_mapping.hpp"
#include "geometry/ncc_validation.hpp"
#include "panorama/panorama.hpp"
#include "tools/render/scene_renderer.hpp"

namespace {

const cv::Size kFrame(640, 480);
constexpr int kPanFrames = 24;
constexpr double kPanStepPx = 40.0;  // photo pixels between consecutive frames

// A rendered pan: the frames and each frame's photo-to-frame homography.
struct Pan {
  std::vector<cv::Mat> frames;
  std::vector<cv::Matx33d> photoToFrame;
};

const Pan& RenderedPan() {
  static const Pan pan = [] {
    Pan p;
    const cv::Mat photo = render::LoadPhoto("lake_boats_2560x1600.jpg");
    CV_Assert(!photo.empty());
    for (int i = 0; i < kPanFrames; ++i) {
      render::CameraPose pose;
      pose.centreX = 500.0 + kPanStepPx * i;
      pose.centreY = 800.0 + 2.0 * i;
      pose.angle = 0.002 * i;
      const cv::Matx33d H = render::PhotoToFrame(pose, kFrame);
      cv::Mat frame = render::RenderFrame(photo, H, kFrame);
      render::AddNoise(frame, 1.0, 11 + static_cast<uint64_t>(i));
      p.frames.push_back(frame);
      p.photoToFrame.push_back(H);
    }
    return p;
  }();
  return pan;
}

// H(frame 0 -> frame i): the reference plane is frame 0's.
cv::Mat RefToFrame(int i) {
  const Pan& pan = RenderedPan();
  return cv::Mat(
      render::FrameToFrame(pan.photoToFrame[0], pan.photoToFrame[static_cast<size_t>(i)]));
}

void BM_ApplyHomographyInteger(benchmark::State& state) {
  const cv::Mat H = RefToFrame(5);
  const double* h = H.ptr<double>();
  for (auto _ : state) {
    long sum = 0;
    for (int r = 0; r < kFrame.height; ++r) {
      for (int c = 0; c < kFrame.width; ++c) {
        int x = 0, y = 0;
        ApplyHomography(&x, &y, c, r, h);
        sum += x + y;
      }
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kFrame.area());
}
BENCHMARK(BM_ApplyHomographyInteger)->Unit(benchmark::kMillisecond);

// The mean composition of the whole pan: items are frame pixels composed.
void BM_CanvasFillPan(benchmark::State& state) {
  const Pan& pan = RenderedPan();
  std::vector<cv::Mat> refToFrame, frameToRef;
  for (int i = 0; i < kPanFrames; ++i) {
    refToFrame.push_back(RefToFrame(i));
    frameToRef.push_back(refToFrame.back().inv(cv::DECOMP_LU));
  }
  for (auto _ : state) {
    Composition composition;
    cv::Mat pano;
    composition.set_InitValues();
    composition.InitializeWeights(kFrame.width, kFrame.height);
    composition.StartCanvas(&pano, pan.frames[0], kFrame.width, kFrame.height);
    for (int i = 1; i < kPanFrames; ++i) {
      composition.Warping(&pano, pan.frames[0], pan.frames[static_cast<size_t>(i)],
                          refToFrame[static_cast<size_t>(i)], frameToRef[static_cast<size_t>(i)], 1,
                          1, 0.0f, kFrame.width, kFrame.height);
    }
    cv::Mat mean;
    composition.computeMeanPanorama(&mean);
    benchmark::DoNotOptimize(mean.data);
  }
  state.SetItemsProcessed(state.iterations() * (kPanFrames - 1) * kFrame.area());
}
BENCHMARK(BM_CanvasFillPan)->Unit(benchmark::kMillisecond);

// The median of the whole pan, from per-frame canvases as the median walk
// makes them.
void BM_MedianPan(benchmark::State& state) {
  const Pan& pan = RenderedPan();
  Composition composition;
  cv::Mat pano;
  composition.set_InitValues();
  composition.InitializeWeights(kFrame.width, kFrame.height);
  composition.StartCanvas(&pano, pan.frames[0], kFrame.width, kFrame.height);
  std::vector<cv::Mat> refToFrame, frameToRef;
  for (int i = 0; i < kPanFrames; ++i) {
    refToFrame.push_back(RefToFrame(i));
    frameToRef.push_back(refToFrame.back().inv(cv::DECOMP_LU));
    if (i > 0) {
      composition.Warping(&pano, pan.frames[0], pan.frames[static_cast<size_t>(i)],
                          refToFrame.back(), frameToRef.back(), 1, 1, 0.0f, kFrame.width,
                          kFrame.height);
    }
  }
  for (auto _ : state) {
    std::vector<cv::Mat> images, masks;
    for (int i = 0; i < kPanFrames; ++i) {
      images.push_back(cv::Mat::zeros(pano.rows, pano.cols, CV_8UC3));
      masks.push_back(cv::Mat::zeros(pano.rows, pano.cols, CV_8UC1));
      composition.FillNewPan_RGB_FPano(
          images.back(), masks.back(), pan.frames[static_cast<size_t>(i)],
          refToFrame[static_cast<size_t>(i)], frameToRef[static_cast<size_t>(i)], 5, kFrame.width,
          kFrame.height, pano.cols, pano.rows);
    }
    cv::Mat median;
    composition.computeMedianPanorama(&median, images, masks);
    benchmark::DoNotOptimize(median.data);
  }
  state.SetItemsProcessed(state.iterations() * kPanFrames * kFrame.area());
}
BENCHMARK(BM_MedianPan)->Unit(benchmark::kMillisecond);

// NCC validation of one key frame: corners of frame 0 against corners of
// frame 6, predicted through the true homography.
void BM_NccValidationKeyFrame(benchmark::State& state) {
  const Pan& pan = RenderedPan();
  FeatureExtraction extraction;
  const auto key = extraction.goodFeaturesToTrack(pan.frames[0], 1, kFrame.width, kFrame.height);
  const auto cur = extraction.goodFeaturesToTrack(pan.frames[6], 1, kFrame.width, kFrame.height);
  const cv::Mat H = RefToFrame(6);
  for (auto _ : state) {
    std::vector<cv::Point2f> outKey, outCur;
    geometry::ValidateCorrespondences_NCC(key, cur, &outKey, &outCur, H, pan.frames[0],
                                          pan.frames[6], kFrame.width, kFrame.height);
    benchmark::DoNotOptimize(outKey.data());
  }
  state.counters["corners"] = static_cast<double>(key.size());
}
BENCHMARK(BM_NccValidationKeyFrame)->Unit(benchmark::kMillisecond);

// SIFT two-nearest-neighbour matching and ratio test of one 640x480 pair.
void BM_SiftKnnPair(benchmark::State& state) {
  const Pan& pan = RenderedPan();
  FeatureExtraction extraction;
  const auto kpI = extraction.SIFTFeatures(pan.frames[0]);
  const cv::Mat dI = extraction.SIFTDescriptor(kpI, pan.frames[0]);
  const auto kpJ = extraction.SIFTFeatures(pan.frames[1]);
  const cv::Mat dJ = extraction.SIFTDescriptor(kpJ, pan.frames[1]);
  FeatureMatching matching;
  for (auto _ : state) {
    matching.setSIFT_Features_i(kpI);
    matching.setSIFT_Features_j(kpJ);
    matching.setSIFT_Descriptor_i(dI);
    matching.setSIFT_Descriptor_j(dJ);
    matching.SIFTFeaturesMatching();
    benchmark::DoNotOptimize(matching.Cpoints_i.data());
  }
  state.counters["descriptors_i"] = dI.rows;
  state.counters["descriptors_j"] = dJ.rows;
}
BENCHMARK(BM_SiftKnnPair)->Unit(benchmark::kMillisecond);

// The two-nearest-neighbour search alone on the same pair: 0 the brute-force
// matcher, 1 the 16-bit AVX2 kernel, 2 the 8-bit AVX-512 VNNI kernel, 3 the
// 8-bit AMX kernel.
void BM_SiftKnnSearch(benchmark::State& state) {
  const Pan& pan = RenderedPan();
  FeatureExtraction extraction;
  const cv::Mat dI =
      extraction.SIFTDescriptor(extraction.SIFTFeatures(pan.frames[0]), pan.frames[0]);
  const cv::Mat dJ =
      extraction.SIFTDescriptor(extraction.SIFTFeatures(pan.frames[1]), pan.frames[1]);
  const exactknn::Kernel kernels[] = {exactknn::Kernel::kWidest, exactknn::Kernel::kAvx2,
                                      exactknn::Kernel::kAvx512Vnni, exactknn::Kernel::kAmxInt8};
  const int which = static_cast<int>(state.range(0));
  if (which > 0 && !exactknn::KernelAvailable(kernels[which])) {
    state.SkipWithError("kernel not available on this processor");
    return;
  }
  std::vector<std::vector<cv::DMatch>> knn;
  for (auto _ : state) {
    if (which == 0) {
      cv::BFMatcher(cv::NORM_L2, false).knnMatch(dI, dJ, knn, 2);
    } else {
      exactknn::KnnMatch2(dI, dJ, &knn, kernels[which]);
    }
    benchmark::DoNotOptimize(knn.data());
  }
}
BENCHMARK(BM_SiftKnnSearch)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Arg(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Corner detection of one grey frame with the program's parameters: first
// argument 0 cv::goodFeaturesToTrack, 1 the exact detector without wider
// instructions, 2 with AVX2; second the frame height (640x480, 1920x1080 or
// 3840x2160 rendered from the photo); third the number of threads.
void BM_CornerDetection(benchmark::State& state) {
  const corners::Kernel kernels[] = {corners::Kernel::kOpenCv, corners::Kernel::kPortable,
                                     corners::Kernel::kAvx2};
  const corners::Kernel kernel = kernels[state.range(0)];
  if (!corners::KernelAvailable(kernel)) {
    state.SkipWithError("kernel not available here");
    return;
  }
  const int height = static_cast<int>(state.range(1));
  const cv::Size size(height * 16 / 9 + (height == 480 ? -213 : 0), height);
  render::CameraPose pose;
  pose.centreX = 1280.0;
  pose.centreY = 800.0;
  pose.zoom = size.width > 2000 ? 1.5 : 1.0;
  cv::Mat frame = render::RenderFrame(render::LoadPhoto("lake_boats_2560x1600.jpg"),
                                      render::PhotoToFrame(pose, size), size);
  render::AddNoise(frame, 1.0, 5);
  cv::Mat grey;
  cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY);
  const int threadsBefore = cv::getNumThreads();
  cv::setNumThreads(static_cast<int>(state.range(2)));
  size_t found = 0;
  for (auto _ : state) {
    const auto points = corners::GoodFeaturesToTrack(grey, 5000, 0.001, 5.0, 5, kernel);
    benchmark::DoNotOptimize(points.data());
    found = points.size();
  }
  cv::setNumThreads(threadsBefore);
  state.counters["corners"] = static_cast<double>(found);
  state.SetLabel(corners::KernelName(kernel));
}
BENCHMARK(BM_CornerDetection)
    ->ArgsProduct({{0, 1, 2}, {480, 1080, 2160}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

// The corner tracker on consecutive 640x480 pairs of the pan, as corner mode
// calls it (the previous frame's corners, no initial flow): first argument 0
// cv::calcOpticalFlowPyrLK, 1 the exact tracker's AVX2 kernel, 2 its AVX-512
// kernel (both reuse the previous frame's pyramid); second argument the
// number of threads. Real time per pair, and CPU time of all threads.
void BM_TrackerPair(benchmark::State& state) {
  const Pan& pan = RenderedPan();
  FeatureExtraction extraction;
  std::vector<std::vector<cv::Point2f>> corners;
  for (const cv::Mat& frame : pan.frames) {
    corners.push_back(extraction.goodFeaturesToTrack(frame, 0, kFrame.width, kFrame.height));
  }
  const lk::Kernel kernels[] = {lk::Kernel::kOpenCv, lk::Kernel::kAvx2, lk::Kernel::kAvx512};
  const lk::Kernel kernel = kernels[state.range(0)];
  if (!lk::KernelAvailable(kernel)) {
    state.SkipWithError("kernel not available on this processor");
    return;
  }
  const bool ours = kernel != lk::Kernel::kOpenCv;
  const int threadsBefore = cv::getNumThreads();
  cv::setNumThreads(static_cast<int>(state.range(1)));
  const cv::TermCriteria criteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 30, 0.3);
  lk::Tracker tracker;
  std::vector<cv::Point2f> next;
  std::vector<unsigned char> status;
  std::vector<float> err;
  size_t k = 0, points = 0;
  for (auto _ : state) {
    const size_t i = k % (pan.frames.size() - 1);
    if (ours) {
      tracker.Track(pan.frames[i], pan.frames[i + 1], corners[i], &next, &status, &err,
                    cv::Size(21, 21), 5, criteria, 0, 1e-4, kernel);
    } else {
      cv::calcOpticalFlowPyrLK(pan.frames[i], pan.frames[i + 1], corners[i], next, status, err,
                               cv::Size(21, 21), 5, criteria, 0, 1e-4);
    }
    benchmark::DoNotOptimize(next.data());
    points += corners[i].size();
    ++k;
  }
  cv::setNumThreads(threadsBefore);
  state.counters["points"] = static_cast<double>(points) / static_cast<double>(k);
  state.SetLabel(ours ? lk::KernelName(tracker.LastKernel()) : "OpenCV");
}
BENCHMARK(BM_TrackerPair)
    ->Args({0, 1})
    ->Args({1, 1})
    ->Args({2, 1})
    ->Args({0, 2})
    ->Args({1, 2})
    ->Args({2, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

}  // namespace

// Key frames of a sideways pan inserted one by one, as the key-frame step
// does (direct homography, side from the left edge, insertion), each followed
// by the balance pass over the whole tree: the tree work of a run with that
// many key frames. Frames are tiny: the tree only stores them.
void BM_TreeInsertAndBalance(benchmark::State& state) {
  const int keyFrames = static_cast<int>(state.range(0));
  const cv::Mat tiny(2, 2, CV_8UC3, cv::Scalar(0, 0, 0));
  // Key frame k + 1 sees the plane 100 px further right than key frame k.
  const cv::Mat step = (cv::Mat_<double>(3, 3) << 1, 0, -100, 0, 1, 0, 0, 0, 1);
  for (auto _ : state) {
    Panorama pano;
    pano.imageW = kFrame.width;
    pano.imageH = kFrame.height;
    pano.Id_Features = 2;  // stores no features
    auto root = std::make_unique<_treeNode>();
    root->id = ++pano.num_Nodes;
    root->image = std::make_unique<cv::Mat>(tiny.clone());
    root->H_ParentToNode = std::make_unique<cv::Mat>(cv::Mat::eye(3, 3, CV_64F));
    pano.Root_AVL = root.get();
    pano.Vect_Nodes.push_back(root.get());
    pano.AdoptNode(std::move(root));
    pano.ban_RootCreated = 1;
    for (int k = 1; k < keyFrames; ++k) {
      _treeNode* latest = pano.find(pano.Root_AVL, pano.num_Nodes);
      pano.Vect_H.push_back(step.clone());
      ++pano.num_VectH;
      pano.H_Accumulated = step * pano.calculateHomBToA(latest, pano.Root_AVL);
      pano.cameraMotion.setHomography(pano.H_Accumulated);
      pano.cameraMotion.InverseHomography_Hij();
      pano.CalculateMovement_LRUD(pano.cameraMotion.getInverseHomography(), pano.imageW,
                                  pano.imageH);
      pano.ban_insert = 0;
      pano.insert(pano.Root_AVL, tiny);
      if (pano.ban_insert == 1)
        pano.Root_AVL = pano.ALLbalance(pano.Root_AVL);
    }
    benchmark::DoNotOptimize(pano.Root_AVL);
  }
  state.SetItemsProcessed(state.iterations() * keyFrames);
}
BENCHMARK(BM_TreeInsertAndBalance)->Arg(64)->Arg(512)->Arg(2048)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
