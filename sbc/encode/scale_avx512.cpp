// Scale factors and joint stereo in one pass over the frame, 16 samples per AVX-512 register.
// Compiled with -mavx512f -mavx512dq and called only when the processor has both. The rules are
// those of scale.cpp; only the way of computing them differs.
//
// 16 consecutive samples of a row are 2 blocks × 8 bands (or 4 blocks × 4 bands), so lane l
// always carries band l mod M and a running maximum per lane folds into a maximum per band:
//
//   per 16 samples   L, R ──► mid = (L + R) × 0.5, side = (L − R) × 0.5   (into sb_sample_ms)
//                    max|L|, max|R|, max|mid|, max|side|   (vrangeps: larger magnitude, no sign)
//   after the pass   fold lanes into band maxima ──► scale factors from the exponent bits
//                    join = sf L + sf R > sf mid + sf side, as a lane mask
//                    clamp the rows whose maximum exceeds the bound (rare)
//                    joined bands: masked stores of mid/side over left/right
//
// The rows are walked in whole 64-byte lines, wherever the workspace lies: a load that
// straddles two lines costs twice. Every row of the workspace starts a multiple of 64 bytes
// from the others, so they share one skew (floats from a line start to the row start), the
// first and last chunk are masked to the row, and lane l carries band (l − skew) mod M.
//
// Mid and side in single precision. The plain path forms them in double and rounds once:
// single((double(L) + double(R)) × 0.5). Here: (L + R) × 0.5f in single. For finite L, R with
// |L|, |R| < 2^126 the two are equal, bit for bit (±0 included; same for L − R = L + (−R)):
// let |L| >= |R|, e = exponent of L minus exponent of R, s = L + R exactly.
//  - e <= 28: s spans at most e + 25 <= 53 bits, so the double sum is s itself and s × 0.5 is
//    exact in double: the plain path gives single(s / 2). If |s| < 2^-125, s (a multiple of
//    2^-149) fits a single, so single(s) = s and single(s) × 0.5f = single(s / 2). Otherwise
//    s / 2 is at least 2^-126 (normal), where halving commutes with rounding and single(s) ×
//    0.5f is exact: again single(s / 2). |s| < 2^127, so single(s) is finite.
//  - e >= 29: |R| < 2^-28 |L| is less than a sixteenth of L's single ulp (even of the smaller
//    ulp just below a power of two), so s and the double sum both lie within less than half an
//    ulp of L: single(s) = L and the double sum rounds to L / 2 after halving (L is normal here,
//    exponent >= -120). Both give L × 0.5 exactly.
// ScaleAndJoin.VectorPathMatchesPlainOnEdgeValues compares the two over such values.
#if defined(__x86_64__) || defined(_M_X64)
#include "sbc/encode/scale.h"
#include "sbc/encode/scale_simd.h"

#include <cstddef>
#include <cstdint>
#include <immintrin.h>

namespace sbc {

namespace {

constexpr int32_t lanes = 16;
constexpr int larger_magnitude = 0b1011; // vrangeps: bits 1:0 = 11 max |.|, 3:2 = 10 sign off
constexpr __mmask16 all = 0xFFFF;
constexpr size_t line = 64;

static_assert((offsetof(FrameWorkspace, sb_sample_ms) - offsetof(FrameWorkspace, sb_sample)) %
                      line ==
                  0 &&
              sizeof(SampleRow) % line == 0);

// Zero-masked forms with every lane selected: the plain ones start from an "undefined"
// register, which GCC 12 reports as uninitialised.
__m512 max_of(__m512 a, __m512 b) {
    return _mm512_maskz_max_ps(all, a, b);
}
__m512 min_of(__m512 a, __m512 b) {
    return _mm512_maskz_min_ps(all, a, b);
}

__mmask16 lanes_below(int32_t n) {
    if (n <= 0) return 0;
    return n >= lanes ? all : static_cast<__mmask16>((1u << n) - 1);
}

// Chunk k of a row covers row indices 16k − skew .. 16k − skew + 15.
struct Walk {
    int32_t skew;
    int32_t count;
    int32_t chunks;

    Walk(const float* row, int32_t samples)
        : skew(static_cast<int32_t>(reinterpret_cast<uintptr_t>(row) % line / sizeof(float))),
          count(samples), chunks((skew + samples + lanes - 1) / lanes) {}

