// AVX-512 kernel of the exact tracker: four points per 512-bit register, one per
// 128-bit group (see lk_kernel_body.hpp).
//
// Built with -mavx512f -mavx512bw and without floating-point contraction: a fused
// multiply-add would round differently.
#include <immintrin.h>

#include <cfloat>
#include <cmath>
#include <cstdint>

#include "features/lk_kernels.hpp"

namespace lk {
namespace detail {
namespace {

struct Avx512 {
  static constexpr int kLanes = 4;
  using I = __m512i;
  using F = __m512;

  // 16 bytes of each point: one load and three merging broadcast loads.
  template <class T>
  static I Load(const T* const* p, std::ptrdiff_t offset) {
    auto at = [&](int k) {
      return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p[k] + offset));
    };
    I v = _mm512_castsi128_si512(at(0));
    v = _mm512_mask_broadcast_i32x4(v, 0x00F0, at(1));
    v = _mm512_mask_broadcast_i32x4(v, 0x0F00, at(2));
    return _mm512_mask_broadcast_i32x4(v, static_cast<__mmask16>(0xF000), at(3));
  }
  static I PerLane(const int* v) {
    return _mm512_setr_epi32(v[0], v[0], v[0], v[0], v[1], v[1], v[1], v[1], v[2], v[2], v[2],
                             v[2], v[3], v[3], v[3], v[3]);
  }
  static I Repeat16(const char* p) {
    return _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  }
  static I Set1(int v) { return _mm512_set1_epi32(v); }
  static I ZeroI() { return _mm512_setzero_si512(); }
  static I Add32(I a, I b) { return _mm512_add_epi32(a, b); }
  static I Madd(I a, I b) { return _mm512_madd_epi16(a, b); }
  static I Srai(I a, int n) { return _mm512_srai_epi32(a, static_cast<unsigned>(n)); }
  static I Slli(I a, int n) { return _mm512_slli_epi32(a, static_cast<unsigned>(n)); }
  static I Packs32(I a, I b) { return _mm512_packs_epi32(a, b); }
  static I Subs16(I a, I b) { return _mm512_subs_epi16(a, b); }
  static I Shuffle8(I a, I m) { return _mm512_shuffle_epi8(a, m); }
  static I Unpacklo16(I a, I b) { return _mm512_unpacklo_epi16(a, b); }
  static I Unpackhi16(I a, I b) { return _mm512_unpackhi_epi16(a, b); }
  static I Abs16(I a) { return _mm512_abs_epi16(a); }
  static I And(I a, I b) { return _mm512_and_si512(a, b); }
  static void StoreI(int* p, I v) { _mm512_storeu_si512(p, v); }
  static F Cvt(I a) { return _mm512_cvtepi32_ps(a); }
  static F ZeroF() { return _mm512_setzero_ps(); }
  static F AddF(F a, F b) { return _mm512_add_ps(a, b); }
  static F MulF(F a, F b) { return _mm512_mul_ps(a, b); }
  static F UnpackloF(F a, F b) { return _mm512_unpacklo_ps(a, b); }
  static F UnpackhiF(F a, F b) { return _mm512_unpackhi_ps(a, b); }
  template <int kImm>
  static F Permute(F a) {
    return _mm512_permute_ps(a, kImm);
  }
  static void StoreF(float* p, F v) { _mm512_storeu_ps(p, v); }
};

#include "features/lk_kernel_body.hpp"

}  // namespace

void TrackLevelAvx512(const LevelData& level, const LevelSettings& settings,
                      const PointData& points, int begin, int end) {
  TrackLevel<Avx512>(level, settings, points, begin, end);
}

}  // namespace detail
}  // namespace lk
