// The body of the exact tracker's vector kernels, written once over a set of
// vector operations V (lk_tracker_avx2.cpp, lk_tracker_avx512.cpp). V holds
// V::kLanes points, one per 128-bit group, and every group does precisely the
// integer and float operations that OpenCV 4.6's tracker does for one point
// with 128-bit vectors: the same fixed-point weights and roundings, the same
// float accumulators and the same order of additions. Elements 56 to 62 of
// each window row, which OpenCV sums one by one, are summed one by one here
// too, in the same order. The mean absolute difference is a sum of whole
// numbers below 2^24, exact in any order, so it is summed as integers.
//
// Included only by the kernel units, inside their anonymous namespace: each
// unit gets its own copy, built for its instruction set. A unit defines
// LK_SIMD_BITS, 256 or 512, the width of its vectors and intrinsics.

#define LK_CAT_(a, b, c, d) a##b##c##d
#define LK_CAT(a, b, c, d) LK_CAT_(a, b, c, d)
#define LK_MM(op) LK_CAT(_mm, LK_SIMD_BITS, _##op, )              // _mm256_op
#define LK_SI(op) LK_CAT(_mm, LK_SIMD_BITS, _##op, LK_SIMD_BITS)  // _mm256_op256

// The vector operations the body uses: kLanes points a vector, one per
// 128-bit group.
struct Simd {
  using I = LK_CAT(__m, LK_SIMD_BITS, i, );
  using F = LK_CAT(__m, LK_SIMD_BITS, , );
  static constexpr int kLanes = LK_SIMD_BITS / 128;

#if LK_SIMD_BITS == 256
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
#else
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
    return _mm512_setr_epi32(v[0], v[0], v[0], v[0], v[1], v[1], v[1], v[1], v[2], v[2], v[2], v[2],
                             v[3], v[3], v[3], v[3]);
  }
  static I Repeat16(const char* p) {
    return _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  }
#endif

  // The rest differ only in the width in their names.
  static I Set1(int v) {
    return LK_MM(set1_epi32)(v);
  }
  static I ZeroI() {
    return LK_SI(setzero_si)();
  }
  static I And(I a, I b) {
    return LK_SI(and_si)(a, b);
  }
  static void StoreI(int* p, I v) {
    LK_SI(storeu_si)(reinterpret_cast<I*>(p), v);
  }
  static I Add32(I a, I b) {
    return LK_MM(add_epi32)(a, b);
  }
  static I Madd(I a, I b) {
    return LK_MM(madd_epi16)(a, b);
  }
  static I Srai(I a, int n) {
    return LK_MM(srai_epi32)(a, n);
  }
  static I Slli(I a, int n) {
    return LK_MM(slli_epi32)(a, n);
  }
  static I Slli16(I a, int n) {
    return LK_MM(slli_epi16)(a, n);
  }
  static I Packs32(I a, I b) {
    return LK_MM(packs_epi32)(a, b);
  }
  static I Subs16(I a, I b) {
    return LK_MM(subs_epi16)(a, b);
  }
  static I Abs16(I a) {
    return LK_MM(abs_epi16)(a);
  }
  static I Shuffle8(I a, I m) {
    return LK_MM(shuffle_epi8)(a, m);
  }
  static I Unpacklo16(I a, I b) {
    return LK_MM(unpacklo_epi16)(a, b);
  }
  static I Unpackhi16(I a, I b) {
    return LK_MM(unpackhi_epi16)(a, b);
  }
  static F Cvt(I a) {
    return LK_MM(cvtepi32_ps)(a);
  }
  static F ZeroF() {
    return LK_MM(setzero_ps)();
  }
  static void StoreF(float* p, F v) {
    LK_MM(storeu_ps)(p, v);
  }
  static F AddF(F a, F b) {
    return LK_MM(add_ps)(a, b);
  }
  static F MulF(F a, F b) {
    return LK_MM(mul_ps)(a, b);
  }
  static F UnpackloF(F a, F b) {
    return LK_MM(unpacklo_ps)(a, b);
  }
  static F UnpackhiF(F a, F b) {
    return LK_MM(unpackhi_ps)(a, b);
  }
  template <int kImm>
  static F Permute(F a) {
    return LK_MM(permute_ps)(a, kImm);
  }
};

