// The synthesis filter bank's inner loop, written once over a vector "lane" type and compiled
// once per instruction set (synthesis_avx2.cpp, synthesis_avx512.cpp; a one-lane copy lives in
// synthesis.cpp). Lanes run across the outputs of one block, never across the terms of a sum,
// so every value is computed by the same products and the same additions in the same order
// on every path:
//
//   lanes:  V[k0 .. k0+W-1]    (matrixing, k0 = 0, W, .. < 2M)
//           X[j0 .. j0+W-1]    (windowing, j0 = 0, W, .. < M)
//
//   V[k] = N[k][0] S[0] + N[k][1] S[1] + ... + N[k][M-1] S[M-1]        left to right
//   X[j] = D[j] V_0[j] + D[M+j] V_1[M+j] + D[2M+j] V_2[j] + ... + D[9M+j] V_9[M+j]
//
// in doubles, each product and each sum rounded by itself (no fused multiply-add: these
// products are not exact). V_q is the matrixing output q blocks back: row 9 + t − q of the
// channel's rows (synthesis.h).
//
// Lane type L provides: reg (W doubles), width W (dividing M), load(const double*),
// broadcast(double), store(double*, reg), mul, add. The lanes of 256-bit AVX registers are
// defined here for both vector paths (AVX2 for every frame, AVX-512 for 4 subbands, which fill
// only four lanes); each path defines its other lane types itself.
// No #pragma once and no includes: it is meant to be included inside an anonymous namespace,
// after <immintrin.h> where vector lanes are used, so that each instruction set's copy stays in
// its own file.

#if defined(__AVX__)
struct Avx {
    using reg = __m256d;
    static constexpr int32_t width = 4;
    static reg load(const double* p) { return _mm256_loadu_pd(p); }
    static reg broadcast(double v) { return _mm256_set1_pd(v); }
    static void store(double* p, reg v) { _mm256_storeu_pd(p, v); }
    static reg mul(reg a, reg b) { return _mm256_mul_pd(a, b); }
    static reg add(reg a, reg b) { return _mm256_add_pd(a, b); }
};
#endif

template <class L, int32_t M>
inline void synthesize_with(double* rows, int32_t blocks, const double* sb, double* pcm) {
    constexpr int32_t row = 2 * M;
    constexpr const auto& n = synthesis_matrix<M>;
    constexpr const auto& d = synthesis_window<M>;
    static_assert(M % L::width == 0);
    for (int32_t t = 0; t < blocks; ++t) {
        const double* s = sb + t * M;
        double* v = rows + (SYNTHESIS_HISTORY + t) * row;
#pragma GCC unroll 4
        for (int32_t k = 0; k < row; k += L::width) {
            auto acc = L::mul(L::load(n.data() + k), L::broadcast(s[0]));
#pragma GCC unroll 8
            for (int32_t i = 1; i < M; ++i)
                acc = L::add(acc, L::mul(L::load(n.data() + i * row + k), L::broadcast(s[i])));
            L::store(v + k, acc);
        }
#pragma GCC unroll 2
        for (int32_t j = 0; j < M; j += L::width) {
            auto acc = L::mul(L::load(d.data() + j), L::load(v + j));
#pragma GCC unroll 9
            for (int32_t q = 1; q < 10; ++q)
                acc = L::add(acc, L::mul(L::load(d.data() + q * M + j),
                                         L::load(v - q * row + (q % 2) * M + j)));
            L::store(pcm + t * M + j, acc);
        }
    }
}
