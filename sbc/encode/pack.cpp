// Frame packing: one SBC frame laid out in bytes, most significant bit first, bytes filled from
// bit 7 down, in the layout that sbc/frame.h draws (sync, header byte, bitpool, CRC-8, join
// flags, scale factors, samples, zero padding). Bytes 0..2 are the state's sync_byte,
// header_byte and bitpool_byte, whatever they are (0xAD 00 00 for mSBC), and the CRC covers
// bytes 1 and 2 as written.
//
// Invariant: pack_frame writes exactly the bytes [out_len, out_len + length) and nothing
// else; it checks that they fit before writing any.
// Speed: the bit stream is gathered in a 64-bit word and stored 32 bits at a time; the CRC runs a
// byte at a time through a 256-entry table (the register after 8 bits fed from value i), bit by
// bit only for a last part-byte. Where the processor has AVX2 the samples go out in chunks of
// up to 56 bits assembled in vector lanes (pack_simd.h); with AVX-512 the header part too is
// built in lanes, a block's bits become one word when they total 64 or less, and the samples
// may be quantised on the way (pack_avx512.cpp). The frame is assembled in a local buffer with
// room to spare and copied out.
#include "sbc/encode/pack.h"

#include "sbc/encode/pack_simd.h"

#include <algorithm>

namespace sbc {

namespace {

constexpr int32_t max_value_bits = 32;
constexpr int32_t max_sample_bits = 16;
// The longest frame pack_frame can be asked for: every band of both channels at 16 bits.
constexpr size_t longest_frame =
    HEADER_BYTES +
    (MAX_SUBBANDS +
     (SCALE_FACTOR_BITS + max_sample_bits * MAX_BLOCKS) * MAX_CHANNELS * MAX_SUBBANDS + 7) /
        8;

// The frame's bit stream from byte 4 on. Pending bits are the low `count` bits of `acc`; whole
// 32-bit words go out big-endian (most significant bit first), the rest at finish().
struct BitWriter {
    std::span<uint8_t> frame;
    size_t byte = HEADER_BYTES;
    uint64_t acc = 0;
    int32_t count = 0;

