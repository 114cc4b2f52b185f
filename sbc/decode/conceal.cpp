// Concealment of lost frames by waveform substitution, carried through the filter bank.
//
// At the first lost frame of a gap (T0 its first instant, h the output kept before it):
//
//   1. search  the lag L (2.5 ms up to 12 ms for speech at 16000 Hz, 35 ms for music) whose
//              segment h[T0 − W − L, T0 − L) best matches the template h[T0 − W, T0) (the last
//              5 or 6 ms), by normalised cross-correlation c(L) / √e(L), c > 0: first on a
//              coarse grid (sums of D instants, D = 2 at 16000 Hz, 5 or 8 above), then at
//              every instant within D/2 of the coarse best; both channels count together;
//   2. continue  ext(i) = g × h[T0 − L + (i mod L)] × fade(i), i = 0, 1, ... from T0: what
//              followed the match, repeated with period L; g = √(e_template / e(L)) (at most 1)
//              × the normalised correlation ρ (a poor match continues quieter); fade(i) is 1
//              for 10 ms, then falls linearly to 0 at 50 ms;
//   3. analyse  each lost frame n (B blocks of M bands from instant T) takes its band samples
//              from the encoder's analysis filter bank run over ext on [T + 1, T + BM + 9M + 1)
//              (9 blocks to fill the filter, then the frame's B blocks; the codec's delay of
//              9M + 1 instants is why the input reaches that far past the frame); the upper
//              half of the bands is halved;
//   4. synthesise those band samples on the decoder's own synthesis history.
//   5. rejoin  at the first good frame (12 blocks or more), its own bands through a cleared
//              filter give its instants from 9M on exactly; the shift of ext's period (within
//              min(L/2, 0.6 ms)) that best matches them, and its least-squares gain, redraw the
//              history's last 9 blocks: ext up to the frame's first instant, then cross-faded
//              into the shifted ext over 9M instants. The frame is then synthesised on them.
//
//      kept output h          │ lost frame n │ lost n+1 │ good frame
//   ──────────────────────────┼──────────────┼──────────┼────────────
//        [template]           │  synthesis of analysis(ext)   │ its own bands, on a history
//   [match]──L──►             │   (history runs on)           │ redrawn towards it (step 5)
//
// The filter bank joins the kept output and the continuation over its own reach (the 9 blocks
// of history blend into the first lost blocks), and the first good frame after the gap is
// synthesised on a history that leads from the continuation into it: no restart, no jump.
// Nothing is delayed: a lost frame's samples are made when its loss is known.
//
// Cost per concealed instant and channel, in multiply-adds (isolated losses, the search and the
// rejoin spread over the one lost frame; bench/stage_bench.cpp times it):
//   mSBC (120 instants): coarse search 90 lags × 40 / 120 ≈ 30, fine 3 × 80 × 2 / 120 ≈ 4,
//     analysis 24 blocks ≈ 28, synthesis ≈ 26, rejoin (51 × 48 shifts × 2, 18 blocks of
//     analysis, 24 of synthesis) / 120 ≈ 41 + 17 + 41: about 190;
//   48000 Hz, 16 blocks: coarse ≈ 200 × 36 / 128 ≈ 56, fine ≈ 9 × 288 × 2 / 128 ≈ 40, the rest
//     as above with 56 exact instants: about 230.
// Within a gap only steps 2 to 4 run (about 55).
//
// Deterministic: +, −, ×, ÷ and √ in a fixed order, the analysis's fixed coefficients; no other
// function of the math library reaches a sample.
#include "sbc/decode/conceal.h"

#include <algorithm>
#include <cmath>

