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
// Quantising: quantize_avx512.h, the same values as quantize_frame for the samples the encoder
// makes (finite, within their scale), which lets it leave out the clamp.
//
// Block words: when a block's bits total 8..64 there is one chunk per block, and the words go
// out as put_words_in_place (pack_simd.h) describes, eight at a time in lanes. Other totals go
// chunk by chunk through put_chunk.
#if defined(__x86_64__) || defined(_M_X64)
#include "sbc/encode/pack.h"
#include "sbc/encode/pack_simd.h"
#include "sbc/encode/quantize_avx512.h"

#include <algorithm>

namespace sbc {

namespace {

constexpr int32_t lanes = 8;             // 64-bit lanes in a vector
constexpr int32_t max_word_bits = 64;    // a block's bits in one word
constexpr int32_t min_parallel_bits = 8; // the word before covers any shared byte
constexpr int32_t max_block_chunks = 8;  // 256 bits in chunks of at least 41 bits

// The frame's lane layout and constants, the same for every block.
struct Layout {
    int32_t vectors = 1;                                            // vectors per block
    int32_t per_block = 0;                                          // bits of a block
    int32_t chunks = 0;                                             // chunks per block
    std::array<int32_t, max_block_chunks> bits{};                   // of each chunk
    std::array<std::array<__mmask8, 2>, max_block_chunks> select{}; // [chunk][vector]
    __m512i shift[2];
    __m512i mask[2];             // 2^bits − 1
    QuantizerLanes quantizer[2]; // for quantize_pack_samples_avx512
};

// One int32 per band of a frame ([channel][band]) in the lanes of a block: 8 bands, channel c in
// vector c; 4 bands, channel 0 then channel 1 in vector 0. Lanes of no band hold 0.
void in_lanes(const EncoderState& s, const std::array<SubbandRow, MAX_CHANNELS>& rows,
              __m512i (&v)[2]) {
    const __mmask8 second = s.channels > 1 ? 0xFF : 0;
    if (s.subbands == 8) {
        v[0] =
            _mm512_cvtepu32_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(&rows[0])));
        v[1] = _mm512_maskz_cvtepu32_epi64(
            second, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(&rows[1])));
    } else {
        v[0] = _mm512_maskz_cvtepu32_epi64(
            second | 0x0F, _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(&rows[1]),
                                               reinterpret_cast<const __m128i*>(&rows[0])));
        v[1] = _mm512_setzero_si512();
    }
}

// Sums of lanes 0..i in lane i.
__m512i running_sum(__m512i x) {
    const __m512i zero = _mm512_setzero_si512();
    x = _mm512_add_epi64(x, _mm512_alignr_epi64(x, zero, 7));
    x = _mm512_add_epi64(x, _mm512_alignr_epi64(x, zero, 6));
    return _mm512_add_epi64(x, _mm512_alignr_epi64(x, zero, 4));
}

// A block wider than 64 bits: chunks of at most CHUNK_BITS, each band whole in one.
void cut_in_chunks(const __m512i (&width)[2], Layout& t) {
    alignas(64) std::array<int64_t, PACK_LANES> w, end{}, chunk_of{}, shift{};
    _mm512_store_si512(w.data(), width[0]);
    _mm512_store_si512(w.data() + lanes, width[1]);
    int32_t used = 0;
    for (size_t e = 0; e < PACK_LANES; ++e) {
        if (w[e] == 0) continue;
        if (t.chunks == 0 || used + w[e] > CHUNK_BITS) {
            ++t.chunks;
            used = 0;
        }
        used += static_cast<int32_t>(w[e]);
        end[e] = used;
        chunk_of[e] = t.chunks - 1;
        t.bits[static_cast<size_t>(t.chunks - 1)] = used;
    }
    for (size_t e = 0; e < PACK_LANES; ++e) {
        if (w[e] == 0) continue;
        const auto k = static_cast<size_t>(chunk_of[e]);
        shift[e] = t.bits[k] - end[e];
        t.select[k][e / lanes] |= static_cast<__mmask8>(1u << (e % lanes));
    }
    t.shift[0] = _mm512_load_si512(shift.data());
    t.shift[1] = _mm512_load_si512(shift.data() + lanes);
}