#undef LK_SI
#undef LK_MM
#undef LK_CAT
#undef LK_CAT_

constexpr int kChunks = 7;  // 8-element chunks at 0, 8, ..., 48 of the 63 elements of a row
constexpr int kTailX = 55;  // elements 55..62; 56..62 are the ones summed one by one
constexpr int kTailSkip = 5;
constexpr int kTailLoad = kTailX - kTailSkip;  // the tail reads bytes 50..65, the window's last
constexpr int kWBits = 14;
constexpr float kFltScale = 1.f / (1 << 20);
constexpr float kHalfWin = (kWindow - 1) * 0.5f;

// cvFloor: truncation, one less when that rounded up; a value out of the
// int range gives a position outside the image.
inline int Floor(float v) {
  const int i = _mm_cvtt_ss2si(_mm_set_ss(v));
  return static_cast<int>(static_cast<unsigned>(i) - (static_cast<float>(i) > v ? 1u : 0u));
}

inline int Round(float v) {
  return _mm_cvt_ss2si(_mm_set_ss(v));
}

struct Weights {
  int w00 = 0, w01 = 0, w10 = 0, w11 = 0;
};

inline Weights MakeWeights(float a, float b) {
  Weights w;
  w.w00 = Round((1.f - a) * (1.f - b) * (1 << kWBits));
  w.w01 = Round(a * (1.f - b) * (1 << kWBits));
  w.w10 = Round((1.f - a) * b * (1 << kWBits));
  w.w11 = (1 << kWBits) - w.w00 - w.w01 - w.w10;
  return w;
}

// Weights of a window that starts on a whole pixel: each value as it is.
inline bool OnWholePixel(const Weights& w) {
  return w.w00 == 1 << kWBits && w.w01 == 0 && w.w10 == 0;  // and so w11 == 0
}

inline int PackPair(int lo, int hi) {
  return static_cast<int>((static_cast<unsigned>(lo) & 0xffffu) |
                          ((static_cast<unsigned>(hi) & 0xffffu) << 16));
}

// Where each lane reads, and with which weights.
template <class V>
struct Window {
  const std::uint8_t* img[V::kLanes];
  const std::int16_t* deriv[V::kLanes];
  typename V::I qw0, qw1;  // (w00, w01) and (w10, w11) repeated per group

  void SetWeights(const Weights* const w[V::kLanes]) {
    int a[V::kLanes], b[V::kLanes];
    for (int k = 0; k < V::kLanes; ++k) {
      a[k] = PackPair(w[k]->w00, w[k]->w01);
      b[k] = PackPair(w[k]->w10, w[k]->w11);
    }
    qw0 = V::PerLane(a);
    qw1 = V::PerLane(b);
  }
};

template <class V>
inline typename V::I Bilinear(typename V::I t00, typename V::I t01, typename V::I t10,
                              typename V::I t11, typename V::I qw0, typename V::I qw1,
                              typename V::I delta, int shift) {
  typename V::I t0 = V::Add32(V::Add32(V::Madd(t00, qw0), delta), V::Madd(t10, qw1));
  typename V::I t1 = V::Add32(V::Add32(V::Madd(t01, qw0), delta), V::Madd(t11, qw1));
  return V::Packs32(V::Srai(t0, shift), V::Srai(t1, shift));
}

// Byte shuffles that take 16 bytes loaded kSkip bytes before element x
// straight to the zipped, zero-extended pairs (p[x+k], p[x+k+3]) of the dot
// products, elements 0..3 and 4..7.
template <class V, int kSkip>
inline typename V::I ZipLow() {
  constexpr char Z = static_cast<char>(0x80), s = kSkip;
  const char p[16] = {s, Z, s + 3, Z, s + 1, Z, s + 4, Z, s + 2, Z, s + 5, Z, s + 3, Z, s + 6, Z};
  return V::Repeat16(p);
}
template <class V, int kSkip>
inline typename V::I ZipHigh() {
  constexpr char Z = static_cast<char>(0x80), s = kSkip;
  const char p[16] = {s + 4, Z, s + 7, Z, s + 5, Z, s + 8,  Z,
                      s + 6, Z, s + 9, Z, s + 7, Z, s + 10, Z};
  return V::Repeat16(p);
}