    __mmask16 mask(int32_t k) const {
        const int32_t first = k * lanes - skew;
        return static_cast<__mmask16>(~lanes_below(-first) & lanes_below(count - first));
    }
    // The chunk's line (addresses before a row's first line are never touched: masked).
    static float* at(float* row, int32_t first) {
        return reinterpret_cast<float*>(
            reinterpret_cast<uintptr_t>(row) +
            static_cast<uintptr_t>(static_cast<intptr_t>(first) *
                                   static_cast<intptr_t>(sizeof(float))));
    }
    float* chunk(float* row, int32_t k) const { return at(row, k * lanes - skew); }
};

__m512 load(const Walk& w, float* row, int32_t k, __mmask16 m) {
    return m == all ? _mm512_load_ps(w.chunk(row, k)) : _mm512_maskz_load_ps(m, w.chunk(row, k));
}

void store(const Walk& w, float* row, int32_t k, __mmask16 m, __m512 v) {
    if (m == all)
        _mm512_store_ps(w.chunk(row, k), v);
    else
        _mm512_mask_store_ps(w.chunk(row, k), m, v);
}

// "|x| > m ? |x| : m" for a non-negative m and finite x.
__m512 keep_larger(__m512 x, __m512 m) {
    return _mm512_range_ps(x, m, larger_magnitude);
}

// Every lane ends up holding the maximum of its band over all 16 lanes; then lane b takes
// the lane that carries band b.
__m512 band_maxima(__m512 m, int32_t subbands, int32_t skew) {
    m = max_of(m, _mm512_maskz_shuffle_f32x4(all, m, m, 0b01001110)); // 8 lanes apart
    if (subbands == 4) m = max_of(m, _mm512_maskz_shuffle_f32x4(all, m, m, 0b10110001));
    const __m512i from = _mm512_and_si512(
        _mm512_add_epi32(_mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                         _mm512_set1_epi32(skew)),
        _mm512_set1_epi32(lanes - 1));
    return _mm512_maskz_permutexvar_ps(all, from, m);
}

// As the plain path: the exponent of min(max, bound), less one for a power of two, 0 up to 2.0.
__m512i scale_factors_of(__m512 largest) {
    const __m512 m = min_of(largest, _mm512_set1_ps(SAMPLE_BOUND));
    const __m512i bits = _mm512_castps_si512(m);
    const __m512i exponent =
        _mm512_sub_epi32(_mm512_maskz_srli_epi32(all, bits, 23), _mm512_set1_epi32(127));
    const __mmask16 power_of_two = _mm512_testn_epi32_mask(bits, _mm512_set1_epi32(0x7FFFFF));
    const __m512i j = _mm512_mask_sub_epi32(exponent, power_of_two, exponent, _mm512_set1_epi32(1));
    const __m512 smallest = _mm512_set1_ps(scale_factor_value[0]);
    return _mm512_maskz_mov_epi32(_mm512_cmp_ps_mask(m, smallest, _CMP_GT_OQ), j);
}

bool exceeds_bound(__m512 largest) {
    return _mm512_cmp_ps_mask(largest, _mm512_set1_ps(SAMPLE_BOUND), _CMP_GT_OQ) != 0;
}

// "B < x ? B : x", then "−B > x ? −B : x": minps/maxps return their second operand on a NaN.
void clamp_row(const Walk& w, float* row) {
    const __m512 bound = _mm512_set1_ps(SAMPLE_BOUND), low = _mm512_set1_ps(-SAMPLE_BOUND);
    for (int32_t k = 0; k < w.chunks; ++k) {
        const __mmask16 m = w.mask(k);
        store(w, row, k, m, max_of(low, min_of(bound, load(w, row, k, m))));
    }
}

void store_bands(SubbandRow& row, int32_t subbands, __m512i v) {
    _mm512_mask_storeu_epi32(row.data(), lanes_below(subbands), v);
}

} // namespace

void scale_channel_avx512(SampleRow& row, SubbandRow& scale_factor, int32_t subbands,
                          int32_t count) {
    const Walk w(row.data(), count);
    __m512 m = _mm512_setzero_ps();
    for (int32_t k = 0; k < w.chunks; ++k) m = keep_larger(load(w, row.data(), k, w.mask(k)), m);
    const __m512 largest = band_maxima(m, subbands, w.skew);
    store_bands(scale_factor, subbands, scale_factors_of(largest));
    if (exceeds_bound(largest)) clamp_row(w, row.data());
}

namespace {

struct JointRows {
    float* left;
    float* right;
    float* mid;
    float* side;
};

// Mid/side of one chunk into the mid/side rows, and the four running maxima.
struct JointMaxima {
    __m512 left = _mm512_setzero_ps(), right = left, mid = left, side = left;
};

void mid_side_step(const Walk& w, const JointRows& rows, int32_t k, __mmask16 m,
                   JointMaxima& largest) {
    const __m512 half = _mm512_set1_ps(0.5f);
    const __m512 l = load(w, rows.left, k, m), r = load(w, rows.right, k, m);
    const __m512 mid = _mm512_mul_ps(_mm512_add_ps(l, r), half);
    const __m512 side = _mm512_mul_ps(_mm512_sub_ps(l, r), half);
    store(w, rows.mid, k, m, mid);
    store(w, rows.side, k, m, side);
    largest.left = keep_larger(l, largest.left);
    largest.right = keep_larger(r, largest.right);
    largest.mid = keep_larger(mid, largest.mid);
    largest.side = keep_larger(side, largest.side);
}

// The lanes of a chunk that carry the bands set in `bands`.
__mmask16 chunk_lanes(uint32_t bands, int32_t subbands, int32_t skew) {
    const uint32_t pattern = subbands == 8 ? bands * 0x0101u : bands * 0x1111u;
    return static_cast<__mmask16>((pattern << skew | pattern >> (lanes - skew)) & all);
}

} // namespace

void scale_joint_avx512(FrameWorkspace& ws, int32_t subbands, int32_t count) {
    const JointRows rows = {ws.sb_sample[0].data(), ws.sb_sample[1].data(),
                            ws.sb_sample_ms[0].data(), ws.sb_sample_ms[1].data()};
    const Walk w(rows.left, count);
    JointMaxima m;
    for (int32_t k = 0; k < w.chunks; ++k) mid_side_step(w, rows, k, w.mask(k), m);

    const __m512 largest[4] = {
        band_maxima(m.left, subbands, w.skew), band_maxima(m.right, subbands, w.skew),
        band_maxima(m.mid, subbands, w.skew), band_maxima(m.side, subbands, w.skew)};
    const __m512i sf_left = scale_factors_of(largest[0]), sf_right = scale_factors_of(largest[1]);
    const __m512i sf_mid = scale_factors_of(largest[2]), sf_side = scale_factors_of(largest[3]);
    const __mmask16 join = _mm512_cmpgt_epi32_mask(_mm512_add_epi32(sf_left, sf_right),
                                                   _mm512_add_epi32(sf_mid, sf_side)) &
                           lanes_below(subbands - 1);
    store_bands(ws.join, subbands, _mm512_maskz_mov_epi32(join, _mm512_set1_epi32(1)));
    store_bands(ws.scale_factor[0], subbands, _mm512_mask_blend_epi32(join, sf_left, sf_mid));
    store_bands(ws.scale_factor[1], subbands, _mm512_mask_blend_epi32(join, sf_right, sf_side));
    store_bands(ws.scale_factor_ms[0], subbands, sf_mid);
    store_bands(ws.scale_factor_ms[1], subbands, sf_side);

    float* const all_rows[4] = {rows.left, rows.right, rows.mid, rows.side};
    for (int32_t r = 0; r < 4; ++r)
        if (exceeds_bound(largest[r])) clamp_row(w, all_rows[r]);
    if (join == 0) return;
    const __mmask16 joined = chunk_lanes(join, subbands, w.skew);
    for (int32_t k = 0; k < w.chunks; ++k) {
        const __mmask16 mk = joined & w.mask(k);
        _mm512_mask_store_ps(w.chunk(rows.left, k), mk,
                             _mm512_maskz_load_ps(mk, w.chunk(rows.mid, k)));
        _mm512_mask_store_ps(w.chunk(rows.right, k), mk,
                             _mm512_maskz_load_ps(mk, w.chunk(rows.side, k)));
    }
}

} // namespace sbc
#endif
