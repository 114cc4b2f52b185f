// The sample part of a frame in AVX-512 lanes, from the quantized rows or straight from the band
// samples (quantising on the way, so that no quantized row is ever stored). Compiled with
// -mavx512f -mavx512dq -mavx512bw and called only when the processor has them. See pack_simd.h.
//
//   per block   its bands in stream order (channel, band) in one or two vectors of eight 64-bit
//               lanes: 8 bands, one vector per channel; 4 bands, channel 0 then channel 1
//               value << shift            (its place in its chunk, the same in every block)
//   per chunk   the OR of its lanes; eight chunks at a time through a three-level shuffle tree
//   writing     the chunk words appended, most significant bit first
//
// Quantising in a lane (quantize.cpp gives the formula; this is the same double at every step):
//   q = trunc(clamp(fma(x, 2^-(sf+1), 1) × (levels × 0.5), 0, levels))
// - x × 2^-(sf+1) is exact (a float times a power of two within the double range), so the fused
//   multiply-add rounds once where the plain code rounds the same sum once;
// - ((a × levels) × 0.5) = (a × (levels × 0.5)): levels × 0.5 is exact, and halving commutes
//   with rounding to nearest unless the result is subnormal, which a = (x / S) + 1 (zero, or at
//   least 2^-25 in magnitude: x / S has a 24-bit mantissa) times levels (0 or at least 1) never is;
// - the clamp is max(q, 0) then min(q, levels), which keeps "q >= 0 ? q : 0" and
//   "q < levels ? q : levels" of the plain code (a NaN becomes 0).
//
// Block words: when a block's bits total P = 8..64 there is one chunk per block and word i starts
// at bit pending + i × P of the stream, known in advance. Each word is stored as 16 big-endian
// bytes, led by the last bits of the word before it (they fill the byte the two share, P >= 8
// covers them): the stores depend on no earlier store, and the later one of two overlapping
// stores writes the same bits again. Other totals go chunk by chunk through put_chunk.
#if defined(__x86_64__) || defined(_M_X64)
#include "sbc/pack_simd.h"

#include <algorithm>
// g++ 12 warns about the deliberately undefined inputs of its own AVX-512 intrinsics.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

namespace sbc {

namespace {

constexpr int32_t lanes = 8;                     // 64-bit lanes in a vector
constexpr int32_t max_word_bits = 64;            // a block's bits in one word
constexpr int32_t min_parallel_bits = 8;         // the word before covers any shared byte
constexpr int32_t max_block_chunks = 8;          // 256 bits in chunks of at least 41 bits
constexpr uint64_t exponent_bias_minus_1 = 1022; // 2^-(sf+1) is (1022 − sf) << 52 as a double

// The frame's lane layout and constants, the same for every block.
struct Layout {
    int32_t vectors = 1;                                            // vectors per block
    int32_t per_block = 0;                                          // bits of a block
    int32_t chunks = 0;                                             // chunks per block
    std::array<int32_t, max_block_chunks> bits{};                   // of each chunk
    std::array<std::array<__mmask8, 2>, max_block_chunks> select{}; // [chunk][vector]
    __m512i shift[2];
    __m512i mask[2];       // 2^bits − 1
    __m512d reciprocal[2]; // 2^-(sf + 1)
    __m512d half_levels[2];
    __m512d levels[2];
};

// Entry e of a block (0 .. channels × subbands − 1) is band e % subbands of channel
// e / subbands, in lane e % 8 of vector e / 8.
Layout layout_of(const EncoderState& s, const std::array<SubbandRow, MAX_CHANNELS>& bits,
                 const std::array<SubbandRow, MAX_CHANNELS>* scale_factor) {
    Layout t;
    const int32_t entries = s.channels * s.subbands;
    t.vectors = entries > lanes ? 2 : 1;
    alignas(64) std::array<int64_t, PACK_LANES> width{}, end{}, chunk_of{}, shift{}, sf{};
    for (int32_t e = 0; e < entries; ++e) {
        width[e] = bits[e / s.subbands][e % s.subbands];
        if (scale_factor) sf[e] = (*scale_factor)[e / s.subbands][e % s.subbands];
        t.per_block += static_cast<int32_t>(width[e]);
    }
    const int32_t limit = t.per_block <= max_word_bits ? max_word_bits : CHUNK_BITS;
    int32_t used = 0;
    for (int32_t e = 0; e < entries; ++e) {
        if (width[e] == 0) continue;
        if (t.chunks == 0 || used + width[e] > limit) {
            ++t.chunks;
            used = 0;
        }
        used += static_cast<int32_t>(width[e]);
        end[e] = used;
        chunk_of[e] = t.chunks - 1;
        t.bits[static_cast<size_t>(t.chunks - 1)] = used;
    }
    for (int32_t e = 0; e < entries; ++e) {
        if (width[e] == 0) continue;
        const auto k = static_cast<size_t>(chunk_of[e]);
        shift[e] = t.bits[k] - end[e];
        t.select[k][static_cast<size_t>(e / lanes)] |= static_cast<__mmask8>(1u << (e % lanes));
    }
    const __m512i one = _mm512_set1_epi64(1);
    for (int32_t v = 0; v < 2; ++v) {
        const auto at = [&](const std::array<int64_t, PACK_LANES>& a) {
            return _mm512_load_si512(a.data() + v * lanes);
        };
        t.shift[v] = at(shift);
        t.mask[v] = _mm512_sub_epi64(_mm512_sllv_epi64(one, at(width)), one);
        t.levels[v] = _mm512_cvtepi64_pd(t.mask[v]);
        t.half_levels[v] = _mm512_mul_pd(t.levels[v], _mm512_set1_pd(0.5));
        t.reciprocal[v] = _mm512_castsi512_pd(_mm512_slli_epi64(
            _mm512_sub_epi64(_mm512_set1_epi64(exponent_bias_minus_1), at(sf)), 52));
    }
    return t;
}

// The values of one block from the quantized rows, masked to their widths.
struct QuantizedBlocks {
    const int32_t* rows[MAX_CHANNELS];
    int32_t subbands;

