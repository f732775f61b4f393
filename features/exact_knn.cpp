#include "features/exact_knn.hpp"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>
#endif
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <cpuid.h>
#include <immintrin.h>
#define EXACTKNN_HAVE_X86 1
#else
#define EXACTKNN_HAVE_X86 0
#endif

namespace exactknn {
namespace {

constexpr int kNeighbours = 2;
// Largest descriptor element the integer search takes: a whole number in
// [0, 255] squared and summed over 256 columns stays below 2^24, where float
// sums of whole numbers are exact.
constexpr float kMaxElement = 255.0f;
constexpr int kMaxColumns = 256;

bool IsByteAsWholeNumber(float v) {
  // Written so that NaN fails too.
  return v >= 0.0f && v <= kMaxElement && std::floor(v) == v;
}

// Both descriptor sets are checked in full before every search, four
// elements at a time where SSE2 is there.
bool HoldsBytesAsWholeNumbers(const cv::Mat& m) {
  for (int r = 0; r < m.rows; ++r) {
    const float* row = m.ptr<float>(r);
    int c = 0;
#if defined(__SSE2__)
    const __m128 zero = _mm_setzero_ps();
    const __m128 most = _mm_set1_ps(kMaxElement);
    __m128 whole = _mm_castsi128_ps(_mm_set1_epi32(-1));
    for (; c + 4 <= m.cols; c += 4) {
      const __m128 v = _mm_loadu_ps(row + c);
      // Clamped first (max takes its second operand for NaN), so the
      // conversion is exact; v equals its clamped whole number only if v is
      // a whole number in range, and NaN equals nothing.
      const __m128 clamped = _mm_min_ps(_mm_max_ps(v, zero), most);
      whole = _mm_and_ps(whole, _mm_cmpeq_ps(_mm_cvtepi32_ps(_mm_cvttps_epi32(clamped)), v));
    }
    if (_mm_movemask_ps(whole) != 0xF)
      return false;
#endif
    for (; c < m.cols; ++c) {
      if (!IsByteAsWholeNumber(row[c]))
        return false;
    }
  }
  return true;
}

bool ProcessorHasAvx2() {
#if EXACTKNN_HAVE_X86
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

bool ProcessorHasAvx512Vnni() {
#if EXACTKNN_HAVE_X86
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vnni");
#else
  return false;
#endif
}

// AMX tiles need the processor's AMX-TILE and AMX-INT8 and, on Linux, the
// process's permission to use the tile state; a kernel without AMX support
// refuses it.
bool AmxTileDataPermitted() {
#if defined(__linux__) && defined(SYS_arch_prctl)
  constexpr int kRequestPermission = 0x1023;  // ARCH_REQ_XCOMP_PERM
  constexpr int kTileData = 18;               // XFEATURE_XTILEDATA
  return syscall(SYS_arch_prctl, kRequestPermission, kTileData) == 0;
#else
  return false;
#endif
}

// Asked once (and the permission with it): under a hypervisor each CPUID is
// a costly exit.
bool ProcessorHasAmxInt8() {
#if EXACTKNN_HAVE_X86
  static const bool has = [] {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx))
      return false;
    constexpr unsigned kAmxTile = 1u << 24, kAmxInt8 = 1u << 25;
    return (edx & kAmxTile) != 0 && (edx & kAmxInt8) != 0 && ProcessorHasAvx512Vnni() &&
           AmxTileDataPermitted();
  }();
  return has;
#else
  return false;
#endif
}

void KnnMatch2ByBruteForce(const cv::Mat& query, const cv::Mat& train,
                           std::vector<std::vector<cv::DMatch>>* matches) {
  cv::BFMatcher matcher(cv::NORM_L2, false);
  matcher.knnMatch(query, train, *matches, kNeighbours, cv::noArray(), false);
}

// The two best train rows of one query so far, kept with the brute-force
// matcher's own update: a row enters only if its distance is strictly below
// the second best, and goes in front of the best only if strictly below it,
// so equal distances keep the lower train row first. squared[] are the exact
// integer squared distances behind dist[].
struct NeighbourPair {
  float dist[kNeighbours] = {FLT_MAX, FLT_MAX};
  int idx[kNeighbours] = {-1, -1};
  int32_t squared[kNeighbours] = {INT32_MAX, INT32_MAX};

