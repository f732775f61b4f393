// Interface between the tracker (lk_tracker.cpp) and its vector kernels,
// which live in translation units of their own built for a wider instruction
// set. Plain types only: a kernel unit must not instantiate any inline or
// template code that other units share, or the linker could hand AVX code to
// a processor without it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lk {
namespace detail {

// The only window the kernels handle: 21x21 pixels of three channels.
constexpr int kWindow = 21;
constexpr int kChannels = 3;

// One pyramid level of both frames. Pointers address pixel (0, 0) of the
// level; at least kWindow pixels of border surround it on every side.
struct LevelData {
  const std::uint8_t* prev;   // previous frame, 8 bits, three channels
  std::ptrdiff_t prevStep;    // bytes per row
  const std::int16_t* deriv;  // Scharr x and y of the previous frame, interleaved per channel
  std::ptrdiff_t derivStep;   // elements per row
  const std::uint8_t* next;   // current frame
  std::ptrdiff_t nextStep;
  int cols;
  int rows;
};

struct LevelSettings {
  int level;
  int maxLevel;
  bool useInitialFlow;
  int maxCount;    // iteration limit
  double epsilon;  // squared step below which a point stops
  float minEigThreshold;
};

struct PointData {
  const float* prevPts;  // x, y pairs
  float* nextPts;        // x, y pairs
  std::uint8_t* status;
  float* err;
  const int* order;  // the points in the order to track them (a permutation)
  int count;
};

// Run the points order[begin..end) through one level, two (AVX2) or four
// (AVX-512) points at a time.
void TrackLevelAvx2(const LevelData& level, const LevelSettings& settings, const PointData& points,
                    int begin, int end);
void TrackLevelAvx512(const LevelData& level, const LevelSettings& settings,
                      const PointData& points, int begin, int end);

// Scharr derivatives of rows [y0, y1) of a frame of kChannels 8-bit channels
// (cols x rows, reflected border), as OpenCV's tracker computes them: per
// pixel and channel, x then y, 16 bits each. scratch holds
// 2 * (cols + 2) * kChannels values.
void ScharrRowsAvx2(const std::uint8_t* src, std::ptrdiff_t srcStep, int cols, int rows,
                    std::int16_t* dst, std::ptrdiff_t dstStep, int y0, int y1,
                    std::int16_t* scratch);

}  // namespace detail
}  // namespace lk
