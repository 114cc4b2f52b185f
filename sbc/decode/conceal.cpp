// Concealment of lost frames by waveform substitution, carried through the filter banks.
//
// At the first lost frame of a gap (T0 its first instant, h the output kept before it):
//
//   1. search  the lag L (2.5 ms up to 12 ms for speech at 16000 Hz, 35 ms for music) whose
//              segment h[T0 − W − L, T0 − L) best matches the template h[T0 − W, T0) (the last
//              5 or 6 ms), by normalised cross-correlation c(L) / √e(L), c > 0, both channels
//              added: first on a coarse grid (sums of D instants, D = 2 at 16000 Hz, 4 at
//              32000, 8 above), its peak placed between the grid's lags by a parabola, then at
//              every instant within 1 (speech) or 2 of that. A gap that begins within 50 ms of
//              the one before first tries that gap's lag the same fine way, and keeps it when
//              it still matches with ρ >= 0.95;
//   2. continue  ext(i) = g × h[T0 − L + (i mod L)] × fade(i), i = 0, 1, ... from T0: what
//              followed the match, repeated with period L; g = √(e_template / e(L)) (at most 1)
//              × the normalised correlation ρ (a poor match continues quieter); fade(i) is 1
//              for 10 ms, then falls linearly to 0 at 50 ms;
//   3. analyse  ext, as 16-bit samples, through the encoder's own analysis filter bank: the
//              band samples of a lost frame (B blocks of M bands from instant T) are those of
//              ext on [T + 9M + 1, T + 9M + BM + 1) (the codec's delay of 9M + 1 instants is why
//              the input runs ahead of the frame); the filter's history runs on through the gap
//              (9 blocks of ext fill it at the gap's start); the upper half of the bands is
//              halved;
//   4. synthesise those band samples on the decoder's own synthesis history.
//   5. rejoin  the first good frame (11 blocks or more, T its first instant) is synthesised as
//              usual on the history the gap left; its instants from 9M on depend on its own
//              bands alone, so they are exact. The shift s of ext's period (within 0.4 ms for
//              speech, 0.25 ms for music, refined between instants by a parabola) that best
//              matches them and its least-squares gain G say how far the continuation has
//              drifted by then. Taking the drift to grow steadily from T0, the history is made
//              again from ext read s × u later at gain g + (G − g) × u, u = (T − T0) / (where
//              the frame was matched − T0), a fraction of an instant by Catmull-Rom
//              interpolation (18 blocks around T analysed, the last 9 kept); the frame's first
//              9 blocks are synthesised again on it, and the output turns from the first
//              synthesis to this one within 0.375 ms.
//
//      kept output h          │ lost frame n │ lost n+1 │ good frame
//   ──────────────────────────┼──────────────┼──────────┼──────────────────────────────
//        [template]           │  synthesis of analysis(ext)   │ first 9 blocks again, on a
//   [match]──L──►             │   (history runs on)           │ history redrawn to meet it
//
// The filter bank joins the kept output and the continuation over its own reach (the 9 blocks
// of history blend into the first lost blocks), and the first good frame after the gap leads
// from the continuation into the frame: no restart, no jump. Nothing is delayed: a lost frame's
// samples are made when its loss is known.
//
// Cost per concealed instant and channel, in operations (an add, a product or a pair of them;
// the filter banks' blocks counted as 120 for an analysis, 208 for a synthesis, of 8 bands; a
// full search for every gap, and isolated losses, so that the search and the rejoin fall on
// the one lost frame):
//   mSBC (120 instants, mono): search: decimation 272 / 120 ≈ 2, coarse 76 lags × 40 / 120 ≈ 25,
//     fine and gains 6 × 80 / 120 = 4; ext and its 16-bit samples (72 + 120) × 2 / 120 ≈ 3;
//     analysis 15 blocks × 120 / 120 = 15 (the 9 that fill it are only stored); synthesis 15 ×
//     208 / 120 = 26; rejoin: drift 13 × 48 / 120 ≈ 5, redrawn ext 144 × 6 / 120 ≈ 7, analysis
//     9 × 120 / 120 = 9, synthesis 18 × 208 / 120 ≈ 31: about 130;
//   44100 Hz, stereo, 16 blocks of 8 (the search's work on both channels added is shared):
//     search: decimation 1800 / 128 ≈ 14, coarse 180 × 33 / 256 ≈ 23, fine and gains (5 + 2) ×
//     264 / 256 + 3 × 264 / 128 ≈ 13; ext 200 × 2 / 128 ≈ 3; analysis 16 × 120 / 128 = 15;
//     synthesis 16 × 208 / 128 = 26; rejoin: drift 23 × 56 / 256 ≈ 5, redrawn ext 144 × 6 /
//     128 ≈ 7, analysis 8, synthesis 18 × 208 / 128 ≈ 29: about 145.
// Within a gap only steps 2 to 4 run (about 45). The correlations run four lags or terms side
// by side in vectors; the analysis takes the encoder's vector paths.
//
// Deterministic: +, −, ×, ÷, √ and rounding in a fixed order, the filter banks' fixed
// coefficients and their paths, which give the same bits; no other function of the math
// library reaches a sample.
#include "sbc/decode/conceal.h"