namespace sbc {

namespace {

// The continuation's upper half of the bands (above a quarter of the sampling frequency) at
// half amplitude: what lies there is the least predictable, and a wrong guess there is heard
// as a click where the gap ends.
inline constexpr double UPPER_BAND_GAIN = 0.5;
// Where it meets the frame after the gap, the continuation's level may rise to the frame's,
// but to at most twice the level it had in the gap.
inline constexpr double MAX_REJOIN_GAIN = 2.0;

// Decimated history for the coarse search: enough for any plan.
inline constexpr int32_t MAX_COARSE = CONCEAL_HISTORY / 2;

// Keeps the last CONCEAL_HISTORY instants at the buffer's start when `instants` more do not fit.
void make_room(ConcealState& s, int32_t instants) {
    if (s.end + instants <= CONCEAL_BUFFER) return;
    const int32_t kept = std::min(s.filled, CONCEAL_HISTORY);
    for (auto& ch : s.buffer)
        std::copy(ch.begin() + (s.end - kept), ch.begin() + s.end, ch.begin());
    s.end = kept;
    s.filled = kept;
}

void append(ConcealState& s, int32_t channels, int32_t instants,
            const std::array<BandRow, MAX_CHANNELS>& pcm) {
    make_room(s, instants);
    for (int32_t c = 0; c < channels; ++c)
        std::copy_n(pcm[c].begin(), instants, s.buffer[c].begin() + s.end);
    s.end += instants;
    s.filled = std::min(s.filled + instants, s.end);
}

struct Match {
    int32_t lag = 0;
    double score = -1.0; // c² / e of the best positive c so far; -1: none
};

// Takes (c, e) when c > 0 and c² / e beats the best so far.
void consider(Match& best, int32_t lag, double c, double e) {
    if (c <= 0.0 || e <= 0.0) return;
    const double score = c * c / e;
    if (score > best.score) best = {lag, score};
}

// Coarse search: sums of D instants over both channels, lags in steps of D.
int32_t coarse_lag(const ConcealState& s, const ConcealPlan& p, int32_t channels, int32_t max_lag) {
    const int32_t d = p.decimation;
    const int32_t k_len = std::min((max_lag + p.window) / d, MAX_COARSE);
    const int32_t w = p.window / d;
    std::array<double, MAX_COARSE> x{};
    const int32_t base = s.end - k_len * d;
    for (int32_t k = 0; k < k_len; ++k) {
        double sum = 0.0;
        for (int32_t c = 0; c < channels; ++c)
            for (int32_t j = 0; j < d; ++j) sum += s.buffer[c][base + k * d + j];
        x[k] = sum;
    }
    const int32_t lo = std::max(1, (p.min_lag + d - 1) / d);
    const int32_t hi = std::min(max_lag / d, k_len - w);
    if (hi < lo) return 0;
    const double* t = x.data() + (k_len - w);
    double e = 0.0;
    for (int32_t j = 0; j < w; ++j) e += t[j - lo] * t[j - lo];
    Match best;
    for (int32_t lag = lo; lag <= hi; ++lag) {
        if (lag > lo) e = std::max(0.0, e + t[-lag] * t[-lag] - t[w - lag] * t[w - lag]);
        double c = 0.0;
        for (int32_t j = 0; j < w; ++j) c += t[j] * t[j - lag];
        consider(best, lag, c, e);
    }
    return best.lag * d;
}

// Fine search around `around`, every instant within D/2, both channels together.
int32_t fine_lag(const ConcealState& s, const ConcealPlan& p, int32_t channels, int32_t max_lag,
                 int32_t around) {
    const int32_t lo = std::max(p.min_lag, around - p.decimation / 2);
    const int32_t hi = std::min(max_lag, around + p.decimation / 2);
    const int32_t w = p.window;
    Match best;
    for (int32_t lag = lo; lag <= hi; ++lag) {
        double c = 0.0, e = 0.0;
        for (int32_t ch = 0; ch < channels; ++ch) {
            const double* t = s.buffer[ch].data() + (s.end - w);
            for (int32_t j = 0; j < w; ++j) {
                c += t[j] * t[j - lag];
                e += t[j - lag] * t[j - lag];
            }
        }
        consider(best, lag, c, e);
    }
    return best.lag != 0 ? best.lag : around;
}

double energy(const double* x, int32_t n) {
    double e = 0.0;
    for (int32_t j = 0; j < n; ++j) e += x[j] * x[j];
    return e;
}

// Step 1 and the continuation's period and gains, at the gap's first lost frame.
void start_gap(ConcealState& s, const ConcealPlan& p, int32_t channels) {
    s.in_gap = true;
    s.position = 0;
    s.lag = 0;
    const int32_t max_lag =
        std::min({p.max_lag, CONCEAL_MAX_LAG, std::min(s.filled, CONCEAL_HISTORY) - p.window});
    if (max_lag < p.min_lag) return; // too little output kept: the gap fades from the history
    const int32_t coarse = coarse_lag(s, p, channels, max_lag);
    const int32_t lag = fine_lag(s, p, channels, max_lag, coarse != 0 ? coarse : max_lag);
    s.lag = lag;
    for (int32_t c = 0; c < channels; ++c) {
        const double* h = s.buffer[c].data() + s.end;
        std::copy(h - lag, h, s.period[c].begin());
        const double e_template = energy(h - p.window, p.window);
        const double e_match = energy(h - p.window - lag, p.window);
        double cross = 0.0;
        for (int32_t j = -p.window; j < 0; ++j) cross += h[j] * h[j - lag];
        const double level = e_match > e_template ? std::sqrt(e_template / e_match) : 1.0;
        const double rho = e_match > 0.0 && e_template > 0.0
                               ? std::max(0.0, cross / std::sqrt(e_template * e_match))
                               : 0.0;
        s.gain[c] = level * std::min(1.0, rho);
    }
}

// The continuation's period at instant i of the gap (any i, negative included).
double period_at(const ConcealState& s, int32_t channel, int64_t i) {
    const int64_t r = i % s.lag;
    return s.period[channel][static_cast<size_t>(r < 0 ? r + s.lag : r)];
}

double fade(const ConcealPlan& p, int64_t i) {
    if (i < p.hold) return 1.0;
    if (i >= p.fade_end) return 0.0;
    return static_cast<double>(p.fade_end - i) / static_cast<double>(p.fade_end - p.hold);
}

using AnalysisInput = std::array<float, (HISTORY_BLOCKS + MAX_BLOCKS) * MAX_SUBBANDS>;

// The band samples of `blocks` blocks whose analysis input, 9 blocks of filling first, is `in`.
void analyse(ConcealState& s, const AnalysisInput& in, int32_t subbands, int32_t blocks,
             BandRow& sb) {
    const int32_t warm = HISTORY_BLOCKS * subbands;
    AnalysisState& a = subbands == 4 ? *s.analysis4 : *s.analysis8;
    a.history[0].fill(0.0f);
    AnalysisInput out{};
    analysis_filter(a, std::span(in).first(warm), out, 0, HISTORY_BLOCKS);
    analysis_filter(a, std::span(in).subspan(warm), out, 0, blocks);
    std::copy_n(out.begin(), blocks * subbands, sb.begin());
}

// Steps 2 and 3 for one channel: the band samples of the lost frame at s.position.
void estimate_bands(ConcealState& s, const ConcealPlan& p, int32_t channel, int32_t subbands,
                    int32_t blocks, BandRow& sb) {
    const int32_t warm = HISTORY_BLOCKS * subbands;
    const int32_t count = warm + blocks * subbands;
    AnalysisInput in{};
    bool silent = true;
    if (s.lag > 0) {
        const auto& period = s.period[channel];
        const double g = s.gain[channel];
        int64_t i = s.position + 1;
        for (int32_t j = 0; j < count; ++j, ++i) {
            in[j] = static_cast<float>(g * period[static_cast<size_t>(i % s.lag)] * fade(p, i));
            silent = silent && in[j] == 0.0f;
        }
    }
    std::fill_n(sb.begin(), blocks * subbands, 0.0);
    if (!silent) analyse(s, in, subbands, blocks, sb);
    for (int32_t b = 0; b < blocks; ++b)
        for (int32_t k = subbands / 2; k < subbands; ++k) sb[b * subbands + k] *= UPPER_BAND_GAIN;
}

// Where the continuation meets the signal again: the shift of its period (within ± max_shift)
// whose stretch over instants [from, from + n) of the gap best matches `exact` (both channels),
// and the gain that fits it there (least squares). Gain 0: no match.
struct Rejoin {
    int32_t shift = 0;
    double gain = 0.0;
};

Rejoin rejoin_match(const ConcealState& s, const std::array<BandRow, MAX_CHANNELS>& exact,
                    int32_t channels, int64_t from, int32_t n, int32_t max_shift) {
    Match best;
    Rejoin found;
    for (int32_t shift = -max_shift; shift <= max_shift; ++shift) {
        double c = 0.0, e = 0.0;
        for (int32_t ch = 0; ch < channels; ++ch)
            for (int32_t j = 0; j < n; ++j) {
                const double x = period_at(s, ch, from + j + shift);
                c += exact[ch][j] * x;
                e += x * x;
            }
        const double before = best.score;
        consider(best, 1, c, e);
        if (best.score > before) found = {shift, c / e};
    }
    return found;
}

} // namespace

ConcealPlan conceal_plan(int32_t sampling_frequency) {
    const int32_t f = sampling_frequency;
    const bool speech = f <= 16000;
    ConcealPlan p;
    p.min_lag = f / 400;                                // 2.5 ms
    p.max_lag = speech ? f * 12 / 1000 : f * 35 / 1000; // 12 ms, 35 ms
    p.window = speech ? f / 200 : f * 6 / 1000;         // 5 ms, 6 ms
    p.decimation = speech ? 2 : std::max(2, f / 5500);
    p.hold = f / 100;    // 10 ms
    p.fade_end = f / 20; // 50 ms
    return p;
}

std::unique_ptr<ConcealState> conceal_create() {
    auto s = std::make_unique<ConcealState>();
    s->scratch = synthesis_create();
    s->analysis4 = analysis_init(4, 1);
    s->analysis8 = analysis_init(8, 1);
    if (!s->analysis4 || !s->analysis8) return nullptr;
    return s;
}

void conceal_forget(ConcealState& state) {
    state.end = 0;
    state.filled = 0;
    state.in_gap = false;
    state.lag = 0;
}

void conceal_keep(ConcealState& state, int32_t sampling_frequency, int32_t channels,
                  int32_t instants, const std::array<BandRow, MAX_CHANNELS>& pcm) {
    if (sampling_frequency != state.sampling_frequency) {
        conceal_forget(state);
        state.sampling_frequency = sampling_frequency;
    }
    state.in_gap = false;
    append(state, channels, instants, pcm);
}

void conceal_lost_frame(ConcealState& state, SynthesisState& synthesis, const FrameHeader& header,
                        std::array<BandRow, MAX_CHANNELS>& pcm) {
    if (header.sampling_frequency != state.sampling_frequency) {
        conceal_forget(state);
        state.sampling_frequency = header.sampling_frequency;
    }
    const ConcealPlan plan = conceal_plan(header.sampling_frequency);
    if (!state.in_gap) start_gap(state, plan, header.channels);
    BandRow sb{};
    for (int32_t c = 0; c < header.channels; ++c) {
        estimate_bands(state, plan, c, header.subbands, header.blocks, sb);
        synthesize_channel(synthesis, c, header.subbands, header.blocks, sb, pcm[c]);
    }
    const int32_t instants = header.blocks * header.subbands;
    state.position += instants;
    append(state, header.channels, instants, pcm);
}

} // namespace sbc

