// The filter bank for AVX-512: the kernel runs sixteen blocks side by side (two registers per
// value, so that every broadcast coefficient serves all of them), and the frame's interleaved
// 16-bit PCM goes into the polyphase histories by a transpose in registers. Compiled with
// -mavx512f -mavx512bw -mavx512dq and called only when the processor (and the system) support
// them. See analysis_kernel.h for the kernel.
//
// Both transposes are networks of two-source permutes (vpermt2w for the PCM, vpermt2ps for the
// bands). An element's number e (its index in the frame's PCM, or block × M + band in the
// output) is a string of bits, and a register layout says which bits of e make the register
// number and which the lane number. Each stage moves one bit of e out of the register number,
// so every new register draws on exactly two old ones; the index vectors are worked out at
// compile time from the layouts. For stereo PCM with M = 8, e = 16 block + 2 phase + channel:
//
//   load:  8 registers of 32 words, register = block / 2, lane = e mod 32
//   3 stages of 8 vpermt2w
//   rows:  register = phase, lane = 16 channel + block: the 16 blocks of one history row
//          per half, widened to doubles (vpmovsxwq, vcvtqq2pd) and stored
#if defined(__x86_64__) || defined(_M_X64)
#include "sbc/encode/analysis_simd.h"

#include <array>
#include <immintrin.h>

