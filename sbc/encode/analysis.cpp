// Polyphase analysis filter bank.
//
// Each block of M new samples (M = 4 or 8) is pushed into a history X of L = 10M samples
// (newest at X[0]) and turned into M band samples, the cosine-modulated filter bank
//
//     Y[k] = Σ_{n=0..4} X[k + 2Mn] × w[k + 2Mn]                        k = 0 .. 2M-1
//     S[b] = Σ_{k=0..2M-1} cos((b + ½)(k − M/2) π / M) × Y[k]          b = 0 .. M-1
//
// computed in folded form: the cosine matrix is symmetric about column M/2 and
// antisymmetric about 3M/2, so Y folds to M values, and bands b and M-1-b share one row:
//
//     Y[0..2M-1] ──even fold──► Y'[c] = Y[M-c] + Y[c]        c = 0 .. M/2-1, Y'[M/2] = Y[M/2]
//                └─odd fold───► Y'[M/2+d] = Y[3M/2+d] − Y[3M/2−d]    d = 1 .. M/2-1
//     A = Σ even columns, B = Σ odd columns of row l:   S[l] = A + B,  S[M-1-l] = A − B
//
// Arithmetic: everything stored (history, window, partial sums, folds, coefficients,
// outputs) is single precision; every product and running sum is a double, rounded once
// when stored. A and B are never stored, so A + B and A − B are formed from doubles.
// No gain is applied: band samples are in the units of the 16-bit PCM.
#include "sbc/encode/analysis.h"

#include "sbc/encode/analysis_simd.h"
#include "sbc/prototype.h"
#include "sbc/widest.h"

#include <algorithm>
#include <cmath>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sbc {

namespace {

#include "sbc/encode/analysis_kernel.h"

// One lane: the kernel as plain scalar code.
struct Scalar {
    using dreg = double;
    using freg = float;
    static constexpr int32_t width = 1;
    static constexpr int32_t groups = 1;
    static dreg zero() { return 0.0; }
    static dreg load(const double* p) { return *p; }
    static dreg broadcast(double v) { return v; }
    static dreg mul_add(dreg a, dreg b, dreg acc) { return acc + a * b; }
    static dreg add(dreg a, dreg b) { return a + b; }
    static dreg sub(dreg a, dreg b) { return a - b; }
    static freg single(dreg x) { return static_cast<float>(x); }
    static dreg wide(freg x) { return x; }
    static freg fadd(freg a, freg b) { return a + b; }
    static freg fsub(freg a, freg b) { return a - b; }
    template <int M, int G> static void store_bands(float* out, const freg (&band)[M][G]) {
        for (int g = 0; g < G; ++g)
            for (int l = 0; l < M; ++l) out[g * M + l] = band[l][g];
    }
};

constexpr double pi = 3.14159265359; // the value the coefficients were defined with
constexpr int32_t window_taps = 5;   // L / 2M

void build_window(AnalysisState& s) {
    for (int32_t i = 0; i < s.window_len; ++i) {
        // The window is h with the sign of every odd-numbered group of 2M taps reversed.
        const auto h = static_cast<float>(prototype_at(s.subbands, i));
        s.window[i] = (i / s.partial_count) % 2 == 0 ? h : -h;
    }
}

// cosine[l][j] = cos(n_j (l + ½) π / M), n_j = j − M/2 up to j = M/2, j + M/2 beyond.
void build_cosine(AnalysisState& s) {
    const int32_t m = s.subbands;
    for (int32_t l = 0; l < s.half_subbands; ++l) {
        for (int32_t j = 0; j < m; ++j) {
            const int32_t n = j <= m / 2 ? j - m / 2 : j + m / 2;
            const double arg = static_cast<double>(n) * (l + 0.5) * pi / m;
            s.cosine[l][j] = static_cast<float>(std::cos(arg));
        }
    }
}

// Steps 1-2: shift the history by M and insert the block, newest sample at X[0].
void push_block(std::array<float, MAX_WINDOW_LEN>& x, const AnalysisState& s,
                std::span<const float> block) {
    const int32_t m = s.subbands;
    for (int32_t i = s.history_len - 1; i >= m; --i) x[i] = x[i - m];
    for (int32_t i = 0; i < m; ++i) x[i] = block[m - 1 - i];
}

// Step 3: the 2M windowed partial sums.
void partial_sums(AnalysisState& s, const std::array<float, MAX_WINDOW_LEN>& x) {
    for (int32_t k = 0; k < s.partial_count; ++k) {
        double acc = 0.0;
        for (int32_t n = 0; n < s.taps; ++n) {
            const int32_t i = k + s.partial_count * n;
            acc += static_cast<double>(x[i]) * static_cast<double>(s.window[i]);
        }
        s.partial[k] = static_cast<float>(acc);
    }
}

// Steps 4-5: fold the 2M partial sums to M values (even fold first: it reads entries the odd
// fold overwrites).
void fold(AnalysisState& s) {
    const int32_t m = s.subbands;
    const int32_t half = s.half_subbands;
    auto& p = s.partial;
    for (int32_t c = 0; c < half; ++c)
        p[c] = static_cast<float>(static_cast<double>(p[m - c]) + static_cast<double>(p[c]));
    for (int32_t d = 1; d < half; ++d) {
        const double up = p[s.fold_center + d];
        const double down = p[s.fold_center - d];
        p[half + d] = static_cast<float>(up - down);
    }
}

// Step 6: two bands per cosine row.
void matrix(const AnalysisState& s, std::span<float> out) {
    const int32_t m = s.subbands;
    for (int32_t l = 0; l < s.half_subbands; ++l) {
        double a = 0.0;
        double b = 0.0;
        for (int32_t i = 0; i < s.half_subbands; ++i) {
            a += static_cast<double>(s.partial[2 * i]) * static_cast<double>(s.cosine[l][2 * i]);
            b += static_cast<double>(s.partial[2 * i + 1]) *
                 static_cast<double>(s.cosine[l][2 * i + 1]);
        }
        out[l] = static_cast<float>(a + b);
        out[m - 1 - l] = static_cast<float>(a - b);
    }
}

FilterPath widest_path() {
    for (FilterPath p : {FilterPath::avx512, FilterPath::avx2, FilterPath::sse2})
        if (filter_path_available(p)) return p;
    return FilterPath::scalar;
}

// Moves the last HISTORY_BLOCKS columns of every row back to just before FIRST_COLUMN.
void rewind_history(AnalysisState& s) {
    const int32_t from = s.poly_next - HISTORY_BLOCKS;
    for (int32_t c = 0; c < s.channels; ++c) {
        for (int32_t r = 0; r < s.subbands; ++r) {
            const auto row = s.poly[c].begin() + r * POLY_COLUMNS;
            std::copy(row + from, row + s.poly_next, row + (FIRST_COLUMN - HISTORY_BLOCKS));
        }
    }
    s.poly_next = FIRST_COLUMN;
}

void run_kernel(FilterPath path, const FilterJob& job, int32_t subbands) {
    switch (path) {
#if defined(__x86_64__) || defined(_M_X64)
    case FilterPath::avx512:
        filter_frame_avx512(job, subbands);
        return;
    case FilterPath::avx2:
        filter_frame_avx2(job, subbands);
        return;
    case FilterPath::sse2:
        filter_frame_sse2(job, subbands);
        return;
#endif
    default:
        filter_frame_scalar(job, subbands);
        return;
    }
}

} // namespace