Layout layout_of(const EncoderState& s, const std::array<SubbandRow, MAX_CHANNELS>& bits) {
    Layout t;
    t.vectors = s.channels * s.subbands > lanes ? 2 : 1;
    __m512i width[2];
    in_lanes(s, bits, width);
    t.per_block =
        static_cast<int32_t>(_mm512_reduce_add_epi64(_mm512_add_epi64(width[0], width[1])));
    if (t.per_block > max_word_bits) {
        cut_in_chunks(width, t);
    } else if (t.per_block > 0) { // one chunk: lanes without bits hold 0 and may take any shift
        t.chunks = 1;
        t.bits[0] = t.per_block;
        t.select[0] = {0xFF, 0xFF};
        const __m512i end0 = running_sum(width[0]);
        const __m512i end1 = _mm512_add_epi64(running_sum(width[1]),
                                              _mm512_permutexvar_epi64(_mm512_set1_epi64(7), end0));
        const __m512i total = _mm512_set1_epi64(t.per_block);
        t.shift[0] = _mm512_sub_epi64(total, end0);
        t.shift[1] = _mm512_sub_epi64(total, end1);
    }
    const __m512i one = _mm512_set1_epi64(1);
    for (int32_t v = 0; v < 2; ++v)
        t.mask[v] = _mm512_sub_epi64(_mm512_sllv_epi64(one, width[v]), one);
    return t;
}

// The quantiser's constants of every lane.
void set_quantizer(const EncoderState& s, const std::array<SubbandRow, MAX_CHANNELS>& scale_factor,
                   const std::array<SubbandRow, MAX_CHANNELS>& bits, Layout& t) {
    __m512i sf[2], width[2];
    in_lanes(s, scale_factor, sf);
    in_lanes(s, bits, width);
    for (int32_t v = 0; v < 2; ++v) t.quantizer[v] = quantizer_lanes(sf[v], width[v]);
}

// The values of one block from the quantized rows (M bands), masked to their widths: vector v.
// The band count is a template argument, so that the loops over the blocks do not test it.
template <int32_t M> struct QuantizedBlocks {
    const int32_t* rows[MAX_CHANNELS];

    __m512i values(const Layout& t, int32_t blk, int32_t v) const {
        const auto at = static_cast<size_t>(blk * M);
        const __m256i q = M == 8
                              ? _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[v] + at))
                              : _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(rows[1] + at),
                                                    reinterpret_cast<const __m128i*>(rows[0] + at));
        return _mm512_and_si512(_mm512_cvtepu32_epi64(q), t.mask[v]);
    }
};

// The values of one block quantised from the band samples (M bands): vector v.
template <int32_t M> struct SampleBlocks {
    const float* rows[MAX_CHANNELS];

    __m512i values(const Layout& t, int32_t blk, int32_t v) const {
        const auto at = static_cast<size_t>(blk * M);
        const __m256 x =
            M == 8 ? _mm256_loadu_ps(rows[v] + at) : _mm256_loadu2_m128(rows[1] + at, rows[0] + at);
        return quantize_lanes_within_scale(x, t.quantizer[v]);
    }
};

// Vector v of block `blk`, each value shifted to its place in its chunk.
template <typename Blocks>
__m512i placed(const Layout& t, const Blocks& blocks, int32_t blk, int32_t v) {
    return _mm512_sllv_epi64(blocks.values(t, blk, v), t.shift[v]);
}

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

// One chunk per block: the block words, eight blocks at a time in registers; returns their
// number. Blocks past the last repeat it, and their words are never written.
template <int32_t V, typename Blocks>
size_t block_words(const Layout& t, const Blocks& blocks, int32_t blk_len, uint64_t* words) {
    for (int32_t first = 0; first < blk_len; first += lanes) {
        __m512i group[lanes];
#pragma GCC unroll 8
        for (int32_t i = 0; i < lanes; ++i) {
            const int32_t blk = std::min(first + i, blk_len - 1);
            group[i] = placed(t, blocks, blk, 0);
            if constexpr (V == 2) group[i] = _mm512_or_si512(group[i], placed(t, blocks, blk, 1));
        }
        _mm512_storeu_si512(words + first, or_across_each(group));
    }
    return static_cast<size_t>(blk_len);
}

