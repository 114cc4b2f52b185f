// Unpacking: the frame's bit stream read back in the order the encoder wrote it, most
// significant bit first, without gaps:
//
//   byte 4, bit 7 ─► [join × M]  scale factors (4 bits, ch 0 bands 0..M-1, ch 1)  samples ...
//                    JOINT only  ─► bit allocation (the encoder's own code) gives bits[ch][sb]
//   samples: for block 0..B-1, channel 0..C-1, band 0..M-1: bits[ch][sb] bits, unsigned
//
// A field of n ≤ 16 bits at bit offset p is the top n bits of the 64-bit big-endian word at
// byte p / 8, shifted left by p mod 8; near the frame's end the word is assembled byte by
// byte, with zeros for bytes beyond it, so nothing past header.length is ever read. Within the
// bitpool limits the allocation spends exactly the bits the header's length counts, so the
// samples end within the frame; that is checked once, before any sample is read.
#include "sbc/decode/unpack.h"

#include "sbc/bitalloc.h"
#include "sbc/frame.h"

#include <algorithm>
#include <cstring>

namespace sbc {

namespace {

constexpr int32_t word_bytes = 8;

struct BitReader {
    std::span<const uint8_t> bytes; // the frame, header.length bytes
    size_t pos = 0;                 // in bits from the frame's start

    // The next n bits (1..16) as an unsigned value.
    uint32_t take(int32_t n) {
        const size_t at = pos / 8;
        uint64_t word = 0;
        if (at + word_bytes <= bytes.size()) {
            std::memcpy(&word, bytes.data() + at, word_bytes);
            word = __builtin_bswap64(word);
        } else {
            for (size_t i = 0; i < word_bytes; ++i)
                word = word << 8 | (at + i < bytes.size() ? bytes[at + i] : 0u);
        }
        const auto value = static_cast<uint32_t>((word << (pos % 8)) >> (64 - n));
        pos += static_cast<size_t>(n);
        return value;
    }
};

// One band of the sample loop: where its values go and how wide they are.
struct Entry {
    int32_t channel;
    int32_t subband;
    int32_t bits;
};

} // namespace

bool unpack_frame(std::span<const uint8_t> frame, const FrameHeader& header, FrameFields& f) {
    const int32_t m = header.subbands;
    BitReader in{frame.first(static_cast<size_t>(header.length)), HEADER_BYTES * 8};
    f.join.fill(0);
    if (header.channel_mode == JOINT_STEREO) {
        for (int32_t sb = 0; sb < m; ++sb) f.join[sb] = static_cast<int32_t>(in.take(1));
        f.join[m - 1] = 0; // reserved: a set flag is not honoured
    }
    for (int32_t ch = 0; ch < header.channels; ++ch)
        for (int32_t sb = 0; sb < m; ++sb)
            f.scale_factor[ch][sb] = static_cast<int32_t>(in.take(SCALE_FACTOR_BITS));
    allocate_frame_bits(allocation_params(header), f.scale_factor, f.bits);

    std::array<Entry, MAX_CHANNELS * MAX_SUBBANDS> entries{};
    size_t count = 0;
    int32_t block_bits = 0;
    for (int32_t ch = 0; ch < header.channels; ++ch) {
        for (int32_t sb = 0; sb < m; ++sb) {
            if (f.bits[ch][sb] == 0) continue;
            entries[count++] = {ch, sb, f.bits[ch][sb]};
            block_bits += f.bits[ch][sb];
        }
    }
    const size_t end =
        in.pos + static_cast<size_t>(block_bits) * static_cast<size_t>(header.blocks);
    if (end > in.bytes.size() * 8) return false;

    for (int32_t ch = 0; ch < header.channels; ++ch)
        std::fill_n(f.quantized[ch].begin(), header.blocks * m, 0); // bands of 0 bits
    for (int32_t blk = 0; blk < header.blocks; ++blk) {
        const int32_t base = blk * m;
        for (size_t e = 0; e < count; ++e) {
            const Entry& x = entries[e];
            f.quantized[x.channel][base + x.subband] = static_cast<int32_t>(in.take(x.bits));
        }
    }
    return true;
}

} // namespace sbc