  // Offers the rows trainRow0 + lane for each set bit of lanes, in lane
  // order; squared[lane] is that row's squared distance.
  void OfferLanes(const int32_t* squared, uint32_t lanes, int trainRow0) {
    while (lanes != 0) {
      const int lane = __builtin_ctz(lanes);
      lanes &= lanes - 1;
      Offer(squared[lane], trainRow0 + lane);
    }
  }

  void Offer(int32_t squaredDistance, int trainRow) {
    // sqrtf of the exact integer: what the matcher computes for these rows.
    const float d = std::sqrt(static_cast<float>(squaredDistance));
    if (!(d < dist[1]))
      return;
    if (dist[0] > d) {
      dist[1] = dist[0];
      idx[1] = idx[0];
      squared[1] = squared[0];
      dist[0] = d;
      idx[0] = trainRow;
      squared[0] = squaredDistance;
    } else {
      dist[1] = d;
      idx[1] = trainRow;
      squared[1] = squaredDistance;
    }
  }
};

#if EXACTKNN_HAVE_X86

// The walk the kernels share: each thread takes panels of
// QueryBlocksPerPanel micro-blocks of query rows and, for each panel, walks
// the train blocks in tiles of TrainBlocksPerTile (kept in L2) in ascending
// order, so every query is offered the train rows in row order.
// microBlock(queryRow0, trainBlock, pairs) offers one block of train rows to
// the QueryRowsPerBlock queries starting at queryRow0. A ThreadScope lives
// on each thread while it walks (the state a kernel sets up per thread).
template <int QueryRowsPerBlock, int QueryBlocksPerPanel, int TrainBlocksPerTile,
          typename ThreadScope, typename MicroBlock>
std::vector<NeighbourPair> SearchInPanels(int queryRows, int trainBlocks,
                                          const MicroBlock& microBlock) {
  constexpr int kRowsPerPanel = QueryRowsPerBlock * QueryBlocksPerPanel;
  const int panels = (queryRows + kRowsPerPanel - 1) / kRowsPerPanel;
  std::vector<NeighbourPair> nearest(static_cast<size_t>(queryRows));
  cv::parallel_for_(cv::Range(0, panels), [&](const cv::Range& range) {
    [[maybe_unused]] const ThreadScope scope;
    for (int panel = range.start; panel < range.end; ++panel) {
      const int firstRow = panel * kRowsPerPanel;
      NeighbourPair pairs[kRowsPerPanel];
      for (int tile = 0; tile < trainBlocks; tile += TrainBlocksPerTile) {
        const int tileEnd = std::min(trainBlocks, tile + TrainBlocksPerTile);
        for (int qb = 0; qb < QueryBlocksPerPanel; ++qb) {
          const int queryRow0 = firstRow + qb * QueryRowsPerBlock;
          if (queryRow0 >= queryRows)
            break;
          for (int tb = tile; tb < tileEnd; ++tb) {
            microBlock(queryRow0, tb, pairs + qb * QueryRowsPerBlock);
          }
        }
      }
      const int rowsHere = std::min(kRowsPerPanel, queryRows - firstRow);
      for (int r = 0; r < rowsHere; ++r)
        nearest[static_cast<size_t>(firstRow + r)] = pairs[r];
    }
  });
  return nearest;
}

// Rows packed for an integer kernel whose 32-bit lanes each take kGroup adjacent
// columns: Value is the element type, columns are padded with zeros to whole
// groups (and the groups to a multiple the kernel reads at once). One layout
// serves all kernels (16-bit pairs, 8-bit quads).
template <typename Value>
struct Packed {
  static constexpr int kGroup = static_cast<int>(sizeof(int32_t) / sizeof(Value));
  int rows = 0;    // real rows
  int groups = 0;  // column groups per row
  std::vector<Value> values;
  std::vector<int32_t> squaredNorms;  // per real row
  std::vector<int32_t> sums;          // per real row (query side only)