// Eight interpolated image elements (times 32) of each point from element x,
// out of the 16 bytes r0 (this row) and r1 (next row) loaded kSkip bytes
// before element x.
template <class V, int kSkip>
inline typename V::I InterpImage(typename V::I r0, typename V::I r1, typename V::I qw0,
                                 typename V::I qw1) {
  static_assert(kSkip + 10 < 16, "the pairs must lie in the 16 bytes read");
  using I = typename V::I;
  const I delta = V::Set1(1 << (kWBits - 5 - 1));
  const I lo = ZipLow<V, kSkip>(), hi = ZipHigh<V, kSkip>();
  return Bilinear<V>(V::Shuffle8(r0, lo), V::Shuffle8(r0, hi), V::Shuffle8(r1, lo),
                     V::Shuffle8(r1, hi), qw0, qw1, delta, kWBits - 5);
}

// The same eight elements when every lane sits on whole pixels: the weights
// (1, 0, 0, 0) leave each element exactly as it is, times 32.
template <class V, int kSkip>
inline typename V::I WholeImage(typename V::I r0) {
  constexpr char Z = static_cast<char>(0x80), s = kSkip;
  const char p[16] = {s, Z, s + 1, Z, s + 2, Z, s + 3, Z, s + 4, Z, s + 5, Z, s + 6, Z, s + 7, Z};
  return V::Slli16(V::Shuffle8(r0, V::Repeat16(p)), 5);
}

// Four interpolated derivative elements of each point (Ix0 Iy0 ... Ix3 Iy3)
// out of this row's and the next row's 8 values at the element and at the
// next pixel.
template <class V>
inline typename V::I InterpDeriv(typename V::I v00, typename V::I v01, typename V::I v10,
                                 typename V::I v11, typename V::I qw0, typename V::I qw1) {
  const typename V::I delta = V::Set1(1 << (kWBits - 1));
  return Bilinear<V>(V::Unpacklo16(v00, v01), V::Unpackhi16(v00, v01), V::Unpacklo16(v10, v11),
                     V::Unpackhi16(v10, v11), qw0, qw1, delta, kWBits);
}

// Where the 16 bytes of image chunk c are read in a row: element 8c, the
// tail chunk kTailSkip bytes before element 55.
constexpr int ImageLoad(int c) {
  return c < kChunks ? 8 * c : kTailLoad;
}
// Where the derivative values of half h of chunk c start in a row.
constexpr int DerivLoad(int c, int h) {
  return 2 * (c < kChunks ? 8 * c : kTailX) + 8 * h;
}

// Each window row is read once: the rows below become the next rows above.
template <class V>
struct ImageRows {
  typename V::I row[kChunks + 1];
  void Load(const std::uint8_t* const* p, std::ptrdiff_t rowStart) {
    for (int c = 0; c <= kChunks; ++c)
      row[c] = V::Load(p, rowStart + ImageLoad(c));
  }
};

template <class V>
struct DerivRows {
  typename V::I row[kChunks + 1][2][2];  // chunk, half, (element, next pixel)
  // On whole pixels (kWhole) the next pixel is not needed.
  template <bool kWhole>
  void Load(const std::int16_t* const* p, std::ptrdiff_t rowStart) {
    for (int c = 0; c <= kChunks; ++c) {
      for (int h = 0; h < 2; ++h) {
        row[c][h][0] = V::Load(p, rowStart + DerivLoad(c, h));
        if (!kWhole)
          row[c][h][1] = V::Load(p, rowStart + DerivLoad(c, h) + 2 * kChannels);
      }
    }
  }
};