namespace sbc {

namespace {

#include "sbc/encode/analysis_kernel.h"

// Where the bits of an element's number sit: lane[i] is the bit of e that gives bit i of the
// lane number, reg[i] the bit of e that gives bit i of the register number.
struct Layout {
    int lanes = 0;
    int regs = 0;
    std::array<int, 8> lane{};
    std::array<int, 8> reg{};
};

constexpr int bit(int v, int i) {
    return (v >> i) & 1;
}

constexpr int element_at(const Layout& l, int reg, int lane) {
    int e = 0;
    for (int i = 0; i < l.lanes; ++i) e |= bit(lane, i) << l.lane[i];
    for (int i = 0; i < l.regs; ++i) e |= bit(reg, i) << l.reg[i];
    return e;
}

constexpr int reg_of(const Layout& l, int e) {
    int r = 0;
    for (int i = 0; i < l.regs; ++i) r |= bit(e, l.reg[i]) << i;
    return r;
}

constexpr int lane_of(const Layout& l, int e) {
    int n = 0;
    for (int i = 0; i < l.lanes; ++i) n |= bit(e, l.lane[i]) << i;
    return n;
}

constexpr bool in_regs(const Layout& l, int b) {
    for (int i = 0; i < l.regs; ++i)
        if (l.reg[i] == b) return true;
    return false;
}

constexpr bool same_regs(const Layout& a, const Layout& b) {
    if (a.regs != b.regs || a.lanes != b.lanes) return false;
    for (int i = 0; i < a.regs; ++i)
        if (!in_regs(b, a.reg[i])) return false;
    return true;
}

// One stage from `from` towards `to`: a bit that `to` keeps in the lane number leaves the
// register number, into a new lane bit (while the registers are not yet full) or in exchange
// for a bit that `to` keeps in the register number. The last stage goes straight to `to`.
constexpr Layout next_layout(const Layout& from, const Layout& to) {
    Layout n = from;
    int leave = 0;
    while (in_regs(to, from.reg[leave])) ++leave;
    if (from.lanes < to.lanes) {
        n.lane[n.lanes++] = from.reg[leave];
        for (int i = leave; i + 1 < from.regs; ++i) n.reg[i] = from.reg[i + 1];
        --n.regs;
    } else {
        int enter = 0;
        while (!in_regs(to, from.lane[enter])) ++enter;
        n.lane[enter] = from.reg[leave];
        n.reg[leave] = from.lane[enter];
    }
    return same_regs(n, to) ? to : n;
}

constexpr int stage_count(Layout from, const Layout& to) {
    int n = 0;
    for (; !same_regs(from, to); ++n) from = next_layout(from, to);
    return n;
}

// One stage: register o of the result is permute(old[a[o]], index[o], old[b[o]]), where index
// values from `width` on pick from the second source.
template <class Index, int width> struct Stage {
    int count = 0;
    std::array<int, 16> a{};
    std::array<int, 16> b{};
    alignas(64) std::array<std::array<Index, width>, 16> index{};
};

template <class Index, int width> constexpr auto make_stage(const Layout& from, const Layout& to) {
    Stage<Index, width> s;
    s.count = 1 << to.regs;
    for (int o = 0; o < s.count; ++o) {
        s.a[o] = s.b[o] = reg_of(from, element_at(to, o, 0));
        for (int l = 0; l < (1 << to.lanes); ++l) {
            const int r = reg_of(from, element_at(to, o, l));
            if (r != s.a[o] && s.b[o] != s.a[o] && r != s.b[o]) throw "more than two sources";
            if (r != s.a[o]) s.b[o] = r;
        }
        for (int l = 0; l < (1 << to.lanes); ++l) {
            const int e = element_at(to, o, l);
            const bool second = reg_of(from, e) != s.a[o];
            s.index[o][l] = static_cast<Index>(lane_of(from, e) + (second ? width : 0));
        }
    }
    return s;
}

template <class Index, int width, int count> constexpr auto make_network(Layout from, Layout to) {
    std::array<Stage<Index, width>, count> stages{};
    for (auto& s : stages) {
        const Layout next = next_layout(from, to);
        s = make_stage<Index, width>(from, next);
        from = next;
    }
    return stages;
}

// Runs the stages of `net` over registers v[0..], in place.
template <const auto& net, size_t S = 0, class Reg, class Permute, size_t N>
inline void run_network(Reg (&v)[N], Permute permute) {
    if constexpr (S < net.size()) {
        constexpr auto& stage = net[S];
        static_assert(stage.count <= static_cast<int>(N));
        Reg out[N];
#pragma GCC unroll 16
        for (int o = 0; o < stage.count; ++o)
            out[o] = permute(v[stage.a[o]], stage.index[o].data(), v[stage.b[o]]);
#pragma GCC unroll 16
        for (int o = 0; o < stage.count; ++o) v[o] = out[o];
        run_network<net, S + 1>(v, permute);
    }
}

constexpr int log2(int n) {
    return n == 8 ? 3 : n == 4 ? 2 : n == 2 ? 1 : 0;
}

// PCM of one frame, e = channels × (M × block + phase) + channel, read 32 words to a register;
// rows: lanes 0-15 one history row's 16 blocks, lanes 16-31 the next row's (e's bit 0 and the
// register number name the row: row u = channels × phase + channel).
template <int M, int C> constexpr Layout pcm_read() {
    constexpr int bits = log2(M) + (C - 1) + 4;
    Layout l{5, bits - 5, {0, 1, 2, 3, 4}, {}};
    for (int i = 0; i < l.regs; ++i) l.reg[i] = 5 + i;
    return l;
}

template <int M, int C> constexpr Layout pcm_rows() {
    constexpr int row_bits = log2(M) + (C - 1);
    Layout l{5, row_bits - 1, {row_bits, row_bits + 1, row_bits + 2, row_bits + 3, 0}, {}};
    for (int i = 0; i < l.regs; ++i) l.reg[i] = 1 + i;
    return l;
}

template <int M, int C>
inline constexpr auto pcm_network =
    make_network<int16_t, 32, stage_count(pcm_read<M, C>(), pcm_rows<M, C>())>(pcm_read<M, C>(),
                                                                               pcm_rows<M, C>());

// Output, e = M × block + band over G × 8 blocks: single-precision bands (8 blocks of one band
// in the low half of a register, register = band + M × group) to block-major registers of 16.
template <int M, int G> constexpr Layout band_halves() {
    constexpr int mb = log2(M);
    Layout l{3, mb + G - 1, {mb, mb + 1, mb + 2}, {}};
    for (int i = 0; i < mb; ++i) l.reg[i] = i;
    if (G == 2) l.reg[mb] = mb + 3;
    return l;
}

template <int M, int G> constexpr Layout band_blocks() {
    constexpr int bits = log2(M) + 3 + G - 1;
    Layout l{4, bits - 4, {0, 1, 2, 3}, {}};
    for (int i = 0; i < l.regs; ++i) l.reg[i] = 4 + i;
    return l;
}

template <int M, int G>
inline constexpr auto
    band_network = make_network<int32_t, 16, stage_count(band_halves<M, G>(), band_blocks<M, G>())>(
        band_halves<M, G>(), band_blocks<M, G>());

struct Avx512 {
    using dreg = __m512d;
    using freg = __m256;
    static constexpr int32_t width = 8;
    static constexpr int32_t groups = 2; // sixteen blocks per call
    static dreg zero() { return _mm512_setzero_pd(); }
    static dreg load(const double* p) { return _mm512_loadu_pd(p); }
    static dreg broadcast(double v) { return _mm512_set1_pd(v); }
    static dreg mul_add(dreg a, dreg b, dreg acc) { return _mm512_fmadd_pd(a, b, acc); }
    static dreg add(dreg a, dreg b) { return _mm512_add_pd(a, b); }
    static dreg sub(dreg a, dreg b) { return _mm512_sub_pd(a, b); }
    // Zero-masked forms with every lane selected: the plain conversions start from an
    // "undefined" register, which GCC 12 reports as uninitialised.
    static freg single(dreg x) { return _mm512_maskz_cvtpd_ps(all, x); }
    static dreg wide(freg x) { return _mm512_maskz_cvtps_pd(all, x); }
    static freg fadd(freg a, freg b) { return _mm256_add_ps(a, b); }
    static freg fsub(freg a, freg b) { return _mm256_sub_ps(a, b); }
    static constexpr __mmask8 all = 0xFF;