  size_t Stride() const { return static_cast<size_t>(groups) * kGroup; }
  // Group p of query row r: the 32-bit lane it fills.
  int32_t QueryLane(int r, int p) const {
    int32_t lane;
    const Value* row = values.data() + static_cast<size_t>(r) * Stride();
    std::memcpy(&lane, row + static_cast<size_t>(p) * kGroup, sizeof(lane));
    return lane;
  }
  // The first value of train block b, rowsPerBlock rows interleaved.
  const Value* TrainBlock(int b, int rowsPerBlock) const {
    return values.data() + static_cast<size_t>(b) * Stride() * static_cast<size_t>(rowsPerBlock);
  }
};

// Whole groups of Group columns for cols columns, rounded up to a multiple.
int GroupsFor(int cols, int group, int multiple) {
  const int groups = (cols + group - 1) / group;
  return (groups + multiple - 1) / multiple * multiple;
}

// Query rows one after another (padded to paddedRows with zero rows), each
// Group * groups values, zeros past the last column.
template <typename Value>
void PackQueryRows(const cv::Mat& query, int paddedRows, int groupsMultiple, Packed<Value>* out) {
  constexpr int Group = Packed<Value>::kGroup;
  out->rows = query.rows;
  out->groups = GroupsFor(query.cols, Group, groupsMultiple);
  const size_t stride = static_cast<size_t>(out->groups) * Group;
  out->values.assign(static_cast<size_t>(paddedRows) * stride, 0);
  out->squaredNorms.assign(static_cast<size_t>(query.rows), 0);
  out->sums.assign(static_cast<size_t>(query.rows), 0);
  for (int r = 0; r < query.rows; ++r) {
    const float* src = query.ptr<float>(r);
    Value* dst = out->values.data() + static_cast<size_t>(r) * stride;
    int32_t norm = 0;
    int32_t sum = 0;
    for (int c = 0; c < query.cols; ++c) {
      const int v = static_cast<int>(src[c]);
      dst[c] = static_cast<Value>(v);
      norm += v * v;
      sum += v;
    }
    out->squaredNorms[static_cast<size_t>(r)] = norm;
    out->sums[static_cast<size_t>(r)] = sum;
  }
}

// Train rows in blocks of RowsPerBlock, interleaved by column group: for
// block b and group p, RowsPerBlock * Group values (row 0's group p, row 1's,
// ...), each value stored as v - Offset (modulo the width of Value). Missing
// rows and columns stay zero.
template <typename Value, int RowsPerBlock, int Offset>
void PackTrainRows(const cv::Mat& train, int blocks, int groupsMultiple, Packed<Value>* out) {
  constexpr int Group = Packed<Value>::kGroup;
  out->rows = train.rows;
  out->groups = GroupsFor(train.cols, Group, groupsMultiple);
  const size_t blockSize = static_cast<size_t>(out->groups) * Group * RowsPerBlock;
  out->values.assign(static_cast<size_t>(blocks) * blockSize, 0);
  out->squaredNorms.assign(static_cast<size_t>(train.rows), 0);
  for (int r = 0; r < train.rows; ++r) {
    const float* src = train.ptr<float>(r);
    Value* block = out->values.data() + static_cast<size_t>(r / RowsPerBlock) * blockSize;
    const int lane = r % RowsPerBlock;
    int32_t norm = 0;
    for (int c = 0; c < train.cols; ++c) {
      const int v = static_cast<int>(src[c]);
      block[static_cast<size_t>(c / Group) * Group * RowsPerBlock + lane * Group + c % Group] =
          static_cast<Value>(v - Offset);
      norm += v * v;
    }
    out->squaredNorms[static_cast<size_t>(r)] = norm;
  }
}

// Packs both matrices in a kernel's layout and walks them in panels.
// Kernel names the layout (Value, kTrainOffset, kGroupsMultiple and the
// blocking constants), its per-thread ThreadScope and the micro-kernel:
// MicroBlock(query, train, queryRow0, trainBlock, pairs) offers one block of
// train rows to the kQueryRowsPerBlock queries starting at queryRow0.
template <typename Kernel>
std::vector<NeighbourPair> PackAndSearch(const cv::Mat& query, const cv::Mat& train) {
  constexpr int kPanelRows = Kernel::kQueryRowsPerBlock * Kernel::kQueryBlocksPerPanel;
  const int panels = (query.rows + kPanelRows - 1) / kPanelRows;
  const int trainBlocks =
      (train.rows + Kernel::kTrainRowsPerBlock - 1) / Kernel::kTrainRowsPerBlock;
  using Value = typename Kernel::Value;
  Packed<Value> packedQuery;
  Packed<Value> packedTrain;
  PackQueryRows<Value>(query, panels * kPanelRows, Kernel::kGroupsMultiple, &packedQuery);
  PackTrainRows<Value, Kernel::kTrainRowsPerBlock, Kernel::kTrainOffset>(
      train, trainBlocks, Kernel::kGroupsMultiple, &packedTrain);
  return SearchInPanels<Kernel::kQueryRowsPerBlock, Kernel::kQueryBlocksPerPanel,
                        Kernel::kTrainBlocksPerTile, typename Kernel::ThreadScope>(
      query.rows, trainBlocks, [&](int queryRow0, int trainBlock, NeighbourPair* pairs) {
        Kernel::MicroBlock(packedQuery, packedTrain, queryRow0, trainBlock, pairs);
      });
}

// Kernels that keep no state per thread.
struct NoThreadState {};

// The 16-bit kernel (AVX2): adjacent column pairs feed one multiply-add
// lane; train blocks of 16 rows are two 256-bit vectors of 8 rows. A
// micro-block is 4 query rows against 16 train rows; a thread takes a panel
// of 64 query rows and walks the train rows in tiles of 256 (64 KiB of
// packed rows, resident in L2) in ascending order, so every query sees the
// train rows in row order.
struct Avx2Kernel {
  using Value = int16_t;
  using ThreadScope = NoThreadState;
  static constexpr int kTrainOffset = 0;
  static constexpr int kGroupsMultiple = 1;
  static constexpr int kQueryRowsPerBlock = 4;
  static constexpr int kTrainRowsPerBlock = 16;
  static constexpr int kQueryBlocksPerPanel = 16;
  static constexpr int kTrainBlocksPerTile = 16;
  __attribute__((target("avx2"))) static void MicroBlock(const Packed<int16_t>& query,
                                                         const Packed<int16_t>& train,
                                                         int queryRow0, int trainBlock,
                                                         NeighbourPair* pairs);
};

// Exact squared distances |q|^2 + |t|^2 - 2 q.t of 4 query rows against one
// block of 16 train rows, offered to the queries' neighbour pairs in train
// row order. Rows past the real ones (padding) are never offered.
__attribute__((target("avx2"))) void Avx2Kernel::MicroBlock(const Packed<int16_t>& query,
                                                            const Packed<int16_t>& train,
                                                            int queryRow0, int trainBlock,
                                                            NeighbourPair* pairs) {
  const int16_t* t = train.TrainBlock(trainBlock, kTrainRowsPerBlock);
  __m256i acc[kQueryRowsPerBlock][2];
  for (auto& a : acc)
    a[0] = a[1] = _mm256_setzero_si256();
  for (int p = 0; p < query.groups; ++p) {
    const __m256i t0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(t));
    const __m256i t1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(t + 16));
    t += 2 * kTrainRowsPerBlock;
    for (int r = 0; r < kQueryRowsPerBlock; ++r) {
      const __m256i b = _mm256_set1_epi32(query.QueryLane(queryRow0 + r, p));
      acc[r][0] = _mm256_add_epi32(acc[r][0], _mm256_madd_epi16(b, t0));
      acc[r][1] = _mm256_add_epi32(acc[r][1], _mm256_madd_epi16(b, t1));
    }
  }

  const int trainRow0 = trainBlock * kTrainRowsPerBlock;
  const int realTrainRows = std::min(kTrainRowsPerBlock, train.rows - trainRow0);
  const unsigned realRowsMask = (1u << realTrainRows) - 1u;
  const int32_t* trainNorms = train.squaredNorms.data() + trainRow0;
  alignas(32) int32_t paddedNorms[kTrainRowsPerBlock] = {};
  std::memcpy(paddedNorms, trainNorms, sizeof(int32_t) * static_cast<size_t>(realTrainRows));
  const __m256i tn0 = _mm256_load_si256(reinterpret_cast<const __m256i*>(paddedNorms));
  const __m256i tn1 = _mm256_load_si256(reinterpret_cast<const __m256i*>(paddedNorms + 8));

  for (int r = 0; r < kQueryRowsPerBlock; ++r) {
    const int queryRow = queryRow0 + r;
    if (queryRow >= query.rows)
      break;
    NeighbourPair& pair = pairs[r];
    const __m256i qn = _mm256_set1_epi32(query.squaredNorms[static_cast<size_t>(queryRow)]);
    alignas(32) int32_t squared[kTrainRowsPerBlock];
    const __m256i d0 = _mm256_sub_epi32(_mm256_add_epi32(qn, tn0), _mm256_slli_epi32(acc[r][0], 1));
    const __m256i d1 = _mm256_sub_epi32(_mm256_add_epi32(qn, tn1), _mm256_slli_epi32(acc[r][1], 1));
    // sqrtf is monotonic, so only a squared distance strictly below the
    // second best's can give a distance strictly below it.
    const __m256i limit = _mm256_set1_epi32(pair.squared[1]);
    const unsigned below =
        static_cast<unsigned>(
            _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(limit, d0)))) |
        (static_cast<unsigned>(
             _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(limit, d1))))
         << 8);
    unsigned candidates = below & realRowsMask;
    if (candidates == 0)
      continue;
    _mm256_store_si256(reinterpret_cast<__m256i*>(squared), d0);
    _mm256_store_si256(reinterpret_cast<__m256i*>(squared + 8), d1);
    pair.OfferLanes(squared, candidates, trainRow0);
  }
}