    void put(uint32_t value, int32_t bits) { // 0 <= bits <= 32
        put_fitting(value & static_cast<uint32_t>((uint64_t{1} << bits) - 1), bits);
    }
    void put_fitting(uint32_t value, int32_t bits) { // value < 2^bits
        acc = (acc << bits) | value;
        count += bits;
        if (count >= 32) {
            count -= 32;
            const auto word = static_cast<uint32_t>(acc >> count);
            for (int32_t shift = 24; shift >= 0; shift -= 8)
                frame[byte++] = static_cast<uint8_t>(word >> shift);
        }
    }
    // CRC of everything written so far, continuing from `crc`.
    int32_t crc_of_stream(int32_t crc) const {
        for (size_t i = HEADER_BYTES; i < byte; ++i) crc = crc_byte(crc, frame[i]);
        int32_t left = count;
        for (; left >= 8; left -= 8) crc = crc_byte(crc, static_cast<uint32_t>(acc >> (left - 8)));
        crc_len08(static_cast<uint32_t>(acc), left, crc);
        return crc;
    }
    // Writes the pending bits, zero-padded to a whole byte; returns the frame length.
    int32_t finish() {
        for (; count >= 8; count -= 8) frame[byte++] = static_cast<uint8_t>(acc >> (count - 8));
        if (count > 0) frame[byte++] = static_cast<uint8_t>(acc << (8 - count));
        count = 0;
        return static_cast<int32_t>(byte);
    }
};

bool bits_ok(const std::array<SubbandRow, MAX_CHANNELS>& bits, int32_t channels, int32_t subbands) {
    for (int32_t ch = 0; ch < channels; ++ch)
        for (int32_t sb = 0; sb < subbands; ++sb)
            if (bits[ch][sb] < 0 || bits[ch][sb] > max_sample_bits) return false;
    return true;
}

int32_t total_sample_bits(const std::array<SubbandRow, MAX_CHANNELS>& bits, int32_t channels,
                          int32_t subbands, int32_t blk_len) {
    int32_t per_block = 0;
    for (int32_t ch = 0; ch < channels; ++ch)
        for (int32_t sb = 0; sb < subbands; ++sb) per_block += bits[ch][sb];
    return per_block * blk_len;
}

// The samples, one band at a time; returns the frame length.
int32_t write_samples(BitWriter& w, const EncoderState& s,
                      const std::array<QuantizedRow, MAX_CHANNELS>& quantized,
                      const std::array<SubbandRow, MAX_CHANNELS>& bits) {
    // The bands that carry bits, in frame order; the blocks repeat that list.
    struct Entry {
        const QuantizedRow* row;
        int32_t subband;
        int32_t bits;
        uint32_t mask; // 2^bits - 1
    };
    std::array<Entry, MAX_CHANNELS * MAX_SUBBANDS> entries;
    size_t count = 0;
    for (int32_t ch = 0; ch < s.channels; ++ch)
        for (int32_t sb = 0; sb < s.subbands; ++sb)
            if (bits[ch][sb] > 0)
                entries[count++] = {&quantized[ch], sb, bits[ch][sb], (1u << bits[ch][sb]) - 1u};
    for (int32_t blk = 0; blk < s.blk_len; ++blk) {
        const int32_t at = blk * s.subbands;
        for (size_t e = 0; e < count; ++e) {
            const Entry& n = entries[e];
            w.put_fitting(static_cast<uint32_t>((*n.row)[at + n.subband]) & n.mask, n.bits);
        }
    }
    return w.finish();
}

// The samples in chunks (see pack_simd.h) from `state` on; returns the frame length.
int32_t write_samples_in_chunks(ChunkState state, const EncoderState& s,
                                const std::array<QuantizedRow, MAX_CHANNELS>& quantized,
                                const std::array<SubbandRow, MAX_CHANNELS>& bits) {
    SampleChunks chunks;
    std::array<int32_t, PACK_LANES> chunk_of{};
    int32_t used = 0;
    int32_t per_block = 0;
    for (int32_t ch = 0; ch < s.channels; ++ch)
        for (int32_t sb = 0; sb < s.subbands; ++sb) per_block += bits[ch][sb];
    const bool one_word = per_block >= 8 && per_block <= 64; // see put_words_in_place
    const int32_t limit = one_word ? 64 : CHUNK_BITS;
    for (int32_t ch = 0; ch < s.channels; ++ch) {
        for (int32_t sb = 0; sb < s.subbands; ++sb) {
            const int32_t width = bits[ch][sb];
            if (width <= 0) continue;
            if (chunks.count == 0 || used + width > limit) {
                ++chunks.count;
                used = 0;
            }
            used += width;
            const auto lane = static_cast<size_t>(ch * MAX_SUBBANDS + sb);
            chunks.mask[lane] = (1u << width) - 1u;
            chunks.shift[lane] = static_cast<uint64_t>(used); // the value's end, for now
            chunk_of[lane] = chunks.count - 1;
            chunks.bits[static_cast<size_t>(chunks.count - 1)] = used;
        }
    }
    for (size_t lane = 0; lane < PACK_LANES; ++lane)
        if (chunks.mask[lane] != 0)
            chunks.shift[lane] =
                static_cast<uint64_t>(chunks.bits[static_cast<size_t>(chunk_of[lane])]) -
                chunks.shift[lane];
    const int32_t* const rows[MAX_CHANNELS] = {quantized[0].data(),
                                               quantized[s.channels > 1 ? 1 : 0].data()};
#if defined(__x86_64__) || defined(_M_X64)
    if (one_word) {
        pack_block_words_avx2(chunks, rows, s.subbands, s.blk_len, state);
        return state.length();
    }
    for (int32_t k = 0; k < chunks.count; ++k)
        for (size_t lane = 0; lane < PACK_LANES; ++lane)
            chunks.select[static_cast<size_t>(k)][lane] =
                chunks.mask[lane] != 0 && chunk_of[lane] == k ? ~uint64_t{0} : 0;
    pack_samples_avx2(chunks, rows, s.subbands, s.blk_len, state);
#else
    (void)rows;
#endif
    return state.length();
}

PackPath widest_path() {
    for (PackPath p : {PackPath::avx512, PackPath::avx2})
        if (pack_path_available(p)) return p;
    return PackPath::scalar;
}

// The frame is assembled here, with room for the vector paths' stores past its end, and copied
// out.
using FrameBuffer = std::array<uint8_t, longest_frame + 16>;

// Bytes 0..3, the join flags and the scale factors as start_frame writes them, gathered in two
// words (see finish_header); returns the write state after them.
ChunkState start_frame_in_words(FrameBuffer& buffer, const EncoderState& s, const SubbandRow& join,
                                const std::array<SubbandRow, MAX_CHANNELS>& scale_factor) {
    buffer[0] = s.sync_byte;
    buffer[1] = s.header_byte;
    buffer[2] = s.bitpool_byte;
    uint64_t sf_bits = 0;
    for (int32_t ch = 0; ch < s.channels; ++ch)
        for (int32_t sb = 0; sb < s.subbands; ++sb)
            sf_bits =
                sf_bits << SCALE_FACTOR_BITS | (static_cast<uint32_t>(scale_factor[ch][sb]) & 15u);
    const int32_t sf_count = SCALE_FACTOR_BITS * s.channels * s.subbands; // 16 .. 64
    const int32_t flags = s.channel_mode == JOINT_STEREO ? s.subbands : 0;
    uint64_t flag_bits = 0;
    for (int32_t sb = 0; sb < flags; ++sb)
        flag_bits = flag_bits << 1 | (static_cast<uint32_t>(join[sb]) & 1u);
    return finish_header(buffer.data(), flag_bits, flags, sf_bits << (64 - sf_count), sf_count);
}

// Bytes 0..3 (the CRC included), the join flags and the scale factors; returns the writer
// positioned after them.
BitWriter start_frame(FrameBuffer& buffer, const EncoderState& s, const SubbandRow& join,
                      const std::array<SubbandRow, MAX_CHANNELS>& scale_factor) {
    buffer[0] = s.sync_byte;
    buffer[1] = s.header_byte;
    buffer[2] = s.bitpool_byte;
    BitWriter w{buffer};
    if (s.channel_mode == JOINT_STEREO)
        for (int32_t sb = 0; sb < s.subbands; ++sb) w.put(static_cast<uint32_t>(join[sb]), 1);
    for (int32_t ch = 0; ch < s.channels; ++ch)
        for (int32_t sb = 0; sb < s.subbands; ++sb)
            w.put(static_cast<uint32_t>(scale_factor[ch][sb]), SCALE_FACTOR_BITS);
    const int32_t crc = crc_byte(crc_byte(CRC_INIT, s.header_byte), buffer[2]);
    buffer[3] = static_cast<uint8_t>(w.crc_of_stream(crc));
    return w;
}

} // namespace

void put_bits(uint32_t value, std::span<uint8_t> frame, int32_t count, BitPosition& pos) {
    for (int32_t i = std::min(count, max_value_bits) - 1; i >= 0; --i) {
        if (pos.byte_index < 0 || static_cast<size_t>(pos.byte_index) >= frame.size()) return;
        const auto bit = static_cast<uint8_t>((value >> i) & 1u);
        uint8_t& byte = frame[static_cast<size_t>(pos.byte_index)];
        if (pos.bit_index == 7)
            byte = static_cast<uint8_t>(bit << 7);
        else
            byte = static_cast<uint8_t>(byte + (bit << pos.bit_index));
        if (pos.bit_index == 0) {
            ++pos.byte_index;
            pos.bit_index = 7;
        } else {
            --pos.bit_index;
        }
    }
}

bool pack_path_available(PackPath path) {
#if defined(__x86_64__) || defined(_M_X64)
    if (path == PackPath::avx2) return __builtin_cpu_supports("avx2");
    if (path == PackPath::avx512)
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
               __builtin_cpu_supports("avx512bw");
#endif
    return path == PackPath::scalar;
}

int32_t write_frame(std::span<uint8_t> frame, const EncoderState& s, const SubbandRow& join,
                    const std::array<SubbandRow, MAX_CHANNELS>& scale_factor,
                    const std::array<QuantizedRow, MAX_CHANNELS>& quantized,
                    const std::array<SubbandRow, MAX_CHANNELS>& bits) {
    static const PackPath widest = widest_path();
    return write_frame_on(widest, frame, s, join, scale_factor, quantized, bits);
}

int32_t write_frame_on(PackPath path, std::span<uint8_t> frame, const EncoderState& s,
                       const SubbandRow& join,
                       const std::array<SubbandRow, MAX_CHANNELS>& scale_factor,
                       const std::array<QuantizedRow, MAX_CHANNELS>& quantized,
                       const std::array<SubbandRow, MAX_CHANNELS>& bits) {
    FrameBuffer buffer;
    int32_t length = 0;
#if defined(__x86_64__) || defined(_M_X64)
    if (path == PackPath::avx512) {
        ChunkState state = start_frame_avx512(buffer.data(), s, join, scale_factor);
        pack_samples_avx512(s, quantized, bits, state);
        length = state.length();
    }
#endif
    if (path == PackPath::avx2)
        length = write_samples_in_chunks(start_frame_in_words(buffer, s, join, scale_factor), s,
                                         quantized, bits);
    if (path == PackPath::scalar) {
        BitWriter w = start_frame(buffer, s, join, scale_factor);
        length = write_samples(w, s, quantized, bits);
    }
    std::copy_n(buffer.begin(), static_cast<size_t>(length), frame.begin());
    return length;
}

bool quantizing_pack_available() {
    return pack_path_available(PackPath::avx512);
}

// (Only on x86-64: elsewhere quantizing_pack_available() is false and nothing calls it.)
int32_t quantize_and_write_frame([[maybe_unused]] std::span<uint8_t> frame,
                                 [[maybe_unused]] const EncoderState& s,
                                 [[maybe_unused]] const FrameWorkspace& ws) {
    int32_t length = 0;
#if defined(__x86_64__) || defined(_M_X64)
    FrameBuffer buffer;
    ChunkState state = start_frame_avx512(buffer.data(), s, ws.join, ws.scale_factor);
    quantize_pack_samples_avx512(s, ws.sb_sample, ws.scale_factor, ws.bits, state);
    length = state.length();
    std::copy_n(buffer.begin(), static_cast<size_t>(length), frame.begin());
#endif
    return length;
}

int32_t pack_frame(std::span<uint8_t> out, int32_t& out_len, const SubbandRow& join,
                   const std::array<SubbandRow, MAX_CHANNELS>& scale_factor,
                   const std::array<QuantizedRow, MAX_CHANNELS>& quantized, uint8_t header_byte,
                   int32_t bitpool, int32_t channels, int32_t channel_mode, int32_t subbands,
                   int32_t blk_len, const std::array<SubbandRow, MAX_CHANNELS>& bits) {
    if (channels < 1 || channels > MAX_CHANNELS || !frame_shape_ok(subbands, blk_len)) return -1;
    if (!bits_ok(bits, channels, subbands)) return -1;
    const int32_t length = frame_bytes(channel_mode, channels, subbands,
                                       total_sample_bits(bits, channels, subbands, blk_len));
    if (out_len < 0 || static_cast<size_t>(out_len) > out.size() ||
        out.size() - static_cast<size_t>(out_len) < static_cast<size_t>(length))
        return -1;
    EncoderState s;
    s.header_byte = header_byte;
    s.bitpool = bitpool;
    s.sync_byte = SYNCWORD;
    s.bitpool_byte = static_cast<uint8_t>(bitpool & 0xFF);
    s.channels = channels;
    s.channel_mode = channel_mode;
    s.subbands = subbands;
    s.blk_len = blk_len;
    const int32_t written =
        write_frame(out.subspan(static_cast<size_t>(out_len), static_cast<size_t>(length)), s, join,
                    scale_factor, quantized, bits);
    out_len += written;
    return written;
}

} // namespace sbc