void filter_frame_scalar(const FilterJob& job, int32_t subbands) {
    filter_frame_with<Scalar>(job, subbands);
}

bool filter_path_available(FilterPath path) {
    switch (path) {
    case FilterPath::scalar:
        return true;
#if defined(__x86_64__) || defined(_M_X64)
    case FilterPath::sse2:
        return true;
    case FilterPath::avx2:
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    case FilterPath::avx512:
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512dq");
#endif
    default:
        return false;
    }
}

namespace {

// The frame's samples of channel c into the history columns first .. first + blocks − 1; M is
// known, so the loops unroll.
template <int32_t M>
void load_channel(PolyHistory& poly, std::span<const int16_t> pcm, int32_t channels, int32_t c,
                  int32_t first, int32_t blocks) {
    size_t at = static_cast<size_t>(c);
    for (int32_t j = 0; j < blocks; ++j) {
        for (int32_t r = 0; r < M; ++r) {
            poly[static_cast<size_t>(r * POLY_COLUMNS + first + j)] = pcm[at];
            at += static_cast<size_t>(channels);
        }
    }
}

#if defined(__SSE2__)
// Both channels of a stereo frame at once: each block's 2M interleaved samples are widened four
// at a time, and every pair (left, right) of one phase goes to the two histories' rows.
template <int32_t M>
void load_stereo(std::array<PolyHistory, MAX_CHANNELS>& poly, std::span<const int16_t> pcm,
                 int32_t first, int32_t blocks) {
    for (int32_t j = 0; j < blocks; ++j) {
        const int16_t* block = &pcm[static_cast<size_t>(j * M * 2)];
        for (int32_t r0 = 0; r0 < M; r0 += 4) {
            const __m128i eight = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 2 * r0));
            const __m128i low = _mm_srai_epi32(_mm_unpacklo_epi16(eight, eight), 16);
            const __m128i high = _mm_srai_epi32(_mm_unpackhi_epi16(eight, eight), 16);
            const __m128d pairs[4] = {
                // NOLINT: vector registers
                _mm_cvtepi32_pd(low), _mm_cvtepi32_pd(_mm_unpackhi_epi64(low, low)),
                _mm_cvtepi32_pd(high), _mm_cvtepi32_pd(_mm_unpackhi_epi64(high, high))};
            for (int32_t i = 0; i < 4; ++i) {
                const auto at = static_cast<size_t>((r0 + i) * POLY_COLUMNS + first + j);
                _mm_storel_pd(&poly[0][at], pairs[i]);
                _mm_storeh_pd(&poly[1][at], pairs[i]);
            }
        }
    }
}
#endif