// The same search with 8-bit dot products (AVX-512 VNNI): four times the
// products per instruction of the 16-bit kernel. vpdpbusd multiplies unsigned
// by signed bytes, so train rows are stored as t - 128 and the query's
// 128 * sum(q) is added back: q.t = q.(t - 128) + 128 * sum(q), exactly.
// Padding columns meet zero query bytes and padding rows are never offered,
// so what they hold does not matter.
#define EXACTKNN_VNNI_TARGET __attribute__((target("avx512f,avx512bw,avx512vnni")))

struct VnniKernel {
  using Value = uint8_t;
  using ThreadScope = NoThreadState;
  static constexpr int kTrainOffset = 128;
  static constexpr int kGroupsMultiple = 1;
  static constexpr int kQueryRowsPerBlock = 8;
  static constexpr int kTrainRowsPerBlock = 32;  // two 512-bit vectors of 16 rows
  static constexpr int kQueryBlocksPerPanel = 8;
  static constexpr int kTrainBlocksPerTile = 16;  // 512 train rows, 64 KiB at 128 columns
  EXACTKNN_VNNI_TARGET static void MicroBlock(const Packed<uint8_t>& query,
                                              const Packed<uint8_t>& train, int queryRow0,
                                              int trainBlock, NeighbourPair* pairs);
};

