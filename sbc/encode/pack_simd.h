// Inside the encoder library: the vector paths of frame packing (pack_avx2.cpp, pack_avx512.cpp),
// which packing (pack.cpp) calls only on processors that have AVX2 or AVX-512 (F, DQ, BW).
//
// Every block of a frame carries the same bands with the same widths, so the list of bands is
// cut once per frame into chunks of at most CHUNK_BITS bits. Lane ch × 8 + sb holds band sb of
// channel ch; per block, each lane's value is masked to its width and shifted to its place in
// its chunk, and a chunk is the OR of its lanes:
//
//   chunk k of block b = OR over lanes l in chunk k of (q[l] & mask[l]) << shift[l]
//
// Chunks are appended by put_chunk (the order of the stream: block, then chunk). The AVX-512
// path lays its lanes out per block instead and has a writer of its own (pack_avx512.cpp).
#pragma once

#include "sbc/frame.h"
#include "sbc/sbc.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace sbc {

inline constexpr int32_t CHUNK_BITS = 56; // with up to 7 bits pending, a chunk fits 64 bits
inline constexpr int32_t PACK_LANES = MAX_CHANNELS * MAX_SUBBANDS;

struct SampleChunks {
    std::array<uint32_t, PACK_LANES> mask{};  // 2^bits − 1; 0 for a band without bits
    std::array<uint64_t, PACK_LANES> shift{}; // from the chunk's last bit to the value's
    std::array<std::array<uint64_t, PACK_LANES>, PACK_LANES> select; // [chunk][lane]: all ones
    std::array<int32_t, PACK_LANES> bits; // of each chunk, 1..56 (or one chunk of up to 64)
    int32_t count = 0;
};

// The stream's write state: bytes written (`byte`), and 0..7 pending bits at the top of `top`.
struct ChunkState {
    uint8_t* buffer; // room for 16 bytes past the frame's end
    size_t byte;
    uint64_t top;
    int32_t count;

    // The frame's length once its last bits are in.
    int32_t length() const { return static_cast<int32_t>(byte) + (count > 0 ? 1 : 0); }
};

// Appends `bits` (1..CHUNK_BITS) bits, value < 2^bits, without a branch: the chunk goes in below
// the pending bits, all eight bytes of `top` are stored big-endian, and the whole bytes among
// them are passed. The bytes past those hold the pending bits and zeros: a frame's padding is
// in place whenever it ends.
inline void put_chunk(uint8_t* buffer, size_t& byte, uint64_t& top, int32_t& count, uint64_t value,
                      int32_t bits) {
    top |= value << (64 - count - bits);
    const uint64_t big_endian = __builtin_bswap64(top);
    std::memcpy(buffer + byte, &big_endian, sizeof big_endian);
    const int32_t whole = (count + bits) >> 3;
    byte += static_cast<size_t>(whole);
    top <<= whole * 8;
    count = (count + bits) & 7;
}

// Appends `count` words of `bits` (8..64) bits each: word i starts at bit count + i × bits from
// `state`, known in advance, so each goes out as 16 big-endian bytes led by the last bits of the
// word before (which fill the byte the two share): no store waits for an earlier one, and the
// later of two overlapping stores writes the same bits again. Room for 16 bytes past the end.
inline void put_words_in_place(const uint64_t* words, size_t count, int32_t bits,
                               ChunkState& state) {
    uint64_t prev = state.count > 0 ? state.top >> (64 - state.count) : 0;
    uint8_t* const base = state.buffer + state.byte;
    int64_t pos = state.count;
    for (size_t i = 0; i < count; ++i, pos += bits) {
        const uint64_t left = words[i] << (64 - bits); // the word's first bit at bit 63
        const auto sh = static_cast<int32_t>(pos & 7);
        const uint64_t stream[2] = {
            __builtin_bswap64(sh > 0 ? left >> sh | prev << (64 - sh) : left),
            __builtin_bswap64(sh > 0 ? left << (64 - sh) : 0)};
        std::memcpy(base + (pos >> 3), stream, sizeof stream);
        prev = words[i];
    }
    state.byte += static_cast<size_t>(pos >> 3);
    state.count = static_cast<int32_t>(pos & 7);
    state.top = state.count > 0 ? prev << (64 - state.count) : 0;
}