    // The network's first stage merges pairs of 8-lane halves (their upper lanes, left undefined
    // by the cast, are never picked); the registers it leaves hold two blocks × eight bands.
    template <int M, int G> static void store_bands(float* out, const freg (&band)[M][G]) {
        __m512 v[M * G];
#pragma GCC unroll 16
        for (int h = 0; h < M * G; ++h) v[h] = _mm512_castps256_ps512(band[h % M][h / M]);
        run_network<band_network<M, G>>(v, [](__m512 a, const int32_t* index, __m512 b) {
            return _mm512_permutex2var_ps(a, _mm512_load_si512(index), b);
        });
#pragma GCC unroll 8
        for (int i = 0; i < M * G / 2; ++i) _mm512_storeu_ps(out + 16 * i, v[i]);
    }
};

// Frame PCM to history rows: read (masked to the frame's length), transpose, widen, store.
// Returns true when every sample of the frame is zero.
template <int M, int C> bool load_frame(const LoadJob& job) {
    constexpr int regs = 1 << pcm_read<M, C>().regs;
    const int32_t total = job.blocks * M * C;
    __m512i v[regs];
#pragma GCC unroll 8
    for (int i = 0; i < regs; ++i) {
        const int32_t left = total - 32 * i;
        if (left >= 32)
            v[i] = _mm512_loadu_si512(job.pcm + 32 * i);
        else if (left > 0)
            v[i] = _mm512_maskz_loadu_epi16((__mmask32{1} << left) - 1, job.pcm + 32 * i);
        else
            v[i] = _mm512_setzero_si512();
    }
    __m512i any = v[0];
#pragma GCC unroll 8
    for (int i = 1; i < regs; ++i) any = _mm512_or_si512(any, v[i]);
    run_network<pcm_network<M, C>>(v, [](__m512i a, const int16_t* index, __m512i b) {
        return _mm512_permutex2var_epi16(a, _mm512_load_si512(index), b);
    });
    alignas(64) int16_t rows[regs * 32];
#pragma GCC unroll 8
    for (int i = 0; i < regs; ++i) _mm512_store_si512(rows + 32 * i, v[i]);
    double* const frame[2] = {job.poly[0] + job.first, job.poly[C - 1] + job.first};
#pragma GCC unroll 16
    for (int u = 0; u < M * C; ++u) {
        double* row = frame[u % C] + (u / C) * POLY_COLUMNS;
        for (int g = 0; g < 2; ++g) {
            const __m128i eight =
                _mm_load_si128(reinterpret_cast<const __m128i*>(rows + 16 * u + 8 * g));
            _mm512_storeu_pd(row + 8 * g,
                             _mm512_cvtepi64_pd(_mm512_maskz_cvtepi16_epi64(0xFF, eight)));
        }
    }
    return _mm512_test_epi64_mask(any, any) == 0;
}

} // namespace

void filter_frame_avx512(const FilterJob& job, int32_t subbands) {
    filter_frame_with<Avx512>(job, subbands);
}

bool load_frame_avx512(const LoadJob& job, int32_t subbands) {
    if (subbands == 8) return job.channels == 2 ? load_frame<8, 2>(job) : load_frame<8, 1>(job);
    return job.channels == 2 ? load_frame<4, 2>(job) : load_frame<4, 1>(job);
}

} // namespace sbc
#endif
