// Two-nearest-neighbour search under the Euclidean norm that returns exactly
// what cv::BFMatcher(cv::NORM_L2, false).knnMatch(query, train, matches, 2)
// returns: the same neighbours, in the same order (equal distances: lower
// train row first), with bit-identical float distances.
//
// SIFT descriptors hold whole numbers 0..255. For such rows every partial sum
// of squared differences is an integer below 2^24, so the brute-force
// matcher's float arithmetic is exact whatever its summation order, and its
// distance is sqrtf of the exact integer squared distance. The fast search
// computes those integers with integer dot products (8-bit on AMX tiles or
// with AVX-512 VNNI, else 16-bit with AVX2; several threads) and selects with the
// brute-force matcher's comparisons on the float distances. Any other input falls back to
// cv::BFMatcher itself.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>
#include <vector>

namespace exactknn {

// True when KnnMatch2 takes the fast search for these matrices: both
// non-empty CV_32F 2-D matrices of one width (at most 256 columns) holding
// only whole numbers in [0, 255], on a processor with AVX2.
bool FastSearchApplies(const cv::Mat& query, const cv::Mat& train);

// For every query row in order, its (up to) two nearest train rows, nearest
// first: matches->at(q)[n] is cv::DMatch(q, trainRow, 0, distance). Replaces
// the contents of *matches. Same result as
// cv::BFMatcher(cv::NORM_L2, false).knnMatch(query, train, *matches, 2,
// cv::noArray(), false); matrices the matcher cannot take are the caller's
// to refuse, as with the matcher.
//
// kernel chooses the integer kernel (tests and benchmarks compare them); one
// the processor lacks falls back to the matcher.
enum class Kernel {
  kWidest,
  kAvx2,
  kAvx512Vnni,
  kAmxInt8
};
bool KernelAvailable(Kernel kernel);
void KnnMatch2(const cv::Mat& query, const cv::Mat& train,
               std::vector<std::vector<cv::DMatch>>* matches, Kernel kernel = Kernel::kWidest);

}  // namespace exactknn