// Chunk c of a window row of the previous frame, interpolated between this
// row (r0) and the next (r1), or taken as it is on whole pixels.
template <class V, int kSkip, bool kWhole>
inline typename V::I PatchImage(typename V::I r0, typename V::I r1, const Window<V>& w) {
  if constexpr (kWhole)
    return WholeImage<V, kSkip>(r0);
  else
    return InterpImage<V, kSkip>(r0, r1, w.qw0, w.qw1);
}
template <class V, bool kWhole>
inline typename V::I PatchDeriv(const DerivRows<V>& d0, const DerivRows<V>& d1, int c, int h,
                                const Window<V>& w) {
  if constexpr (kWhole)
    return d0.row[c][h][0];
  else
    return InterpDeriv<V>(d0.row[c][h][0], d0.row[c][h][1], d1.row[c][h][0], d1.row[c][h][1], w.qw0,
                          w.qw1);
}

template <class V>
inline typename V::F LowWords(typename V::I v) {
  return V::Cvt(V::Srai(V::Slli(v, 16), 16));
}
template <class V>
inline typename V::F HighWords(typename V::I v) {
  return V::Cvt(V::Srai(v, 16));
}

// The previous frame's windows, as the iterations read them.
template <class V>
struct Patch {
  typename V::I img[kWindow][kChunks + 1];   // chunk kChunks holds elements 55..62
  typename V::I deriv[kWindow][kChunks][2];  // Ix/Iy of a chunk, zipped for the dot products
  typename V::F tail[kWindow][7];            // (Ix, Iy) of elements 56..62 in lanes 0 and 1
};

template <class V>
struct Sums {
  float a[4 * V::kLanes];
};

// Adds (X*X, X*Y, Y*Y) of the element at lanes (x, y) of u = [X Y X' Y'];
// keeps (X, Y) for the iterations.
template <class V, int kHigh>
inline typename V::F AccumulateTailA(typename V::F acc, typename V::F u, typename V::F* tail) {
  constexpr int x = kHigh ? 2 : 0, y = kHigh ? 3 : 1;
  *tail = V::template Permute<_MM_SHUFFLE(y, x, y, x)>(u);
  const typename V::F l = V::template Permute<_MM_SHUFFLE(y, y, x, x)>(u);
  const typename V::F r = V::template Permute<_MM_SHUFFLE(y, y, y, x)>(u);
  return V::AddF(acc, V::MulF(l, r));
}

