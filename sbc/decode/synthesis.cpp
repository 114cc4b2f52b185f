// Synthesis filter bank: the encoder's band split run backwards. Per channel and block, the M
// band samples S[0..M-1] become M PCM values X[0..M-1], X[0] the earliest:
//
//   matrixing  V[k] = Σ_i N[k][i] S[i],   N[k][i] = cos((i + ½)(k + M/2) π / M),  k < 2M
//   window     X[j] = Σ_{q=0..9} D[qM + j] V_q[j + (q mod 2) M],                 j < M
//
// where V_q is the matrixing output of the block q blocks back and D the window (synthesis.h:
// −M times the encoder's signed analysis window). Each block therefore reaches back over the
// 9 blocks before it; the history keeps their V rows:
//
//   rows   0 ..  8      9     10  ..  9+B-1          (per channel, 2M doubles a row)
//        └─ history ─┘ └── this frame's blocks ──┘ ── after the frame, the last 9 move to 0..8
//
// Everything is double precision, each product and sum rounded by itself in the written
// order (synthesis_kernel.h), so the output lies within a few units of 1e-11 of the exact
// filter and every path gives the same bits. The cosines are exact-symmetry copies of nine
// correctly rounded values and the window is the standard's decimal prototype, so nothing
// depends on the system's math library. No gain: with 16-bit PCM units in (the encoder's band
// samples), PCM units come out.
#include "sbc/decode/synthesis.h"

#include "sbc/decode/synthesis_simd.h"

#include <algorithm>

namespace sbc {

namespace {

#include "sbc/decode/synthesis_kernel.h"

struct Plain {
    using reg = double;
    static constexpr int32_t width = 1;
    static reg load(const double* p) { return *p; }
    static reg broadcast(double v) { return v; }
    static void store(double* p, reg v) { *p = v; }
    static reg mul(reg a, reg b) { return a * b; }
    static reg add(reg a, reg b) { return a + b; }
};

SynthesisPath widest_path() {
    for (SynthesisPath p : {SynthesisPath::avx512, SynthesisPath::avx2})
        if (synthesis_path_available(p)) return p;
    return SynthesisPath::plain;
}

void run_path(SynthesisPath path, double* rows, int32_t subbands, int32_t blocks, const double* sb,
              double* pcm) {
    switch (path) {
#if defined(__x86_64__) || defined(_M_X64)
    case SynthesisPath::avx512:
        synthesize_avx512(rows, subbands, blocks, sb, pcm);
        return;
    case SynthesisPath::avx2:
        synthesize_avx2(rows, subbands, blocks, sb, pcm);
        return;
#endif
    default:
        if (subbands == 4)
            synthesize_with<Plain, 4>(rows, blocks, sb, pcm);
        else
            synthesize_with<Plain, 8>(rows, blocks, sb, pcm);
        return;
    }
}

} // namespace

bool synthesis_path_available(SynthesisPath path) {
    switch (path) {
    case SynthesisPath::plain:
        return true;
#if defined(__x86_64__) || defined(_M_X64)
    case SynthesisPath::avx2:
        return __builtin_cpu_supports("avx2");
    case SynthesisPath::avx512:
        return __builtin_cpu_supports("avx512f");
#endif
    default:
        return false;
    }
}

std::unique_ptr<SynthesisState> synthesis_create() {
    auto state = std::make_unique<SynthesisState>();
    state->path = widest_path();
    return state;
}

void synthesis_clear(SynthesisState& state) {
    for (auto& rows : state.v) rows.fill(0.0);
}

void synthesize_channel(SynthesisState& state, int32_t channel, int32_t subbands, int32_t blocks,
                        const BandRow& sb, BandRow& pcm) {
    auto& rows = state.v[static_cast<size_t>(channel)];
    run_path(state.path, rows.data(), subbands, blocks, sb.data(), pcm.data());
    const auto row = static_cast<ptrdiff_t>(2 * subbands);
    const auto kept = rows.begin() + blocks * row;
    std::copy(kept, kept + SYNTHESIS_HISTORY * row, rows.begin());
}

} // namespace sbc
