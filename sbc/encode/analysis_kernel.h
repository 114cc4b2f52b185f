// The filter bank's inner loop, written once over a vector "lane" type and compiled once per
// instruction set (analysis_sse2.cpp, analysis_avx2.cpp, analysis_avx512.cpp; a one-lane scalar
// copy lives in analysis.cpp). Each lane filters a different block of the frame, so lanes never
// mix and every sum keeps the order and the roundings of the plain filter:
//
//   lanes:      block j0      block j0+1   ...  block j0+G×W-1      (G groups of W lanes)
//   Y[k]   =    Σ_n X[k + 2Mn] × w[k + 2Mn]       (double, n = 0..4 in order, rounded to single)
//   folds       Y[M-c] + Y[c],  Y[3M/2+d] − Y[3M/2-d]                (single-precision add)
//   A, B        Σ_m Y'[2m] cos[l][2m],  Σ_m Y'[2m+1] cos[l][2m+1]  (double, m in order)
//   out         single(A + B), single(A − B)
//
// Samples come from a polyphase history, poly[r][q] = sample r of block q (one row per phase r,
// stored as doubles holding 16-bit values), so lane vectors are plain loads:
//
//   X_j[k + 2Mn] = poly[M-1-k][j - 2n]        k < M
//                = poly[2M-1-k][j - 2n - 1]   k >= M
//
// Two facts keep the bits of the plain filter while saving instructions:
// - Products of two single-precision values are exact in double, so mul_add may be a fused
//   multiply-add: it rounds once, exactly like the separate product and sum.
// - A fold adds two single-precision values in double and rounds the sum to single. Rounding the
//   exact sum first to double (53 bits) and then to single (24 bits) gives the exact sum rounded
//   to single, because 53 >= 2 × 24 + 2 makes the double rounding harmless (Figueroa, "When is
//   double rounding innocuous?", 1995); that is what a single-precision add computes. So the
//   folds run on single-precision vectors, and only their results are widened for the matrix.
// Y[3M/2] takes part in no fold and is not computed.
//
// Lane type V provides: dreg (W doubles), freg (W floats), width W, groups (lane groups per
// call), zero(), load(const double*), broadcast(double), mul_add(a, b, acc) = acc + a × b, add,
// sub, single(dreg) -> freg, wide(freg) -> dreg, fadd, fsub, and
// store_bands<M, G>(out, band[M][G]): the bands of G × W blocks stored block-major.
// No #pragma once and no includes: it is meant to be included inside an anonymous namespace, so
// that each instruction set's copy stays in its own file. FilterJob is in sbc/encode/analysis_simd.h.

// Y[k] of G × W blocks from j0 on, rounded to single.
template <class V, int M, int G, int K>
inline void partial_sum(const FilterJob& job, int32_t j0, typename V::freg (&y)[G]) {
    constexpr int row = K < M ? M - 1 - K : 2 * M - 1 - K;
    const double* col = job.poly + row * POLY_COLUMNS + job.first + j0 - (K < M ? 0 : 1);
#pragma GCC unroll 2
    for (int g = 0; g < G; ++g) {
        typename V::dreg acc = V::zero();
#pragma GCC unroll 5
        for (int n = 0; n < 5; ++n)
            acc = V::mul_add(V::load(col + g * V::width - 2 * n),
                             V::broadcast(job.window[K + 2 * M * n]), acc);
        y[g] = V::single(acc);
    }
}

// The 2M partial sums folded to M values, each fold made as soon as both of its terms exist.
template <class V, int M, int G, int C = 0>
inline void fold_even(const FilterJob& job, int32_t j0, typename V::freg (&folded)[M][G]) {
    if constexpr (C < M / 2) {
        typename V::freg low[G], high[G];
        partial_sum<V, M, G, C>(job, j0, low);
        partial_sum<V, M, G, M - C>(job, j0, high);
        for (int g = 0; g < G; ++g) folded[C][g] = V::fadd(high[g], low[g]);
        fold_even<V, M, G, C + 1>(job, j0, folded);
    }
}

template <class V, int M, int G, int D = 1>
inline void fold_odd(const FilterJob& job, int32_t j0, typename V::freg (&folded)[M][G]) {
    if constexpr (D < M / 2) {
        typename V::freg up[G], down[G];
        partial_sum<V, M, G, 3 * M / 2 + D>(job, j0, up);
        partial_sum<V, M, G, 3 * M / 2 - D>(job, j0, down);
        for (int g = 0; g < G; ++g) folded[M / 2 + D][g] = V::fsub(up[g], down[g]);
        fold_odd<V, M, G, D + 1>(job, j0, folded);
    }
}

template <class V, int M, int G> inline void filter_blocks(const FilterJob& job, int32_t j0) {
    using F = typename V::freg;
    using D = typename V::dreg;
    constexpr int half = M / 2;
    F folded[M][G];
    fold_even<V, M, G>(job, j0, folded);
    partial_sum<V, M, G, half>(job, j0, folded[half]);
    fold_odd<V, M, G>(job, j0, folded);
    D wide[M][G];
#pragma GCC unroll 8
    for (int i = 0; i < M; ++i)
        for (int g = 0; g < G; ++g) wide[i][g] = V::wide(folded[i][g]);
    F band[M][G];
#pragma GCC unroll 4
    for (int l = 0; l < half; ++l) {
#pragma GCC unroll 2
        for (int g = 0; g < G; ++g) {
            D a = V::zero();
            D b = V::zero();
#pragma GCC unroll 4
            for (int i = 0; i < half; ++i) {
                a = V::mul_add(wide[2 * i][g], V::broadcast(job.cosine[l * M + 2 * i]), a);
                b = V::mul_add(wide[2 * i + 1][g], V::broadcast(job.cosine[l * M + 2 * i + 1]), b);
            }
            band[l][g] = V::single(V::add(a, b));
            band[M - 1 - l][g] = V::single(V::sub(a, b));
        }
    }
    // Lanes past the frame's last block land in the rest of the row, which nothing reads.
    V::template store_bands<M, G>(job.out + j0 * M, band);
}

template <class V, int M> inline void filter_channel(const FilterJob& job) {
    constexpr int32_t span = V::width * V::groups;
    for (int32_t j0 = 0; j0 < job.blocks; j0 += span) {
        if (V::groups > 1 && job.blocks - j0 > V::width)
            filter_blocks<V, M, V::groups>(job, j0);
        else
            filter_blocks<V, M, 1>(job, j0);
    }
}

template <class V> inline void filter_frame_with(const FilterJob& job, int32_t subbands) {
    if (subbands == 8)
        filter_channel<V, 8>(job);
    else
        filter_channel<V, 4>(job);
}