// True when all of the frame's samples are zero.
SBC_WIDEST_VECTORS bool all_zero(std::span<const int16_t> pcm) {
    uint16_t any = 0;
    for (const int16_t v : pcm) any |= static_cast<uint16_t>(v);
    return any == 0;
}

// The frame's PCM into the histories, by the chosen path's loader. Returns true when all of
// the frame's samples are zero.
template <int32_t M>
bool load_frame(AnalysisState& state, std::span<const int16_t> pcm, int32_t channels,
                int32_t blocks) {
    const int32_t first = state.poly_next;
#if defined(__x86_64__) || defined(_M_X64)
    if (state.path == FilterPath::avx512) {
        const LoadJob job{
            pcm.data(), channels, blocks, first, {state.poly[0].data(), state.poly[1].data()}};
        return load_frame_avx512(job, M);
    }
#endif
#if defined(__SSE2__)
    if (channels == 2) {
        load_stereo<M>(state.poly, pcm, first, blocks);
        return all_zero(pcm.first(static_cast<size_t>(blocks * M * 2)));
    }
#endif
    for (int32_t c = 0; c < channels; ++c)
        load_channel<M>(state.poly[c], pcm, channels, c, first, blocks);
    return all_zero(pcm.first(static_cast<size_t>(blocks * M * channels)));
}

template <int32_t M>
void filter_frame(const AnalysisState& state, int32_t channels, int32_t blocks,
                  std::array<SampleRow, MAX_CHANNELS>& sb_sample) {
    for (int32_t c = 0; c < channels; ++c) {
        const FilterJob job{
            state.poly[c].data(),     state.poly_next,          blocks,
            state.window_wide.data(), state.cosine_wide.data(), sb_sample[c].data()};
        run_kernel(state.path, job, M);
    }
}

} // namespace

bool analysis_frame(AnalysisState& state, std::span<const int16_t> pcm, int32_t channels,
                    int32_t blocks, std::array<SampleRow, MAX_CHANNELS>& sb_sample, bool filter) {
    if (state.poly_next + MAX_BLOCKS > POLY_COLUMNS) rewind_history(state);
    // The histories take every frame, silent or not: later frames read them.
    const bool zeros = state.subbands == 8 ? load_frame<8>(state, pcm, channels, blocks)
                                           : load_frame<4>(state, pcm, channels, blocks);
    state.zero_blocks = zeros ? std::min(state.zero_blocks + blocks, SILENCE_REACH) : 0;
    const bool silent = state.zero_blocks >= blocks + HISTORY_BLOCKS;
    const auto count = static_cast<size_t>(blocks * state.subbands);
    if (filter && silent) {
        for (int32_t c = 0; c < channels; ++c) std::fill_n(sb_sample[c].begin(), count, 0.0f);
    } else if (filter && state.subbands == 8) {
        filter_frame<8>(state, channels, blocks, sb_sample);
    } else if (filter) {
        filter_frame<4>(state, channels, blocks, sb_sample);
    }
    state.poly_next += blocks;
    return silent;
}

std::unique_ptr<AnalysisState> analysis_init(int32_t subbands, int32_t channels) {
    if (subbands != 4 && subbands != 8) return nullptr;
    if (channels < 1 || channels > MAX_CHANNELS) return nullptr;
    auto s = std::make_unique<AnalysisState>();
    s->partial_count = 2 * subbands;
    s->half_subbands = subbands / 2;
    s->fold_center = 3 * (subbands / 2);
    s->window_len = 10 * subbands;
    s->history_len = s->window_len;
    s->taps = window_taps;
    s->subbands = subbands;
    s->channels = channels;
    build_window(*s);
    build_cosine(*s);
    std::copy(s->window.begin(), s->window.end(), s->window_wide.begin());
    for (int32_t l = 0; l < s->half_subbands; ++l)
        for (int32_t j = 0; j < subbands; ++j) s->cosine_wide[l * subbands + j] = s->cosine[l][j];
    s->path = widest_path();
    return s;
}

int analysis_filter(AnalysisState& state, std::span<const float> input, std::span<float> output,
                    int32_t channel, int32_t blocks) {
    if (channel < 0 || channel >= state.channels) return -1;
    if (blocks < 0 || blocks > MAX_BLOCKS) return -1;
    const auto m = static_cast<size_t>(state.subbands);
    const size_t count = m * static_cast<size_t>(blocks);
    if (input.size() < count || output.size() < count) return -1;
    auto& history = state.history[channel];
    for (size_t b = 0; b < static_cast<size_t>(blocks); ++b) {
        push_block(history, state, input.subspan(b * m, m));
        partial_sums(state, history);
        fold(state);
        matrix(state, output.subspan(b * m, m));
    }
    return 0;
}

void analysis_free(std::unique_ptr<AnalysisState> state, int32_t /*channels*/) {
    state.reset(); // the histories and coefficient rows live inside the record
}

} // namespace sbc
