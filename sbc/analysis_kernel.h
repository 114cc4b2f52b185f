// The filter bank's inner loop, written once over a vector "lane" type and compiled once per
// instruction set (analysis_sse2.cpp, analysis_avx2.cpp, analysis_avx512.cpp; a one-lane scalar
// copy lives in analysis.cpp). Each lane filters a different block of the frame, so lanes never
// mix and every sum keeps the order and the roundings of the plain filter:
//
//   lanes:      block j0      block j0+1   ...  block j0+W-1
//   Y[k]   =    Σ_n X[k + 2Mn] × w[k + 2Mn]       (double, n = 0..4 in order, rounded to single)
//   folds       Y[M-c] + Y[c],  Y[3M/2+d] − Y[3M/2-d]           (double, rounded to single)
//   A, B        Σ_m Y'[2m] cos[l][2m],  Σ_m Y'[2m+1] cos[l][2m+1]  (double, m in order)
//   out         single(A + B), single(A − B)
//
// Samples come from a polyphase history, poly[r][q] = sample r of block q (one row per phase r,
// stored as doubles holding 16-bit values), so lane vectors are plain loads:
//
//   X_j[k + 2Mn] = poly[M-1-k][j - 2n]        k < M
//                = poly[2M-1-k][j - 2n - 1]   k >= M
//
// Products of two single-precision values are exact in double, so mul_add may be a fused
// multiply-add: it rounds once, exactly like the separate product and sum.
//
// Lane type V provides: reg, width, zero(), load(const double*), broadcast(double),
// mul_add(a, b, acc) = acc + a × b, add, sub, round_single(x), store_single(float*, x), and
// has_store_8x8 with store_8x8(out, band[8]): eight blocks of eight bands rounded to single and
// stored block-major (transposed in registers).
// No #pragma once and no includes: it is meant to be included inside an anonymous namespace, so
// that each instruction set's copy stays in its own file. FilterJob is in sbc/analysis_simd.h.

template <class V, int M> inline void filter_lane_group(const FilterJob& job, int32_t j0) {
    using R = typename V::reg;
    constexpr int half = M / 2;
    R y[2 * M];
    for (int k = 0; k < 2 * M; ++k) {
        const int row = k < M ? M - 1 - k : 2 * M - 1 - k;
        const double* col = job.poly + row * job.row_stride + job.first + j0 - (k < M ? 0 : 1);
        R acc = V::zero();
        for (int n = 0; n < 5; ++n)
            acc = V::mul_add(V::load(col - 2 * n), V::broadcast(job.window[k + 2 * M * n]), acc);
        y[k] = V::round_single(acc);
    }
    R folded[M];
    for (int c = 0; c < half; ++c) folded[c] = V::round_single(V::add(y[M - c], y[c]));
    folded[half] = y[half];
    for (int d = 1; d < half; ++d)
        folded[half + d] = V::round_single(V::sub(y[3 * half + d], y[3 * half - d]));
    R band[M];
    for (int l = 0; l < half; ++l) {
        R a = V::zero();
        R b = V::zero();
        for (int i = 0; i < half; ++i) {
            a = V::mul_add(folded[2 * i], V::broadcast(job.cosine[l * M + 2 * i]), a);
            b = V::mul_add(folded[2 * i + 1], V::broadcast(job.cosine[l * M + 2 * i + 1]), b);
        }
        band[l] = V::add(a, b);
        band[M - 1 - l] = V::sub(a, b);
    }
    // Lane j holds block j0 + j: out[(j0 + j) × M + band]. Lanes past the frame's last block
    // land in the rest of the row, which nothing reads.
    if constexpr (M == 8 && V::has_store_8x8) {
        V::store_8x8(job.out + j0 * M, band);
    } else {
        float lanes[M][V::width];
        for (int l = 0; l < M; ++l) V::store_single(lanes[l], band[l]);
        for (int j = 0; j < V::width; ++j)
            for (int l = 0; l < M; ++l) job.out[(j0 + j) * M + l] = lanes[l][j];
    }
}

template <class V> inline void filter_frame_with(const FilterJob& job, int32_t subbands) {
    for (int32_t j0 = 0; j0 < job.blocks; j0 += V::width) {
        if (subbands == 8)
            filter_lane_group<V, 8>(job, j0);
        else
            filter_lane_group<V, 4>(job, j0);
    }
}