// Any number of chunks per block: the chunk words in stream order; returns their number.
template <typename Blocks>
size_t chunk_words(const Layout& t, const Blocks& blocks, int32_t blk_len, uint64_t* words) {
    __m512i group[lanes];
    int32_t filled = 0;
    size_t count = 0;
    for (int32_t blk = 0; blk < blk_len; ++blk) {
        const __m512i v0 = placed(t, blocks, blk, 0);
        const __m512i v1 = t.vectors == 2 ? placed(t, blocks, blk, 1) : _mm512_setzero_si512();
        for (int32_t k = 0; k < t.chunks; ++k) {
            const auto& sel = t.select[static_cast<size_t>(k)];
            group[filled++] = _mm512_or_si512(_mm512_maskz_mov_epi64(sel[0], v0),
                                              _mm512_maskz_mov_epi64(sel[1], v1));
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

// put_words_in_place (pack_simd.h) eight words at a time in lanes.
void put_words_in_lanes(const uint64_t* words, size_t count, int32_t bits, ChunkState& state) {
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
    uint8_t* const base = state.buffer + state.byte;
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
            std::memcpy(base + at[i], out.data() + (i & 1) * lanes + (i >> 1) * 2, 16);
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
    const size_t count = t.chunks > 1     ? chunk_words(t, blocks, blk_len, words.data())
                         : t.vectors == 2 ? block_words<2>(t, blocks, blk_len, words.data())
                                          : block_words<1>(t, blocks, blk_len, words.data());
    if (t.chunks == 1 && t.per_block >= min_parallel_bits) {
        put_words_in_lanes(words.data(), count, t.per_block, state);
        return;
    }
    for (size_t i = 0; i < count; ++i)
        put_chunk(state.buffer, state.byte, state.top, state.count, words[i],
                  t.bits[i % static_cast<size_t>(t.chunks)]);
}

// The frame's blocks from one channel row each (one channel: the same row twice), read by
// Blocks<M> for the frame's band count.
template <template <int32_t> class Blocks, class Row>
void pack_rows(const Layout& t, const EncoderState& s, const std::array<Row, MAX_CHANNELS>& rows,
               ChunkState& state) {
    const auto* const first = rows[0].data();
    const auto* const second = rows[s.channels > 1 ? 1 : 0].data();
    if (s.subbands == 8)
        pack_blocks(t, Blocks<8>{{first, second}}, s.blk_len, state);
    else
        pack_blocks(t, Blocks<4>{{first, second}}, s.blk_len, state);
}

} // namespace

ChunkState start_frame_avx512(uint8_t* buffer, const EncoderState& s, const SubbandRow& join,
                              const std::array<SubbandRow, MAX_CHANNELS>& scale_factor) {
    buffer[0] = s.sync_byte;
    buffer[1] = s.header_byte;
    buffer[2] = s.bitpool_byte;
    const int32_t nibbles = s.channels * s.subbands;
    const int32_t flags = s.channel_mode == JOINT_STEREO ? s.subbands : 0;
    // The scale factors as bytes in stream order (4 bands: lanes 0..3 and 8..11 of the rows),
    // paired into bytes (first × 16 + second), read as one big-endian word: the first at the top.
    const __m512i order = _mm512_set_epi32(0, 0, 0, 0, 0, 0, 0, 0, 11, 10, 9, 8, 3, 2, 1, 0);
    const __m512i rows = _mm512_loadu_si512(scale_factor.data());
    const __mmask16 used = static_cast<__mmask16>((1u << nibbles) - 1u);
    const __m512i sf = s.subbands == 8 ? _mm512_maskz_mov_epi32(used, rows)
                                       : _mm512_maskz_permutexvar_epi32(used, order, rows);
    const __m128i nibble = _mm512_cvtepi32_epi8(_mm512_and_si512(sf, _mm512_set1_epi32(15)));
    const __m128i pairs = _mm_maddubs_epi16(nibble, _mm_set1_epi16(0x0110));
    const uint64_t sf_bits =
        __builtin_bswap64(static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_packus_epi16(pairs, pairs))));
    // The join flags, band 0 at the top of `flags` bits.
    const __m512i reversed = _mm512_set_epi32(0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7);
    const __m512i j = _mm512_maskz_loadu_epi32(0xFF, join.data());
    const __m512i flag_order =
        s.subbands == 8 ? reversed : _mm512_alignr_epi32(reversed, reversed, 4);
    const auto flag_bits = static_cast<uint64_t>(
        _mm512_test_epi32_mask(_mm512_permutexvar_epi32(flag_order, j), _mm512_set1_epi32(1)) &
        ((1u << flags) - 1u));
    return finish_header(buffer, flag_bits, flags, sf_bits, 4 * nibbles);
}

void pack_samples_avx512(const EncoderState& s,
                         const std::array<QuantizedRow, MAX_CHANNELS>& quantized,
                         const std::array<SubbandRow, MAX_CHANNELS>& bits, ChunkState& state) {
    pack_rows<QuantizedBlocks>(layout_of(s, bits), s, quantized, state);
}

void quantize_pack_samples_avx512(const EncoderState& s,
                                  const std::array<SampleRow, MAX_CHANNELS>& sb_sample,
                                  const std::array<SubbandRow, MAX_CHANNELS>& scale_factor,
                                  const std::array<SubbandRow, MAX_CHANNELS>& bits,
                                  ChunkState& state) {
    Layout t = layout_of(s, bits);
    set_quantizer(s, scale_factor, bits, t);
    pack_rows<SampleBlocks>(t, s, sb_sample, state);
}

} // namespace sbc
#endif