#include "sbc/decode/output.h"
#include "sbc/widest.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <span>

namespace sbc {

namespace {

// The continuation's upper half of the bands (above a quarter of the sampling frequency) at
// half amplitude: what lies there is the least predictable, and a wrong guess there is heard
// as a click where the gap ends.
inline constexpr double UPPER_BAND_GAIN = 0.5;
// Where it meets the frame after the gap, the continuation's level may rise to the frame's,
// but to at most twice the level it had in the gap.
inline constexpr double MAX_REJOIN_GAIN = 2.0;
// How well the lag of a recent gap must still match for the search to keep it.
inline constexpr double REUSE_RHO = 0.95;

// Decimated history for the coarse search, and the fine search's lags: enough for any plan.
inline constexpr int32_t MAX_COARSE = CONCEAL_HISTORY / 2;
inline constexpr int32_t MAX_FINE = 16;
inline constexpr int32_t MAX_WINDOW = 48000 * 6 / 1000;
// The rejoin's widest drift (0.25 ms at 48000 Hz, 0.4 ms at 16000 Hz) and the span it redraws
// (9 blocks of 8).
inline constexpr int32_t MAX_DRIFT = 48000 / 4000;
inline constexpr int32_t REACH = HISTORY_BLOCKS * MAX_SUBBANDS;

// A gap reads the period it repeats from the ring until its fade ends (50 ms, 2400 instants at
// 48000 Hz): by then the ring must not have come round to it.
static_assert(CONCEAL_MAX_LAG + 48000 / 20 <= CONCEAL_RING);

using Rows = std::array<BandRow, MAX_CHANNELS>;
using Bands = std::array<SampleRow, MAX_CHANNELS>;

// ---- The kept output ----------------------------------------------------------------------

// Channel c's ring from instant `at` on takes `values`, and again after the ring's end as far
// as they lie in its first CONCEAL_HISTORY instants.
void store(ConcealState& s, int32_t c, int32_t at, std::span<const double> values) {
    auto& ring = s.ring[c];
    std::copy(values.begin(), values.end(), ring.begin() + at);
    const auto mirrored =
        std::min(values.size(), static_cast<size_t>(std::max(0, CONCEAL_HISTORY - at)));
    std::copy_n(values.begin(), mirrored, ring.begin() + at + CONCEAL_RING);
}

void append(ConcealState& s, int32_t channels, int32_t instants, const Rows& pcm) {
    const auto first = static_cast<size_t>(std::min(instants, CONCEAL_RING - s.next));
    for (int32_t c = 0; c < channels; ++c) {
        const auto in = std::span(pcm[c]).first(static_cast<size_t>(instants));
        store(s, c, s.next, in.first(first));
        store(s, c, 0, in.subspan(first));
    }
    s.next = (s.next + instants) % CONCEAL_RING;
    s.since_gap += instants;
    s.filled = std::min(s.filled + instants, CONCEAL_RING);
}

// Where the `back` instants before the end begin in the ring (back <= CONCEAL_HISTORY).
int32_t ring_start(const ConcealState& s, int32_t back) {
    return s.next >= back ? s.next - back : s.next + CONCEAL_RING - back;
}

// `n` kept instants of channel c, from `back` instants before the end (n <= back <= filled).
std::span<const double> kept(const ConcealState& s, int32_t c, int32_t back, int32_t n) {
    return std::span(s.ring[c]).subspan(static_cast<size_t>(ring_start(s, back)),
                                        static_cast<size_t>(n));
}

// ---- Correlations -------------------------------------------------------------------------

// Four doubles side by side: one vector register where the processor has one. Lane by lane,
// each operation rounds as a scalar one would, so every instruction set gives the same bits.
using Quad = double __attribute__((vector_size(4 * sizeof(double))));

SBC_INLINE void load(Quad& q, const double* p) {
    std::memcpy(&q, p, sizeof q);
}

SBC_INLINE double lanes_sum(const Quad& q) {
    return (q[0] + q[1]) + (q[2] + q[3]);
}

// Σ a[j] × b[j] (b at least as long as a): eight lanes (j mod 8) in two vectors, so that two
// sums run at once, added across at the end, then the remainder in order.
SBC_INLINE double dot(std::span<const double> a, std::span<const double> b) {
    Quad low{}, high{};
    size_t j = 0;
    for (; j + 8 <= a.size(); j += 8) {
        Quad x0, y0, x1, y1;
        load(x0, &a[j]);
        load(y0, &b[j]);
        load(x1, &a[j + 4]);
        load(y1, &b[j + 4]);
        low += x0 * y0;
        high += x1 * y1;
    }
    if (j + 4 <= a.size()) {
        Quad x, y;
        load(x, &a[j]);
        load(y, &b[j]);
        low += x * y;
        j += 4;
    }
    double sum = lanes_sum(low + high);
    for (; j < a.size(); ++j) sum += a[j] * b[j];
    return sum;
}

// out[k] = Σ_j t[j] × x[k + j], one sum at a time: for a few lags of a long template.
SBC_WIDEST_VECTORS void correlate(std::span<const double> t, std::span<const double> x,
                                  std::span<double> out) {
    for (size_t k = 0; k < out.size(); ++k) out[k] = dot(t, x.subspan(k, t.size()));
}

// The same for many lags of a short template: sixteen lags side by side in four vectors, each
// sum in the order of j. x holds t.size() − 1 values past the last lag rounded up to sixteen.
inline constexpr size_t LAG_GROUP = 16;

SBC_WIDEST_VECTORS void correlate_lags(std::span<const double> t, std::span<const double> x,
                                       std::span<double> out) {
    for (size_t k = 0; k < out.size(); k += LAG_GROUP) {
        std::array<Quad, LAG_GROUP / 4> acc{};
        for (size_t j = 0; j < t.size(); ++j) {
            for (size_t q = 0; q < acc.size(); ++q) {
                Quad v;
                load(v, &x[k + j + 4 * q]);
                acc[q] += t[j] * v;
            }
        }
        std::array<double, LAG_GROUP> sums;
        std::memcpy(sums.data(), acc.data(), sizeof sums);
        std::copy_n(sums.begin(), std::min(LAG_GROUP, out.size() - k), out.begin() + k);
    }
}

// out[k] = Σ_{j < n} x[k + j]²: the first summed as a dot product, the others slid along
// (each clamped at zero).
SBC_WIDEST_VECTORS void energies(std::span<const double> x, int32_t n, std::span<double> out) {
    const auto first = x.first(static_cast<size_t>(n));
    double e = dot(first, first);
    out[0] = std::max(0.0, e);
    for (size_t k = 1; k < out.size(); ++k) {
        const double in = x[k + static_cast<size_t>(n) - 1], gone = x[k - 1];
        e += in * in - gone * gone;
        out[k] = std::max(0.0, e);
    }
}

// The scores of a search, c² / e where c > 0 and e > 0 (else 0), element by element (four at
// a time, then the rest alone: the same operations either way).
SBC_WIDEST_VECTORS void scores(std::span<const double> c, std::span<const double> e,
                               std::span<double> out) {
    const Quad zero{}, one = zero + 1.0;
    size_t k = 0;
    for (; k + 4 <= out.size(); k += 4) {
        Quad cq, eq;
        load(cq, &c[k]);
        load(eq, &e[k]);
        const auto counts = (cq > zero) & (eq > zero);
        const Quad ratio = (counts ? cq * cq : zero) / (counts ? eq : one);
        std::memcpy(&out[k], &ratio, sizeof ratio);
    }
    for (; k < out.size(); ++k) {
        const bool counts = c[k] > 0.0 && e[k] > 0.0;
        out[k] = (counts ? c[k] * c[k] : 0.0) / (counts ? e[k] : 1.0);
    }
}

// The best of a search: the first candidate, in the order of the search, whose score is the
// highest and above zero; -1 when none is. `backwards`: the search runs from the last entry.
int32_t peak(std::span<const double> score, bool backwards) {
    int32_t at = -1;
    double best = 0.0;
    const auto n = static_cast<int32_t>(score.size());
    for (int32_t i = 0; i < n; ++i) {
        const int32_t k = backwards ? n - 1 - i : i;
        if (score[k] > best) best = score[k], at = k;
    }
    return at;
}

// Where the parabola through the scores at k − 1, k and k + 1 peaks, relative to k (within
// ±½; 0 at either end, or when the three do not curve down).
double vertex(std::span<const double> score, int32_t k) {
    if (k <= 0 || k + 1 >= static_cast<int32_t>(score.size())) return 0.0;
    const double before = score[k - 1], after = score[k + 1];
    const double curve = before - 2.0 * score[k] + after;
    return curve < 0.0 ? std::clamp(0.5 * (before - after) / curve, -0.5, 0.5) : 0.0;
}

// ---- Step 1: the search -------------------------------------------------------------------

// out = a + b, element by element.
SBC_WIDEST_VECTORS void add(std::span<const double> a, std::span<const double> b,
                            std::span<double> out) {
    for (size_t j = 0; j < out.size(); ++j) out[j] = a[j] + b[j];
}

// `n` kept instants from `back` before the end, both channels added: a copy in `mix` for two
// channels, the ring itself for one.
std::span<const double> kept_mix(const ConcealState& s, int32_t channels, int32_t back, int32_t n,
                                 std::span<double> mix) {
    if (channels == 1) return kept(s, 0, back, n);
    const auto out = mix.first(static_cast<size_t>(n));
    add(kept(s, 0, back, n), kept(s, 1, back, n), out);
    return out;
}

// x[k] += Σ_{j < D} h[kD + j] (lanes of four, added across, when D is 4 or 8).
template <int32_t D> SBC_INLINE void add_decimated(std::span<const double> h, std::span<double> x) {
    for (size_t k = 0; k < x.size(); ++k) {
        const double* at = &h[k * D];
        if constexpr (D == 2) {
            x[k] += at[0] + at[1];
        } else if constexpr (D == 4) {
            Quad q;
            load(q, at);
            x[k] += lanes_sum(q);
        } else {
            Quad low, high;
            load(low, at);
            load(high, at + 4);
            x[k] += lanes_sum(low + high);
        }
    }
}

// The last x.size() × d kept instants, summed over both channels and d instants at a time.
SBC_WIDEST_VECTORS void decimate(const ConcealState& s, int32_t channels, int32_t d,
                                 std::span<double> x) {
    const auto n = static_cast<int32_t>(x.size()) * d;
    std::fill(x.begin(), x.end(), 0.0);
    for (int32_t c = 0; c < channels; ++c) {
        if (d == 2)
            add_decimated<2>(kept(s, c, n, n), x);
        else if (d == 4)
            add_decimated<4>(kept(s, c, n, n), x);
        else
            add_decimated<8>(kept(s, c, n, n), x);
    }
}

// Coarse search: sums of D instants over both channels, lags in steps of D. Lag L compares the
// template x[len − w, len) with x[len − w − L, len − L); in the stretch from len − w − hi on,
// entry k stands for lag hi − k. Returns 0 when no lag correlates positively.
int32_t coarse_lag(const ConcealState& s, const ConcealPlan& p, int32_t channels, int32_t max_lag) {
    const int32_t d = p.decimation;
    const int32_t len = std::min((max_lag + p.window) / d, MAX_COARSE);
    const int32_t w = p.window / d;
    const int32_t lo = std::max(1, (p.min_lag + d - 1) / d);
    const int32_t hi = std::min(max_lag / d, len - w);
    if (hi < lo) return 0;
    std::array<double, MAX_COARSE + LAG_GROUP> x;
    decimate(s, channels, d, std::span(x).first(static_cast<size_t>(len)));
    std::fill_n(x.begin() + len, LAG_GROUP, 0.0);
    const auto count = static_cast<size_t>(hi - lo + 1);
    // The stretch, and what correlate_lags reads past it (the template, then zeros).
    const auto stretch = std::span(x).subspan(len - w - hi, count + w - 1 + LAG_GROUP);
    std::array<double, MAX_COARSE> cross, energy, score;
    const auto c = std::span(cross).first(count), e = std::span(energy).first(count);
    const auto sc = std::span(score).first(count);
    correlate_lags(std::span(x).subspan(len - w, w), stretch, c);
    energies(stretch, w, e);
    scores(c, e, sc);
    const int32_t k = peak(sc, true);
    if (k < 0) return 0;
    // Between the grid's lags, where the scores' parabola peaks (entries run against the lags).
    return static_cast<int32_t>(std::floor((hi - k - vertex(sc, k)) * d + 0.5));
}

// The fine search's result: the lag, and its normalised correlation squared (ρ², 0 when no lag
// correlates positively).
struct Match {
    int32_t lag = 0;
    double rho2 = 0.0;
};

// Fine search around `around`, every instant within the plan's reach, both channels added;
// `around` when no lag there correlates positively.
Match fine_lag(const ConcealState& s, const ConcealPlan& p, int32_t channels, int32_t max_lag,
               int32_t around) {
    const int32_t lo = std::max(p.min_lag, around - p.fine_reach);
    const int32_t hi = std::min(max_lag, around + p.fine_reach);
    const int32_t w = p.window;
    const auto count = static_cast<size_t>(hi - lo + 1);
    std::array<double, MAX_WINDOW> template_mix;
    std::array<double, MAX_WINDOW + MAX_FINE> stretch_mix;
    const auto t = kept_mix(s, channels, w, w, template_mix);
    const auto stretch = kept_mix(s, channels, w + hi, w + hi - lo, stretch_mix);
    std::array<double, MAX_FINE> cross, energy, score;
    const auto c = std::span(cross).first(count), e = std::span(energy).first(count);
    const auto sc = std::span(score).first(count);
    correlate(t, stretch, c);
    energies(stretch, w, e);
    scores(c, e, sc);
    const int32_t k = peak(sc, true);
    if (k < 0) return {around, 0.0};
    const double e_template = dot(t, t);
    return {hi - k, e_template > 0.0 ? sc[k] / e_template : 0.0};
}

// Σ t², Σ m² and Σ t × m for the template t and its match m.
struct Sums {
    double template_energy = 0.0, match_energy = 0.0, cross = 0.0;
};

SBC_WIDEST_VECTORS Sums match_sums(std::span<const double> t, std::span<const double> m) {
    return {dot(t, t), dot(m, m), dot(t, m)};
}

// Step 1. A gap that begins soon after another first looks around that gap's lag: a match
// there with ρ >= REUSE_RHO spares the coarse search (the signal has kept its period).
int32_t search(const ConcealState& s, const ConcealPlan& p, int32_t channels, int32_t max_lag) {
    const int32_t last = s.last_lag;
    if (last >= p.min_lag && last <= max_lag && s.since_gap <= p.reuse_within) {
        const Match m = fine_lag(s, p, channels, max_lag, last);
        if (m.rho2 >= REUSE_RHO * REUSE_RHO) return m.lag;
    }
    const int32_t coarse = coarse_lag(s, p, channels, max_lag);
    return fine_lag(s, p, channels, max_lag, coarse != 0 ? coarse : max_lag).lag;
}

// Step 1 and the continuation's period and gains, at the gap's first lost frame.
void start_gap(ConcealState& s, const ConcealPlan& p, int32_t channels) {
    s.in_gap = true;
    s.position = 0;
    s.lag = 0;
    const int32_t max_lag =
        std::min({p.max_lag, CONCEAL_MAX_LAG, std::min(s.filled, CONCEAL_HISTORY) - p.window});
    if (max_lag < p.min_lag) return; // too little output kept: the gap fades from the history
    const int32_t lag = search(s, p, channels, max_lag);
    s.last_lag = lag;
    s.since_gap = 0;
    s.lag = lag;
    s.period_start = ring_start(s, lag);
    for (int32_t c = 0; c < channels; ++c) {
        const Sums m =
            match_sums(kept(s, c, p.window, p.window), kept(s, c, p.window + lag, p.window));
        const double e_t = m.template_energy, e_m = m.match_energy;
        const double level = e_m > e_t ? std::sqrt(e_t / e_m) : 1.0;
        const double rho =
            e_m > 0.0 && e_t > 0.0 ? std::max(0.0, m.cross / std::sqrt(e_t * e_m)) : 0.0;
        s.gain[c] = level * std::min(1.0, rho);
    }
}

// ---- Steps 2 to 4: the lost frames --------------------------------------------------------

// gain × fade(i) for instant i of the gap (negative i: before it).
struct Fade {
    Fade(const ConcealPlan& p, double gain)
        : hold(p.hold), end(p.fade_end), gain(gain),
          step(gain / static_cast<double>(p.fade_end - p.hold)) {}
    double at(int64_t i) const {
        return i < hold ? gain : i < end ? step * static_cast<double>(end - i) : 0.0;
    }
    int64_t hold, end;
    double gain, step;
};

// Where instant i of the gap (any i, negative included) reads the period.
int32_t period_index(const ConcealState& s, int64_t i) {
    const auto r = static_cast<int32_t>(i % s.lag);
    return r < 0 ? r + s.lag : r;
}

// The period of channel c unrolled over instants [from, from + out.size()) of the gap.
void unroll(const ConcealState& s, int32_t c, int64_t from, std::span<double> out) {
    const auto period = std::span(s.ring[c]).subspan(static_cast<size_t>(s.period_start),
                                                     static_cast<size_t>(s.lag));
    auto r = static_cast<size_t>(period_index(s, from));
    for (size_t done = 0; done < out.size(); r = 0) {
        const size_t n = std::min(out.size() - done, period.size() - r);
        std::copy_n(period.begin() + r, n, out.begin() + done);
        done += n;
    }
}

// row[j] ×= gain × fade(from + j).
void fade_row(const ConcealPlan& p, double gain, int64_t from, std::span<double> row) {
    if (from + static_cast<int64_t>(row.size()) <= p.hold) {
        for (double& x : row) x *= gain;
        return;
    }
    const Fade fade(p, gain);
    for (size_t j = 0; j < row.size(); ++j) row[j] *= fade.at(from + static_cast<int64_t>(j));
}

// ext on instants [from, from + row.size()) of the gap, channel c.
void continuation(const ConcealState& s, const ConcealPlan& p, int32_t c, int64_t from,
                  std::span<double> row) {
    if (s.lag == 0 || from >= p.fade_end) { // silent (the period may have left the ring)
        std::fill(row.begin(), row.end(), 0.0);
        return;
    }
    unroll(s, c, from, row);
    fade_row(p, s.gain[c], from, row);
}

// The band samples of `blocks` blocks whose analysis input is rows[c][0 .. blocks × M), as
// 16-bit samples, on the filter's running history (`filter` false: the history only takes
// them).
void analyse(AnalysisState& a, const Rows& rows, int32_t channels, int32_t blocks, Bands& sb,
             bool filter = true) {
    const int32_t count = blocks * a.subbands;
    std::array<int16_t, MAX_CHANNELS * MAX_FRAME_SAMPLES> pcm;
    const auto values = std::span(pcm).first(static_cast<size_t>(count * channels));
    write_pcm16(rows, channels, count, values);
    analysis_frame(a, values, channels, blocks, sb, filter);
}

// ext's band samples for `blocks` blocks whose analysis input starts at instant `from`
// (`filter` false: the analysis filter only takes them).
void analyse_continuation(const ConcealState& s, const ConcealPlan& p, AnalysisState& a,
                          int32_t channels, int64_t from, int32_t blocks, Bands& sb,
                          bool filter = true) {
    const auto count = static_cast<size_t>(blocks * a.subbands);
    Rows rows;
    int32_t c = 0;
    for (BandRow& row : std::span(rows).first(static_cast<size_t>(channels)))
        continuation(s, p, c++, from, std::span(row).first(count));
    analyse(a, rows, channels, blocks, sb, filter);
}

AnalysisState& analysis_for(ConcealState& s, int32_t subbands) {
    return subbands == 4 ? *s.analysis4 : *s.analysis8;
}

// ---- Step 5: the rejoin -------------------------------------------------------------------

// How far the continuation drifted by the frame after the gap: the shift of its period
// (within ± max) whose stretch over gap instants [at, at + exact.size()) best matches the
// frame's exact instants (both channels), refined between instants by a parabola through the
// best score and its neighbours, and the least-squares gain there. Gain 0: no match.
struct Drift {
    double shift = 0.0;
    double gain = 0.0;
};

Drift find_drift(const ConcealState& s, const Rows& pcm, int32_t channels, int32_t first,
                 int32_t exact, int64_t at, int32_t max) {
    const auto count = static_cast<size_t>(2 * max + 1);
    const auto n = static_cast<size_t>(exact);
    // Both channels added: the frame's exact instants, and the period around them.
    std::array<double, MAX_FRAME_SAMPLES> tail;
    std::array<double, MAX_FRAME_SAMPLES + 2 * MAX_DRIFT> line, other;
    const auto stretch = std::span(line).first(n + count - 1);
    unroll(s, 0, at - max, stretch);
    std::copy_n(pcm[0].begin() + first, n, tail.begin());
    if (channels == 2) {
        unroll(s, 1, at - max, std::span(other).first(stretch.size()));
        add(stretch, other, stretch);
        const auto both = std::span(tail).first(n);
        add(both, std::span(pcm[1]).subspan(first, n), both);
    }
    std::array<double, 2 * MAX_DRIFT + 1> cross, energy, score;
    const auto c = std::span(cross).first(count), e = std::span(energy).first(count);
    const auto sc = std::span(score).first(count);
    correlate(std::span(tail).first(n), stretch, c);
    energies(stretch, exact, e);
    scores(c, e, sc);
    const int32_t k = peak(sc, false);
    if (k < 0) return {};
    return {k - max + vertex(sc, k), cross[k] / energy[k]};
}

// How the history is redrawn: ext read `shift` instants later (a fraction of an instant by
// Catmull-Rom interpolation), at gain[c] instead of the gap's own.
struct Redraw {
    double shift = 0.0;
    std::array<double, MAX_CHANNELS> gain{};
};

// The drift found at the frame, as far as it has grown by the frame's first instant: it grows
// from nothing at the gap's start to `drift` at instant `at` of the gap, where it was found;
// the gain moves from the gap's own to the frame's (at most MAX_REJOIN_GAIN × the gap's) alike.
Redraw redraw_for(const ConcealState& s, const Drift& drift, int64_t at, int32_t channels) {
    const double u = static_cast<double>(s.position) / static_cast<double>(at);
    Redraw r{drift.shift * u, {}};
    for (int32_t c = 0; c < channels; ++c) {
        const double g = s.gain[c];
        r.gain[c] = g + (std::min(drift.gain, MAX_REJOIN_GAIN * g) - g) * u;
    }
    return r;
}

// row[j] = Σ_t weight[t] × line[j + t], the terms added in the order of t.
SBC_WIDEST_VECTORS void interpolate(const std::array<double, 4>& weight,
                                    std::span<const double> line, std::span<double> row) {
    size_t j = 0;
    for (; j + 4 <= row.size(); j += 4) {
        Quad a, b, c, d;
        load(a, &line[j]);
        load(b, &line[j + 1]);
        load(c, &line[j + 2]);
        load(d, &line[j + 3]);
        const Quad v = weight[0] * a + weight[1] * b + weight[2] * c + weight[3] * d;
        std::memcpy(&row[j], &v, sizeof v);
    }
    for (; j < row.size(); ++j)
        row[j] = weight[0] * line[j] + weight[1] * line[j + 1] + weight[2] * line[j + 2] +
                 weight[3] * line[j + 3];
}

// The redrawn continuation on instants [from, from + row.size()) of the gap, channel c
// (row.size() <= REACH).
void redrawn(const ConcealState& s, const ConcealPlan& p, int32_t c, const Redraw& r, int64_t from,
             std::span<double> row) {
    const double whole = std::floor(r.shift);
    const double f = r.shift - whole;
    const std::array<double, 4> weight = {
        f * (-0.5 + f * (1.0 - 0.5 * f)), 1.0 + f * f * (-2.5 + 1.5 * f),
        f * (0.5 + f * (2.0 - 1.5 * f)), f * f * (-0.5 + 0.5 * f)};
    // The period unrolled from the instant before the first one read.
    std::array<double, REACH + 3> line;
    const auto read = std::span(line).first(row.size() + 3);
    unroll(s, c, from + static_cast<int64_t>(whole) - 1, read);
    interpolate(weight, read, row);
    fade_row(p, r.gain[c], from, row);
}

// The history's last 9 blocks, as band samples, from the redrawn continuation: 9 blocks to
// fill the analysis filter, then the 9 that end where the frame after the gap begins.
void redraw_history(ConcealState& s, const ConcealPlan& p, const Redraw& r, int32_t channels,
                    int32_t subbands, Bands& sb) {
    const int32_t reach = HISTORY_BLOCKS * subbands;
    AnalysisState& a = analysis_for(s, subbands);
    for (const int64_t from : {s.position - reach + 1, s.position + 1}) {
        Rows rows;
        for (int32_t c = 0; c < channels; ++c)
            redrawn(s, p, c, r, from, std::span(rows[c]).first(static_cast<size_t>(reach)));
        analyse(a, rows, channels, HISTORY_BLOCKS, sb, from > s.position);
    }
}

} // namespace

ConcealPlan conceal_plan(int32_t sampling_frequency) {
    const int32_t f = sampling_frequency;
    const bool speech = f <= 16000;
    ConcealPlan p;
    p.min_lag = f / 400;                                // 2.5 ms
    p.max_lag = speech ? f * 12 / 1000 : f * 35 / 1000; // 12 ms, 35 ms
    p.window = speech ? f / 200 : f * 6 / 1000;         // 5 ms, 6 ms
    p.decimation = speech ? 2 : f < 44100 ? 4 : 8;      // a grid of 8, 8, 5.5 or 6 kHz
    p.fine_reach = speech ? 1 : 2;
    p.hold = f / 100;                           // 10 ms
    p.fade_end = f / 20;                        // 50 ms
    p.max_drift = speech ? f / 2500 : f / 4000; // 0.4 ms, 0.25 ms
    p.reuse_within = f / 20;                    // 50 ms
    p.blend = f * 3 / 8000;                     // 0.375 ms
    return p;
}

std::unique_ptr<ConcealState> conceal_create() {
    auto s = std::make_unique<ConcealState>();
    s->scratch = synthesis_create();
    s->analysis4 = analysis_init(4, MAX_CHANNELS);
    s->analysis8 = analysis_init(8, MAX_CHANNELS);
    if (!s->analysis4 || !s->analysis8) return nullptr;
    return s;
}

void conceal_forget(ConcealState& state) {
    state.next = 0;
    state.filled = 0;
    state.in_gap = false;
    state.lag = 0;
    state.last_lag = 0;
}

void conceal_keep(ConcealState& state, int32_t sampling_frequency, int32_t channels,
                  int32_t instants, const Rows& pcm) {
    if (sampling_frequency != state.sampling_frequency) {
        conceal_forget(state);
        state.sampling_frequency = sampling_frequency;
    }
    state.in_gap = false;
    append(state, channels, instants, pcm);
}

void conceal_lost_frame(ConcealState& state, SynthesisState& synthesis, const FrameHeader& header,
                        Rows& pcm) {
    if (header.sampling_frequency != state.sampling_frequency) {
        conceal_forget(state);
        state.sampling_frequency = header.sampling_frequency;
    }
    const ConcealPlan plan = conceal_plan(header.sampling_frequency);
    const int32_t m = header.subbands;
    AnalysisState& analysis = analysis_for(state, m);
    Bands sb;
    if (!state.in_gap) {
        start_gap(state, plan, header.channels);
        analyse_continuation(state, plan, analysis, header.channels, 1, HISTORY_BLOCKS, sb, false);
    }
    analyse_continuation(state, plan, analysis, header.channels,
                         state.position + HISTORY_BLOCKS * m + 1, header.blocks, sb);
    BandRow bands;
    for (int32_t c = 0; c < header.channels; ++c) {
        for (int32_t at = 0; at < header.blocks * m; at += m) {
            for (int32_t k = 0; k < m / 2; ++k) bands[at + k] = sb[c][at + k];
            for (int32_t k = m / 2; k < m; ++k) bands[at + k] = sb[c][at + k] * UPPER_BAND_GAIN;
        }
        synthesize_channel(synthesis, c, m, header.blocks, bands, pcm[c]);
    }
    const int32_t instants = header.blocks * m;
    state.position += instants;
    append(state, header.channels, instants, pcm);
}

void conceal_rejoin(ConcealState& state, const FrameHeader& header, const Rows& sb, Rows& pcm) {
    const int32_t m = header.subbands;
    const int32_t reach = HISTORY_BLOCKS * m;
    const int32_t exact = (header.blocks - HISTORY_BLOCKS) * m;
    if (!state.in_gap || state.lag == 0 || exact < 2 * m) return;
    const ConcealPlan p = conceal_plan(header.sampling_frequency);
    const int64_t gap = state.position; // the frame's first instant, counted from the gap's
    if (gap >= p.fade_end) return;      // faded out: the history is silent already

    const int32_t max = std::min(state.lag / 2, p.max_drift);
    const Drift drift = find_drift(state, pcm, header.channels, reach, exact, gap + reach, max);
    if (drift.gain <= 0.0) return;
    Bands history;
    redraw_history(state, p, redraw_for(state, drift, gap + reach + exact / 2, header.channels),
                   header.channels, m, history);

    // The frame's first 9 blocks on the redrawn history, and the turn to them.
    for (int32_t c = 0; c < header.channels; ++c) {
        BandRow bands, ignored, again;
        std::copy_n(history[c].begin(), reach, bands.begin());
        synthesize_channel(*state.scratch, c, m, HISTORY_BLOCKS, bands, ignored);
        synthesize_channel(*state.scratch, c, m, HISTORY_BLOCKS, sb[c], again);
        for (int32_t j = 0; j < reach; ++j) {
            const double w = j < p.blend ? (j + 0.5) / p.blend : 1.0;
            pcm[c][j] = j < p.blend ? w * again[j] + (1.0 - w) * pcm[c][j] : again[j];
        }
    }
}

} // namespace sbc