// One block of 32 train rows as the 8-bit kernels see it: its first row,
// the mask of its real rows and their squared norms (zero past the real
// ones), two vectors of 16 rows.
struct TrainBlockRows {
  int row0;
  uint32_t realRows;
  __m512i norms0, norms1;
};

EXACTKNN_VNNI_TARGET inline TrainBlockRows RowsOfTrainBlock(const Packed<uint8_t>& train,
                                                            int trainBlock) {
  constexpr int kRows = VnniKernel::kTrainRowsPerBlock;
  TrainBlockRows block;
  block.row0 = trainBlock * kRows;
  const int real = std::min(kRows, train.rows - block.row0);
  block.realRows = real >= 32 ? 0xffffffffu : ((1u << real) - 1u);
  alignas(64) int32_t paddedNorms[kRows] = {};
  std::memcpy(paddedNorms, train.squaredNorms.data() + block.row0,
              sizeof(int32_t) * static_cast<size_t>(real));
  block.norms0 = _mm512_load_si512(paddedNorms);
  block.norms1 = _mm512_load_si512(paddedNorms + 16);
  return block;
}

// Offers a block's train rows to one query row, given the row's products
// q.(t - 128) with the block's two halves.
EXACTKNN_VNNI_TARGET inline void OfferBlockToQuery(const Packed<uint8_t>& query, int queryRow,
                                                   const TrainBlockRows& block, __m512i dots0,
                                                   __m512i dots1, NeighbourPair* pair) {
  const size_t row = static_cast<size_t>(queryRow);
  // |q|^2 + |t|^2 - 2 (q.(t - 128) + 128 sum(q))
  const __m512i base = _mm512_set1_epi32(query.squaredNorms[row] - 256 * query.sums[row]);
  // (2x as x + x: GCC 12 warns about the undefined source of its shift.)
  const __m512i d0 =
      _mm512_sub_epi32(_mm512_add_epi32(base, block.norms0), _mm512_add_epi32(dots0, dots0));
  const __m512i d1 =
      _mm512_sub_epi32(_mm512_add_epi32(base, block.norms1), _mm512_add_epi32(dots1, dots1));
  const __m512i limit = _mm512_set1_epi32(pair->squared[1]);
  const uint32_t below = static_cast<uint32_t>(_mm512_cmpgt_epi32_mask(limit, d0)) |
                         (static_cast<uint32_t>(_mm512_cmpgt_epi32_mask(limit, d1)) << 16);
  const uint32_t candidates = below & block.realRows;
  if (candidates == 0)
    return;
  alignas(64) int32_t squared[VnniKernel::kTrainRowsPerBlock];
  _mm512_store_si512(squared, d0);
  _mm512_store_si512(squared + 16, d1);
  pair->OfferLanes(squared, candidates, block.row0);
}

