// AVX2 kernel of the exact tracker: two points per 256-bit register, one per
// 128-bit half (see lk_kernel_body.hpp).
//
// Built with -mavx2 and without floating-point contraction: a fused
// multiply-add would round differently.
#include <immintrin.h>

#include <cfloat>
#include <cmath>
#include <cstdint>

#include "features/lk_kernels.hpp"

namespace lk {
namespace detail {
namespace {

struct Avx2 {
  static constexpr int kLanes = 2;
  using I = __m256i;
  using F = __m256;

  // 16 bytes of each point: a load and a broadcast load blended, which keeps
  // the shuffle port free.
  template <class T>
  static I Load(const T* const* p, std::ptrdiff_t offset) {
    return _mm256_blend_epi32(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p[0] + offset))),
        _mm256_broadcastsi128_si256(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(p[1] + offset))),
        0xF0);
  }
  static I PerLane(const int* v) {
    return _mm256_set_m128i(_mm_set1_epi32(v[1]), _mm_set1_epi32(v[0]));
  }
  static I Repeat16(const char* p) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  }
  static I Set1(int v) { return _mm256_set1_epi32(v); }
  static I ZeroI() { return _mm256_setzero_si256(); }
  static I Add32(I a, I b) { return _mm256_add_epi32(a, b); }
  static I Madd(I a, I b) { return _mm256_madd_epi16(a, b); }
  static I Srai(I a, int n) { return _mm256_srai_epi32(a, n); }
  static I Slli(I a, int n) { return _mm256_slli_epi32(a, n); }
  static I Packs32(I a, I b) { return _mm256_packs_epi32(a, b); }
  static I Subs16(I a, I b) { return _mm256_subs_epi16(a, b); }
  static I Shuffle8(I a, I m) { return _mm256_shuffle_epi8(a, m); }
  static I Unpacklo16(I a, I b) { return _mm256_unpacklo_epi16(a, b); }
  static I Unpackhi16(I a, I b) { return _mm256_unpackhi_epi16(a, b); }
  static I Abs16(I a) { return _mm256_abs_epi16(a); }
  static I And(I a, I b) { return _mm256_and_si256(a, b); }
  static void StoreI(int* p, I v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
  static F Cvt(I a) { return _mm256_cvtepi32_ps(a); }
  static F ZeroF() { return _mm256_setzero_ps(); }
  static F AddF(F a, F b) { return _mm256_add_ps(a, b); }
  static F MulF(F a, F b) { return _mm256_mul_ps(a, b); }
  static F UnpackloF(F a, F b) { return _mm256_unpacklo_ps(a, b); }
  static F UnpackhiF(F a, F b) { return _mm256_unpackhi_ps(a, b); }
  template <int kImm>
  static F Permute(F a) {
    return _mm256_permute_ps(a, kImm);
  }
  static void StoreF(float* p, F v) { _mm256_storeu_ps(p, v); }
};

#include "features/lk_kernel_body.hpp"

}  // namespace

void TrackLevelAvx2(const LevelData& level, const LevelSettings& settings, const PointData& points,
                    int begin, int end) {
  TrackLevel<Avx2>(level, settings, points, begin, end);
}

}  // namespace detail
}  // namespace lk