// All blocks of the frame; rows[ch] is the channel's quantized row (both may be the same row,
// for one channel, whose second-channel lanes have mask 0). Needs AVX2.
void pack_samples_avx2(const SampleChunks& chunks, const int32_t* const (&rows)[MAX_CHANNELS],
                       int32_t subbands, int32_t blk_len, ChunkState& state);

// The same when `chunks` is one chunk of 8..64 bits (each lane's shift from the block's last
// bit): a word per block, stored by put_words_in_place. Needs AVX2.
void pack_block_words_avx2(const SampleChunks& chunks, const int32_t* const (&rows)[MAX_CHANNELS],
                           int32_t subbands, int32_t blk_len, ChunkState& state);

// After bytes 0..2 of `buffer`: the join flags (`flags` bits in `flag_bits`, band 0 highest) and
// the scale factors (`sf_count` bits at the top of `sf_bits`, the first highest) from byte 4 on,
// then the CRC over bytes 1, 2 and those bits in byte 3. Returns the write state after them.
// Writes 16 bytes from byte 4 whatever the length.
inline ChunkState finish_header(uint8_t* buffer, uint64_t flag_bits, int32_t flags,
                                uint64_t sf_bits, int32_t sf_count) {
    const int32_t header_bits = flags + sf_count;
    const uint64_t hi = flags > 0 ? flag_bits << (64 - flags) | sf_bits >> flags : sf_bits;
    const uint64_t lo = flags > 0 ? sf_bits << (64 - flags) : 0;
    const uint64_t stream[2] = {__builtin_bswap64(hi), __builtin_bswap64(lo)};
    std::memcpy(buffer + 4, stream, sizeof stream);
    const int32_t whole = header_bits / 8; // the CRC's bytes: 1, 2 and these
    const auto after = [](int32_t zero_bytes) -> const std::array<uint8_t, 256>& {
        return CRC_AFTER[static_cast<size_t>(zero_bytes)];
    };
    int32_t crc = after(whole + 1)[CRC_INIT ^ buffer[1]] ^ after(whole)[buffer[2]];
    for (int32_t i = 0; i < whole; ++i) crc ^= after(whole - 1 - i)[buffer[4 + i]];
    const int32_t left = header_bits % 8;
    for (int32_t i = left - 1; i >= 0; --i) { // a last part-byte (4 bands, joint), bit by bit
        const int32_t feedback = ((buffer[4 + whole] >> (8 - left + i)) & 1) ^ ((crc >> 7) & 1);
        crc = ((crc << 1) ^ (feedback != 0 ? CRC_POLY : 0)) & 0xFF;
    }
    buffer[3] = static_cast<uint8_t>(crc);
    ChunkState state{buffer, static_cast<size_t>(4 + whole), 0, left};
    if (left > 0) state.top = static_cast<uint64_t>(buffer[4 + whole]) << 56;
    return state;
}

// Bytes 0..3 of the frame of `s` (CRC included), its join flags and scale factors, into
// `buffer` (room for 16 bytes past them); returns the write state after them. Needs AVX-512.
ChunkState start_frame_avx512(uint8_t* buffer, const EncoderState& s, const SubbandRow& join,
                              const std::array<SubbandRow, MAX_CHANNELS>& scale_factor);

// All blocks of the frame of `s` from the quantized rows, or quantising the band samples on the
// way as quantize_frame does for samples within their scale (the values then never go through
// memory). Need AVX-512.
void pack_samples_avx512(const EncoderState& s,
                         const std::array<QuantizedRow, MAX_CHANNELS>& quantized,
                         const std::array<SubbandRow, MAX_CHANNELS>& bits, ChunkState& state);
void quantize_pack_samples_avx512(const EncoderState& s,
                                  const std::array<SampleRow, MAX_CHANNELS>& sb_sample,
                                  const std::array<SubbandRow, MAX_CHANNELS>& scale_factor,
                                  const std::array<SubbandRow, MAX_CHANNELS>& bits,
                                  ChunkState& state);

} // namespace sbc