// 8 query rows against one block of 32 train rows, offered in train row order.
EXACTKNN_VNNI_TARGET void VnniKernel::MicroBlock(const Packed<uint8_t>& query,
                                                 const Packed<uint8_t>& train, int queryRow0,
                                                 int trainBlock, NeighbourPair* pairs) {
  const uint8_t* t = train.TrainBlock(trainBlock, kTrainRowsPerBlock);
  __m512i acc[kQueryRowsPerBlock][2];
  for (auto& a : acc)
    a[0] = a[1] = _mm512_setzero_si512();
  for (int p = 0; p < query.groups; ++p) {
    const __m512i t0 = _mm512_loadu_si512(t);
    const __m512i t1 = _mm512_loadu_si512(t + 64);
    t += 4 * kTrainRowsPerBlock;
    for (int r = 0; r < kQueryRowsPerBlock; ++r) {
      const __m512i b = _mm512_set1_epi32(query.QueryLane(queryRow0 + r, p));
      acc[r][0] = _mm512_dpbusd_epi32(acc[r][0], b, t0);
      acc[r][1] = _mm512_dpbusd_epi32(acc[r][1], b, t1);
    }
  }
  const TrainBlockRows block = RowsOfTrainBlock(train, trainBlock);
  for (int r = 0; r < kQueryRowsPerBlock && queryRow0 + r < query.rows; ++r)
    OfferBlockToQuery(query, queryRow0 + r, block, acc[r][0], acc[r][1], pairs + r);
}