// Interpolates the previous frame's windows and their derivatives and
// returns, per group, the accumulators that give A11, A12, A22. kWhole: every
// lane's window starts on a whole pixel (as detected corners do at the finest
// level), so nothing needs interpolating; the values are the same.
template <class V, bool kWhole>
void ExtractPatch(const LevelData& L, const Window<V>& w, Patch<V>* patch, Sums<V>* q11,
                  Sums<V>* q12, Sums<V>* q22, Sums<V>* tailSums) {
  using I = typename V::I;
  using F = typename V::F;
  F qA11 = V::ZeroF(), qA12 = V::ZeroF(), qA22 = V::ZeroF(), acc = V::ZeroF();
  ImageRows<V> img[2];
  DerivRows<V> der[2];
  img[0].Load(w.img, 0);
  der[0].template Load<kWhole>(w.deriv, 0);
  for (int y = 0; y < kWindow; ++y) {
    const ImageRows<V>& i0 = img[y & 1];
    ImageRows<V>& i1 = img[(y + 1) & 1];
    const DerivRows<V>& d0 = der[y & 1];
    DerivRows<V>& d1 = der[(y + 1) & 1];
    i1.Load(w.img, (y + 1) * L.prevStep);
    d1.template Load<kWhole>(w.deriv, (y + 1) * L.derivStep);
    for (int c = 0; c < kChunks; ++c) {
      patch->img[y][c] = PatchImage<V, 0, kWhole>(i0.row[c], i1.row[c], w);
      I p[2];
      for (int h = 0; h < 2; ++h) {
        p[h] = PatchDeriv<V, kWhole>(d0, d1, c, h, w);
        const F fy = HighWords<V>(p[h]), fx = LowWords<V>(p[h]);
        qA22 = V::AddF(V::MulF(fy, fy), qA22);
        qA12 = V::AddF(V::MulF(fx, fy), qA12);
        qA11 = V::AddF(V::MulF(fx, fx), qA11);
      }
      patch->deriv[y][c][0] = V::Unpacklo16(p[0], p[1]);
      patch->deriv[y][c][1] = V::Unpackhi16(p[0], p[1]);
    }
    patch->img[y][kChunks] = PatchImage<V, kTailSkip, kWhole>(i0.row[kChunks], i1.row[kChunks], w);
    const I p0 = PatchDeriv<V, kWhole>(d0, d1, kChunks, 0, w);
    const I p1 = PatchDeriv<V, kWhole>(d0, d1, kChunks, 1, w);
    const F fx0 = LowWords<V>(p0), fy0 = HighWords<V>(p0);
    const F fx1 = LowWords<V>(p1), fy1 = HighWords<V>(p1);
    const F u0 = V::UnpackloF(fx0, fy0), u1 = V::UnpackhiF(fx0, fy0);
    const F u2 = V::UnpackloF(fx1, fy1), u3 = V::UnpackhiF(fx1, fy1);
    F* t = patch->tail[y];
    acc = AccumulateTailA<V, 1>(acc, u0, &t[0]);  // element 56
    acc = AccumulateTailA<V, 0>(acc, u1, &t[1]);
    acc = AccumulateTailA<V, 1>(acc, u1, &t[2]);
    acc = AccumulateTailA<V, 0>(acc, u2, &t[3]);
    acc = AccumulateTailA<V, 1>(acc, u2, &t[4]);
    acc = AccumulateTailA<V, 0>(acc, u3, &t[5]);
    acc = AccumulateTailA<V, 1>(acc, u3, &t[6]);  // element 62
  }
  V::StoreF(q11->a, qA11);
  V::StoreF(q12->a, qA12);
  V::StoreF(q22->a, qA22);
  V::StoreF(tailSums->a, acc);
}

// Walks the windows in the frame being read, row by row: hands J - I (times
// 32) of chunk c of row y to chunk(y, c, d), then the tail chunk's (elements
// 55..62) to tail(y, d).
template <class V, class Chunk, class Tail>
inline void ForEachDifference(const LevelData& L, const Window<V>& w, const Patch<V>& patch,
                              Chunk&& chunk, Tail&& tail) {
  ImageRows<V> rows[2];
  rows[0].Load(w.img, 0);
  for (int y = 0; y < kWindow; ++y) {
    const ImageRows<V>& r0 = rows[y & 1];
    ImageRows<V>& r1 = rows[(y + 1) & 1];
    r1.Load(w.img, (y + 1) * L.nextStep);
    for (int c = 0; c < kChunks; ++c) {
      chunk(y, c,
            V::Subs16(InterpImage<V, 0>(r0.row[c], r1.row[c], w.qw0, w.qw1), patch.img[y][c]));
    }
    tail(y, V::Subs16(InterpImage<V, kTailSkip>(r0.row[kChunks], r1.row[kChunks], w.qw0, w.qw1),
                      patch.img[y][kChunks]));
  }
}

template <class V, int kLane>
inline typename V::F Broadcast(typename V::F v) {
  return V::template Permute<_MM_SHUFFLE(kLane, kLane, kLane, kLane)>(v);
}

