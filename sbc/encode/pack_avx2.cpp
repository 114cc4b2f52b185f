// The sample part of a frame in AVX2 lanes: per block, 16 bands masked, widened to 64 bits and
// shifted into place in four vectors, then each chunk gathered by masks and one OR across the
// lanes; or, when a block's bits total 8..64, the whole block ORed into one word. Compiled with
// -mavx2 and called only when the processor has it. See pack_simd.h.
#if defined(__x86_64__) || defined(_M_X64)
#include "sbc/encode/pack_simd.h"

#include <immintrin.h>

namespace sbc {

namespace {

__m256i load_lanes(const uint64_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

uint64_t or_across(__m256i v) {
    __m128i x = _mm_or_si128(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    x = _mm_or_si128(x, _mm_unpackhi_epi64(x, x));
    return static_cast<uint64_t>(_mm_cvtsi128_si64(x));
}

// Per block, 16 bands masked, widened to 64 bits and shifted into place in four vectors.
struct BlockLanes {
    const int32_t* const (&rows)[MAX_CHANNELS];
    int32_t subbands;
    __m256i mask0, mask1;
    __m256i shift[4];

    BlockLanes(const SampleChunks& chunks, const int32_t* const (&r)[MAX_CHANNELS], int32_t m)
        : rows(r), subbands(m),
          mask0(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(&chunks.mask[0]))),
          mask1(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(&chunks.mask[8]))),
          shift{load_lanes(&chunks.shift[0]), load_lanes(&chunks.shift[4]),
                load_lanes(&chunks.shift[8]), load_lanes(&chunks.shift[12])} {}

    void of(int32_t blk, __m256i (&lane)[4]) const {
        // Eight values from each row; with 4 bands the upper four belong to the next block (or
        // lie past the frame's last block, still inside the row) and have mask 0.
        const auto at = static_cast<size_t>(blk * subbands);
        const __m256i q0 = _mm256_and_si256(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[0] + at)), mask0);
        const __m256i q1 = _mm256_and_si256(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[1] + at)), mask1);
        lane[0] = _mm256_sllv_epi64(_mm256_cvtepu32_epi64(_mm256_castsi256_si128(q0)), shift[0]);
        lane[1] =
            _mm256_sllv_epi64(_mm256_cvtepu32_epi64(_mm256_extracti128_si256(q0, 1)), shift[1]);
        lane[2] = _mm256_sllv_epi64(_mm256_cvtepu32_epi64(_mm256_castsi256_si128(q1)), shift[2]);
        lane[3] =
            _mm256_sllv_epi64(_mm256_cvtepu32_epi64(_mm256_extracti128_si256(q1, 1)), shift[3]);
    }
};

} // namespace

void pack_samples_avx2(const SampleChunks& chunks, const int32_t* const (&rows)[MAX_CHANNELS],
                       int32_t subbands, int32_t blk_len, ChunkState& state) {
    const BlockLanes lanes(chunks, rows, subbands);
    uint8_t* const buffer = state.buffer;
    size_t byte = state.byte;
    uint64_t top = state.top;
    int32_t count = state.count;
    for (int32_t blk = 0; blk < blk_len; ++blk) {
        __m256i lane[4];
        lanes.of(blk, lane);
        for (int32_t k = 0; k < chunks.count; ++k) {
            const uint64_t* select = chunks.select[static_cast<size_t>(k)].data();
            const __m256i v = _mm256_or_si256(
                _mm256_or_si256(_mm256_and_si256(lane[0], load_lanes(select)),
                                _mm256_and_si256(lane[1], load_lanes(select + 4))),
                _mm256_or_si256(_mm256_and_si256(lane[2], load_lanes(select + 8)),
                                _mm256_and_si256(lane[3], load_lanes(select + 12))));
            put_chunk(buffer, byte, top, count, or_across(v), chunks.bits[static_cast<size_t>(k)]);
        }
    }
    state.byte = byte;
    state.top = top;
    state.count = count;
}

void pack_block_words_avx2(const SampleChunks& chunks, const int32_t* const (&rows)[MAX_CHANNELS],
                           int32_t subbands, int32_t blk_len, ChunkState& state) {
    const BlockLanes lanes(chunks, rows, subbands);
    std::array<uint64_t, MAX_BLOCKS> words;
    for (int32_t blk = 0; blk < blk_len; ++blk) {
        __m256i lane[4];
        lanes.of(blk, lane);
        words[static_cast<size_t>(blk)] = or_across(
            _mm256_or_si256(_mm256_or_si256(lane[0], lane[1]), _mm256_or_si256(lane[2], lane[3])));
    }
    put_words_in_place(words.data(), static_cast<size_t>(blk_len), chunks.bits[0], state);
}

} // namespace sbc
#endif