// The same products on AMX tiles, in the VNNI kernel's train layout: one
// tile instruction multiplies 16 query rows by 16 train rows over 64 columns
// (16 thousand products). A micro-block is 32 query rows against 32 train
// rows: four tiles of sums (query half, train half), two of query rows and
// two of train rows per 64 columns. Columns are padded to whole 64s.
#define EXACTKNN_AMX_TARGET __attribute__((target("avx512f,avx512bw,avx512vnni,amx-tile,amx-int8")))

struct AmxKernel {
  using Value = uint8_t;
  static constexpr int kTrainOffset = VnniKernel::kTrainOffset;
  static constexpr int kGroupsMultiple = 16;  // 64 columns: one row of a tile
  static constexpr int kQueryRowsPerBlock = 32;
  static constexpr int kTrainRowsPerBlock = VnniKernel::kTrainRowsPerBlock;
  static constexpr int kQueryBlocksPerPanel = 2;
  static constexpr int kTrainBlocksPerTile = VnniKernel::kTrainBlocksPerTile;
  static_assert(kTrainRowsPerBlock == 32, "two tiles of 16 train rows");

  // The tiles' shapes are set per thread and given back when it is done.
  struct ThreadScope {
    EXACTKNN_AMX_TARGET ThreadScope() {
      struct {
        uint8_t palette = 1;
        uint8_t startRow = 0;
        uint8_t reserved[14] = {};
        uint16_t bytesPerRow[16] = {};
        uint8_t rows[16] = {};
      } config;
      for (int tile = 0; tile < 8; ++tile) {
        config.bytesPerRow[tile] = 64;
        config.rows[tile] = 16;
      }
      // GCC 12's intrinsic tells the compiler it reads only the first 8
      // bytes; without this the rest of the stores may be dropped.
      asm volatile("" : : "r"(&config) : "memory");
      _tile_loadconfig(&config);
    }
    EXACTKNN_AMX_TARGET ~ThreadScope() { _tile_release(); }
    ThreadScope(const ThreadScope&) = delete;
    ThreadScope& operator=(const ThreadScope&) = delete;
  };

  EXACTKNN_AMX_TARGET static void MicroBlock(const Packed<uint8_t>& query,
                                             const Packed<uint8_t>& train, int queryRow0,
                                             int trainBlock, NeighbourPair* pairs);
};

EXACTKNN_AMX_TARGET void AmxKernel::MicroBlock(const Packed<uint8_t>& query,
                                               const Packed<uint8_t>& train, int queryRow0,
                                               int trainBlock, NeighbourPair* pairs) {
  // Train group p of the block: 32 rows of 4 bytes; a tile takes 16 groups
  // (64 columns) of 16 of those rows.
  constexpr size_t kTrainGroupBytes = 4 * kTrainRowsPerBlock;
  const uint8_t* t = train.TrainBlock(trainBlock, kTrainRowsPerBlock);
  const size_t queryStride = query.Stride();
  const uint8_t* q = query.values.data() + static_cast<size_t>(queryRow0) * queryStride;
  _tile_zero(0);
  _tile_zero(1);
  _tile_zero(2);
  _tile_zero(3);
  for (int p = 0; p < query.groups; p += 16) {
    const size_t column = static_cast<size_t>(p) * 4;
    _tile_loadd(4, q + column, queryStride);
    _tile_loadd(5, q + 16 * queryStride + column, queryStride);
    _tile_loadd(6, t + static_cast<size_t>(p) * kTrainGroupBytes, kTrainGroupBytes);
    _tile_loadd(7, t + static_cast<size_t>(p) * kTrainGroupBytes + 64, kTrainGroupBytes);
    _tile_dpbusd(0, 4, 6);
    _tile_dpbusd(1, 4, 7);
    _tile_dpbusd(2, 5, 6);
    _tile_dpbusd(3, 5, 7);
  }
  alignas(64) int32_t dots[kQueryRowsPerBlock][kTrainRowsPerBlock];
  constexpr size_t kDotsStride = sizeof(dots[0]);
  _tile_stored(0, &dots[0][0], kDotsStride);
  _tile_stored(1, &dots[0][16], kDotsStride);
  _tile_stored(2, &dots[16][0], kDotsStride);
  _tile_stored(3, &dots[16][16], kDotsStride);
  const TrainBlockRows block = RowsOfTrainBlock(train, trainBlock);
  for (int r = 0; r < kQueryRowsPerBlock && queryRow0 + r < query.rows; ++r) {
    OfferBlockToQuery(query, queryRow0 + r, block, _mm512_load_si512(dots[r]),
                      _mm512_load_si512(dots[r] + 16), pairs + r);
  }
}