// One iteration's mismatch vector: per group, the two float accumulators of
// the chunks (qb0 + qb1) and the one-by-one sums (b1, b2).
template <class V>
void Mismatch(const LevelData& L, const Window<V>& w, const Patch<V>& patch, Sums<V>* qb,
              Sums<V>* tailSums) {
  using I = typename V::I;
  using F = typename V::F;
  F qb0 = V::ZeroF(), qb1 = V::ZeroF(), acc = V::ZeroF();
  // (d0 d4 d0 d4 d1 d5 d1 d5) and (d2 d6 d2 d6 d3 d7 d3 d7): OpenCV's two zips.
  static constexpr char kZip0[16] = {0, 1, 8, 9, 0, 1, 8, 9, 2, 3, 10, 11, 2, 3, 10, 11};
  static constexpr char kZip1[16] = {4, 5, 12, 13, 4, 5, 12, 13, 6, 7, 14, 15, 6, 7, 14, 15};
  const I zip0 = V::Repeat16(kZip0), zip1 = V::Repeat16(kZip1);
  ForEachDifference<V>(
      L, w, patch,
      [&](int y, int c, I d0) {
        const I u0 = V::Shuffle8(d0, zip0), u1 = V::Shuffle8(d0, zip1);
        qb0 = V::AddF(qb0, V::Cvt(V::Madd(u0, patch.deriv[y][c][0])));
        qb1 = V::AddF(qb1, V::Cvt(V::Madd(u1, patch.deriv[y][c][1])));
      },
      [&](int y, I dt) {
        const F f0 = HighWords<V>(V::Unpacklo16(dt, dt));  // elements 55..58
        const F f1 = HighWords<V>(V::Unpackhi16(dt, dt));  // elements 59..62
        const F* t = patch.tail[y];
        acc = V::AddF(acc, V::MulF(Broadcast<V, 1>(f0), t[0]));
        acc = V::AddF(acc, V::MulF(Broadcast<V, 2>(f0), t[1]));
        acc = V::AddF(acc, V::MulF(Broadcast<V, 3>(f0), t[2]));
        acc = V::AddF(acc, V::MulF(Broadcast<V, 0>(f1), t[3]));
        acc = V::AddF(acc, V::MulF(Broadcast<V, 1>(f1), t[4]));
        acc = V::AddF(acc, V::MulF(Broadcast<V, 2>(f1), t[5]));
        acc = V::AddF(acc, V::MulF(Broadcast<V, 3>(f1), t[6]));
      });
  V::StoreF(qb->a, V::AddF(qb0, qb1));
  V::StoreF(tailSums->a, acc);
}

// Sums of |J - I| over the windows (whole numbers), one per point.
template <class V>
void AbsDifference(const LevelData& L, const Window<V>& w, const Patch<V>& patch,
                   int sums[V::kLanes]) {
  using I = typename V::I;
  const I ones = V::Set1(0x00010001);
  // Element 55 of the tail chunk belongs to the last full chunk.
  static constexpr char kDropFirst[16] = {0,  0,  -1, -1, -1, -1, -1, -1,
                                          -1, -1, -1, -1, -1, -1, -1, -1};
  const I dropFirst = V::Repeat16(kDropFirst);
  I sum = V::ZeroI();
  ForEachDifference<V>(
      L, w, patch, [&](int, int, I d) { sum = V::Add32(sum, V::Madd(V::Abs16(d), ones)); },
      [&](int, I d) { sum = V::Add32(sum, V::Madd(V::Abs16(V::And(d, dropFirst)), ones)); });
  int s[4 * V::kLanes];
  V::StoreI(s, sum);
  for (int k = 0; k < V::kLanes; ++k) {
    sums[k] = s[4 * k] + s[4 * k + 1] + s[4 * k + 2] + s[4 * k + 3];
  }
}

// OpenCV's horizontal sum of a float32x4: (a0 + a2) + (a1 + a3).
inline float ReduceSum(const float* a) {
  return (a[0] + a[2]) + (a[1] + a[3]);
}

struct Lane {
  int idx = -1;
  bool live = false;
  float nx = 0, ny = 0;  // current estimate, minus the half window while iterating
  float A11 = 0, A12 = 0, A22 = 0, D = 0;
  float pdx = 0, pdy = 0;
  int ix = 0, iy = 0;  // window corner in the frame being read
  Weights w;
};

inline bool Outside(int ix, int iy, const LevelData& L) {
  return ix < -kWindow || ix >= L.cols || iy < -kWindow || iy >= L.rows;
}