    void load(const Layout& t, int32_t blk, __m512i (&v)[2]) const {
        const auto at = static_cast<size_t>(blk * subbands);
        if (subbands == 8) {
            for (int32_t c = 0; c < t.vectors; ++c)
                v[c] = _mm512_and_si512(_mm512_cvtepu32_epi64(_mm256_loadu_si256(
                                            reinterpret_cast<const __m256i*>(rows[c] + at))),
                                        t.mask[c]);
        } else {
            const __m256i both =
                _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(rows[1] + at),
                                    reinterpret_cast<const __m128i*>(rows[0] + at));
            v[0] = _mm512_and_si512(_mm512_cvtepu32_epi64(both), t.mask[0]);
        }
    }
};

// The values of one block quantised from the band samples (see the top of the file).
struct SampleBlocks {
    const float* rows[MAX_CHANNELS];
    int32_t subbands;

    static __m512i quantize(const Layout& t, int32_t c, __m256 x) {
        const __m512d a = _mm512_fmadd_pd(_mm512_cvtps_pd(x), t.reciprocal[c], _mm512_set1_pd(1.0));
        const __m512d q = _mm512_max_pd(_mm512_mul_pd(a, t.half_levels[c]), _mm512_setzero_pd());
        return _mm512_cvttpd_epi64(_mm512_min_pd(q, t.levels[c]));
    }
    void load(const Layout& t, int32_t blk, __m512i (&v)[2]) const {
        const auto at = static_cast<size_t>(blk * subbands);
        if (subbands == 8) {
            for (int32_t c = 0; c < t.vectors; ++c)
                v[c] = quantize(t, c, _mm256_loadu_ps(rows[c] + at));
        } else {
            v[0] = quantize(t, 0, _mm256_loadu2_m128(rows[1] + at, rows[0] + at));
        }
    }
};

// Lane i of the result is the OR of all lanes of g[i].
__m512i or_across_each(const __m512i (&g)[lanes]) {
    __m512i pair[4];
    for (int32_t i = 0; i < 4; ++i)
        pair[i] = _mm512_or_si512(_mm512_unpacklo_epi64(g[2 * i], g[2 * i + 1]),
                                  _mm512_unpackhi_epi64(g[2 * i], g[2 * i + 1]));
    const auto halves = [](__m512i a, __m512i b) {
        return _mm512_or_si512(_mm512_shuffle_i64x2(a, b, _MM_SHUFFLE(2, 0, 2, 0)),
                               _mm512_shuffle_i64x2(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
    };
    return halves(halves(pair[0], pair[1]), halves(pair[2], pair[3]));
}

// The chunk words of all blocks, in stream order, into `words`; returns their number.
template <typename Blocks>
size_t chunk_words(const Layout& t, const Blocks& blocks, int32_t blk_len, uint64_t* words) {
    __m512i group[lanes];
    int32_t filled = 0;
    size_t count = 0;
    for (int32_t blk = 0; blk < blk_len; ++blk) {
        __m512i v[2] = {_mm512_setzero_si512(), _mm512_setzero_si512()};
        blocks.load(t, blk, v);
        for (int32_t c = 0; c < t.vectors; ++c) v[c] = _mm512_sllv_epi64(v[c], t.shift[c]);
        for (int32_t k = 0; k < t.chunks; ++k) {
            const auto& sel = t.select[static_cast<size_t>(k)];
            __m512i w = _mm512_maskz_mov_epi64(sel[0], v[0]);
            if (t.vectors == 2) w = _mm512_or_si512(w, _mm512_maskz_mov_epi64(sel[1], v[1]));
            group[filled++] = w;
            if (filled == lanes) {
                _mm512_storeu_si512(words + count, or_across_each(group));
                count += lanes;
                filled = 0;
            }
        }
    }
    if (filled > 0) {
        for (int32_t i = filled; i < lanes; ++i) group[i] = _mm512_setzero_si512();
        _mm512_storeu_si512(words + count, or_across_each(group));
        count += static_cast<size_t>(filled);
    }
    return count;
}

// Words of `bits` bits each (8..64) from the write state on; see the top of the file.
void put_words_in_place(const uint64_t* words, size_t count, int32_t bits, ChunkState& state) {
    const __m512i byte_swap =
        _mm512_set_epi8(8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13,
                        14, 15, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4,
                        5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7);
    const __m512i sixty_four = _mm512_set1_epi64(64);
    const __m512i seven = _mm512_set1_epi64(7);
    const __m512i step =
        _mm512_mullo_epi64(_mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0), _mm512_set1_epi64(bits));
    const __m128i align = _mm_cvtsi32_si128(max_word_bits - bits);
    const int32_t pending = state.count;
    // The word before the first: the pending bits, right-aligned, in lane 7.
    __m512i before = _mm512_set1_epi64(
        pending > 0 ? static_cast<int64_t>(state.top >> (max_word_bits - pending)) : 0);
    alignas(64) std::array<uint64_t, 2 * lanes> out;
    alignas(64) std::array<int64_t, lanes> at;
    for (size_t g = 0; g < count; g += lanes) {
        const __m512i w = _mm512_loadu_si512(words + g);
        const __m512i prev = _mm512_alignr_epi64(w, before, lanes - 1);
        const __m512i left = _mm512_sll_epi64(w, align); // the word's first bit at bit 63
        const __m512i pos =
            _mm512_add_epi64(_mm512_set1_epi64(pending + static_cast<int64_t>(g) * bits), step);
        const __m512i sh = _mm512_and_si512(pos, seven);
        const __m512i back = _mm512_sub_epi64(sixty_four, sh); // a count of 64 shifts all out
        const __m512i hi = _mm512_shuffle_epi8(
            _mm512_or_si512(_mm512_srlv_epi64(left, sh), _mm512_sllv_epi64(prev, back)), byte_swap);
        const __m512i lo = _mm512_shuffle_epi8(_mm512_sllv_epi64(left, back), byte_swap);
        _mm512_store_si512(out.data(), _mm512_unpacklo_epi64(hi, lo));         // words 0, 2, 4, 6
        _mm512_store_si512(out.data() + lanes, _mm512_unpackhi_epi64(hi, lo)); // words 1, 3, 5, 7
        _mm512_store_si512(at.data(), _mm512_srli_epi64(pos, 3));
        const size_t last = std::min<size_t>(lanes, count - g);
        for (size_t i = 0; i < last; ++i)
            std::memcpy(state.buffer + state.byte + static_cast<size_t>(at[i]),
                        out.data() + (i & 1) * lanes + (i >> 1) * 2, 16);
        before = w;
    }
    const int64_t end = pending + static_cast<int64_t>(count) * bits;
    state.byte += static_cast<size_t>(end >> 3);
    state.count = static_cast<int32_t>(end & 7);
    state.top = state.count > 0 ? words[count - 1] << (max_word_bits - state.count) : 0;
}

template <typename Blocks>
void pack_blocks(const Layout& t, const Blocks& blocks, int32_t blk_len, ChunkState& state) {
    if (t.chunks == 0) return;
    alignas(64) std::array<uint64_t, MAX_BLOCKS * max_block_chunks + lanes> words;
    const size_t count = chunk_words(t, blocks, blk_len, words.data());
    if (t.chunks == 1 && t.per_block >= min_parallel_bits) {
        put_words_in_place(words.data(), count, t.per_block, state);
        return;
    }
    for (size_t i = 0; i < count; ++i)
        put_chunk(state.buffer, state.byte, state.top, state.count, words[i],
                  t.bits[i % static_cast<size_t>(t.chunks)]);
}

} // namespace

void pack_samples_avx512(const EncoderState& s,
                         const std::array<QuantizedRow, MAX_CHANNELS>& quantized,
                         const std::array<SubbandRow, MAX_CHANNELS>& bits, ChunkState& state) {
    const Layout t = layout_of(s, bits, nullptr);
    const QuantizedBlocks blocks{{quantized[0].data(), quantized[s.channels > 1 ? 1 : 0].data()},
                                 s.subbands};
    pack_blocks(t, blocks, s.blk_len, state);
}

void quantize_pack_samples_avx512(const EncoderState& s,
                                  const std::array<SampleRow, MAX_CHANNELS>& sb_sample,
                                  const std::array<SubbandRow, MAX_CHANNELS>& scale_factor,
                                  const std::array<SubbandRow, MAX_CHANNELS>& bits,
                                  ChunkState& state) {
    const Layout t = layout_of(s, bits, &scale_factor);
    const SampleBlocks blocks{{sb_sample[0].data(), sb_sample[s.channels > 1 ? 1 : 0].data()},
                              s.subbands};
    pack_blocks(t, blocks, s.blk_len, state);
}

} // namespace sbc
#endif