#undef EXACTKNN_AMX_TARGET
#undef EXACTKNN_VNNI_TARGET

void StoreMatches(const std::vector<NeighbourPair>& nearest,
                  std::vector<std::vector<cv::DMatch>>* matches) {
  matches->assign(nearest.size(), std::vector<cv::DMatch>());
  for (size_t q = 0; q < nearest.size(); ++q) {
    const NeighbourPair& pair = nearest[q];
    std::vector<cv::DMatch>& out = (*matches)[q];
    for (int n = 0; n < kNeighbours && pair.idx[n] >= 0; ++n) {
      out.emplace_back(static_cast<int>(q), pair.idx[n], 0, pair.dist[n]);
    }
  }
}

#endif  // EXACTKNN_HAVE_X86

}  // namespace

bool FastSearchApplies(const cv::Mat& query, const cv::Mat& train) {
  return EXACTKNN_HAVE_X86 && !query.empty() && !train.empty() && query.dims == 2 &&
         train.dims == 2 && query.type() == CV_32F && train.type() == CV_32F &&
         query.cols == train.cols && query.cols <= kMaxColumns && ProcessorHasAvx2() &&
         HoldsBytesAsWholeNumbers(query) && HoldsBytesAsWholeNumbers(train);
}

bool KernelAvailable(Kernel kernel) {
  switch (kernel) {
    case Kernel::kWidest:
    case Kernel::kAvx2:
      return ProcessorHasAvx2();
    case Kernel::kAvx512Vnni:
      return ProcessorHasAvx512Vnni();
    case Kernel::kAmxInt8:
      return ProcessorHasAmxInt8();
  }
  return false;
}

void KnnMatch2(const cv::Mat& query, const cv::Mat& train,
               std::vector<std::vector<cv::DMatch>>* matches, Kernel kernel) {
  CV_Assert(matches != nullptr);
#if EXACTKNN_HAVE_X86
  if (FastSearchApplies(query, train) && KernelAvailable(kernel)) {
    if (kernel == Kernel::kWidest) {
      kernel = ProcessorHasAmxInt8()      ? Kernel::kAmxInt8
               : ProcessorHasAvx512Vnni() ? Kernel::kAvx512Vnni
                                          : Kernel::kAvx2;
    }
    switch (kernel) {
      case Kernel::kAmxInt8:
        StoreMatches(PackAndSearch<AmxKernel>(query, train), matches);
        return;
      case Kernel::kAvx512Vnni:
        StoreMatches(PackAndSearch<VnniKernel>(query, train), matches);
        return;
      default:
        StoreMatches(PackAndSearch<Avx2Kernel>(query, train), matches);
        return;
    }
  }
#endif
  KnnMatch2ByBruteForce(query, train, matches);
}

}  // namespace exactknn