namespace sbc {

void conceal_rejoin(ConcealState& state, SynthesisState& synthesis, const FrameHeader& header,
                    const std::array<BandRow, MAX_CHANNELS>& sb) {
    const int32_t m = header.subbands;
    const int32_t reach = HISTORY_BLOCKS * m;
    const int32_t exact = (header.blocks - HISTORY_BLOCKS) * m;
    if (!state.in_gap || state.lag == 0 || exact < 2 * m) return;
    const ConcealPlan p = conceal_plan(header.sampling_frequency);
    const int64_t gap = state.position; // the frame's first instant, counted from the gap's
    if (fade(p, gap) == 0.0) return;    // faded out: the history is silent already

    // The frame's own contribution: exact from `reach` on, whatever the history.
    std::array<BandRow, MAX_CHANNELS> own{}, tail{};
    for (int32_t c = 0; c < header.channels; ++c) {
        state.scratch->v[static_cast<size_t>(c)].fill(0.0);
        synthesize_channel(*state.scratch, c, m, header.blocks, sb[c], own[c]);
        std::copy_n(own[c].begin() + reach, exact, tail[c].begin());
    }
    const int32_t max_shift = std::min(state.lag / 2, p.hold / 16);
    const Rejoin r = rejoin_match(state, tail, header.channels, gap + reach, exact, max_shift);
    if (r.gain <= 0.0) return;

    // The history's last 9 blocks again, from the continuation turning, over the frame's first
    // `reach` instants, to the shifted one that meets the frame.
    for (int32_t c = 0; c < header.channels; ++c) {
        AnalysisInput in{};
        const double g = state.gain[static_cast<size_t>(c)];
        const double meet_gain = std::min(r.gain, MAX_REJOIN_GAIN * g);
        for (int32_t j = 0; j < 2 * reach; ++j) {
            const int64_t i = gap - reach + 1 + j;
            const double w =
                std::clamp(static_cast<double>(i - gap) / static_cast<double>(reach), 0.0, 1.0);
            const double x = (1.0 - w) * g * period_at(state, c, i) +
                             w * meet_gain * period_at(state, c, i + r.shift);
            in[static_cast<size_t>(j)] = static_cast<float>(fade(p, i) * x);
        }
        BandRow bands{}, ignored{};
        analyse(state, in, m, HISTORY_BLOCKS, bands);
        synthesize_channel(*state.scratch, c, m, HISTORY_BLOCKS, bands, ignored);
        auto& to = synthesis.v[static_cast<size_t>(c)];
        const auto& from = state.scratch->v[static_cast<size_t>(c)];
        std::copy_n(from.begin(), HISTORY_BLOCKS * 2 * m, to.begin());
    }
}

} // namespace sbc