// Points the lanes at their windows in `image`; a lane without a point (not
// in `use`) borrows a used lane's window, and its results are not read.
// Returns false when no lane is used.
template <class V>
bool Aim(const Lane* lanes, const bool* use, const std::uint8_t* image, std::ptrdiff_t step,
         const std::int16_t* deriv, std::ptrdiff_t derivStep, Window<V>* w) {
  int donor = -1;
  for (int k = 0; k < V::kLanes && donor < 0; ++k) {
    if (use[k])
      donor = k;
  }
  if (donor < 0)
    return false;
  const Weights* weights[V::kLanes];
  for (int k = 0; k < V::kLanes; ++k) {
    const Lane& ln = lanes[use[k] ? k : donor];
    w->img[k] = image + ln.iy * step + ln.ix * kChannels;
    w->deriv[k] = deriv ? deriv + ln.iy * derivStep + ln.ix * 2 * kChannels : nullptr;
    weights[k] = &ln.w;
  }
  w->SetWeights(weights);
  return true;
}

template <class V>
void TrackGroup(const LevelData& L, const LevelSettings& S, const PointData& P, const int* idx,
                int n) {
  constexpr int N = V::kLanes;
  Lane lanes[N];
  bool use[N];
  const float scale = static_cast<float>(1. / (1 << S.level));
  for (int k = 0; k < N; ++k) {
    Lane& ln = lanes[k];
    ln.idx = k < n ? idx[k] : -1;
    if (ln.idx < 0)
      continue;
    const int i = ln.idx;
    float px = P.prevPts[2 * i] * scale, py = P.prevPts[2 * i + 1] * scale;
    if (S.level == S.maxLevel) {
      if (S.useInitialFlow) {
        ln.nx = P.nextPts[2 * i] * scale;
        ln.ny = P.nextPts[2 * i + 1] * scale;
      } else {
        ln.nx = px;
        ln.ny = py;
      }
    } else {
      ln.nx = P.nextPts[2 * i] * 2.f;
      ln.ny = P.nextPts[2 * i + 1] * 2.f;
    }
    P.nextPts[2 * i] = ln.nx;
    P.nextPts[2 * i + 1] = ln.ny;
    px -= kHalfWin;
    py -= kHalfWin;
    ln.ix = Floor(px);
    ln.iy = Floor(py);
    if (Outside(ln.ix, ln.iy, L)) {
      if (S.level == 0) {
        P.status[i] = 0;
        P.err[i] = 0;
      }
      continue;
    }
    ln.w = MakeWeights(px - static_cast<float>(ln.ix), py - static_cast<float>(ln.iy));
    ln.live = true;
  }
  for (int k = 0; k < N; ++k)
    use[k] = lanes[k].live;
  Window<V> w;
  if (!Aim<V>(lanes, use, L.prev, L.prevStep, L.deriv, L.derivStep, &w))
    return;
  bool whole = true;
  for (int k = 0; k < N; ++k)
    whole = whole && (!use[k] || OnWholePixel(lanes[k].w));
  alignas(64) Patch<V> patch;
  Sums<V> q11, q12, q22, tail;
  if (whole)
    ExtractPatch<V, true>(L, w, &patch, &q11, &q12, &q22, &tail);
  else
    ExtractPatch<V, false>(L, w, &patch, &q11, &q12, &q22, &tail);

  for (int h = 0; h < N; ++h) {
    Lane& ln = lanes[h];
    if (!ln.live)
      continue;
    float iA11 = tail.a[4 * h], iA12 = tail.a[4 * h + 1], iA22 = tail.a[4 * h + 2];
    iA11 += ReduceSum(q11.a + 4 * h);
    iA12 += ReduceSum(q12.a + 4 * h);
    iA22 += ReduceSum(q22.a + 4 * h);
    ln.A11 = iA11 * kFltScale;
    ln.A12 = iA12 * kFltScale;
    ln.A22 = iA22 * kFltScale;
    const float A11 = ln.A11, A12 = ln.A12, A22 = ln.A22;
    const float D = A11 * A22 - A12 * A12;
    const float minEig = (A22 + A11 - std::sqrt((A11 - A22) * (A11 - A22) + 4.f * A12 * A12)) /
                         (2 * kWindow * kWindow);
    if (minEig < S.minEigThreshold || D < FLT_EPSILON) {
      if (S.level == 0)
        P.status[ln.idx] = 0;
      ln.live = false;
      continue;
    }
    ln.D = 1.f / D;
    ln.nx -= kHalfWin;
    ln.ny -= kHalfWin;
  }

  for (int j = 0; j < S.maxCount; ++j) {
    for (Lane& ln : lanes) {
      if (!ln.live)
        continue;
      ln.ix = Floor(ln.nx);
      ln.iy = Floor(ln.ny);
      if (Outside(ln.ix, ln.iy, L)) {
        if (S.level == 0)
          P.status[ln.idx] = 0;
        ln.live = false;
        continue;
      }
      ln.w = MakeWeights(ln.nx - static_cast<float>(ln.ix), ln.ny - static_cast<float>(ln.iy));
    }
    for (int k = 0; k < N; ++k)
      use[k] = lanes[k].live;
    if (!Aim<V>(lanes, use, L.next, L.nextStep, nullptr, 0, &w))
      break;
    Sums<V> qb, tb;
    Mismatch<V>(L, w, patch, &qb, &tb);
    for (int h = 0; h < N; ++h) {
      Lane& ln = lanes[h];
      if (!ln.live)
        continue;
      const float* s = qb.a + 4 * h;
      float ib1 = tb.a[4 * h], ib2 = tb.a[4 * h + 1];
      ib1 += (s[0] + 0.f) + (s[2] + 0.f);
      ib2 += (s[1] + 0.f) + (s[3] + 0.f);
      const float b1 = ib1 * kFltScale, b2 = ib2 * kFltScale;
      const float dx = (ln.A12 * b2 - ln.A22 * b1) * ln.D;
      const float dy = (ln.A12 * b1 - ln.A11 * b2) * ln.D;
      ln.nx += dx;
      ln.ny += dy;
      float* out = P.nextPts + 2 * ln.idx;
      out[0] = ln.nx + kHalfWin;
      out[1] = ln.ny + kHalfWin;
      if (static_cast<double>(dx) * dx + static_cast<double>(dy) * dy <= S.epsilon) {
        ln.live = false;
        continue;
      }
      if (j > 0 && std::abs(dx + ln.pdx) < 0.01 && std::abs(dy + ln.pdy) < 0.01) {
        out[0] -= dx * 0.5f;
        out[1] -= dy * 0.5f;
        ln.live = false;
        continue;
      }
      ln.pdx = dx;
      ln.pdy = dy;
    }
  }

  if (S.level != 0)
    return;
  // The mean absolute difference at the final position.
  for (int h = 0; h < N; ++h) {
    Lane& ln = lanes[h];
    use[h] = false;
    if (ln.idx < 0 || !P.status[ln.idx])
      continue;
    const float nx = P.nextPts[2 * ln.idx] - kHalfWin, ny = P.nextPts[2 * ln.idx + 1] - kHalfWin;
    ln.ix = Floor(nx);
    ln.iy = Floor(ny);
    if (Outside(ln.ix, ln.iy, L)) {
      P.status[ln.idx] = 0;
      continue;
    }
    ln.w = MakeWeights(nx - static_cast<float>(ln.ix), ny - static_cast<float>(ln.iy));
    use[h] = true;
  }
  if (!Aim<V>(lanes, use, L.next, L.nextStep, nullptr, 0, &w))
    return;
  int sums[N];
  AbsDifference<V>(L, w, patch, sums);
  for (int h = 0; h < N; ++h) {
    if (!use[h])
      continue;
    const float errval = static_cast<float>(sums[h]);
    P.err[lanes[h].idx] = errval * 1.f / (32 * kWindow * kChannels * kWindow);
  }
}

template <class V>
void TrackLevel(const LevelData& level, const LevelSettings& settings, const PointData& points,
                int begin, int end) {
  for (int i = begin; i < end; i += V::kLanes) {
    const int n = end - i < V::kLanes ? end - i : V::kLanes;
    TrackGroup<V>(level, settings, points, points.order + i, n);
  }
}
