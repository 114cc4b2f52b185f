// Reconstruction of band samples. A band of scale factor sf and b > 0 bits carries values q
// in 0 .. levels = 2^b − 1: points 2 × scale / levels apart, spanning about −scale .. +scale,
// scale = 2^(sf + 1):
//
//   sample = scale × ((2q + 1) / levels − 1) = (2q + 1 − levels) × (scale / levels)
//
// computed in the second form: 2q + 1 − levels is an exact integer and scale / levels one
// rounded double per band, so each sample is rounded twice and the middle value
// q = (levels − 1) / 2 gives exactly 0. One bit (levels 1) gives 0 or 2 × scale; a band of
// 0 bits has step 0 and gives +0.0 (its q are 0).
//
// Joint stereo: a joined band carries mid (channel 0) and side (channel 1); per block
//   left = mid + side,   right = mid − side
// (the encoder halved both, so no factor remains). The last band is never joined: its flag is
// reserved.
#include "sbc/decode/reconstruct.h"

namespace sbc {

void reconstruct_frame(const FrameFields& f, const FrameHeader& header,
                       std::array<BandRow, MAX_CHANNELS>& sb_sample) {
    const int32_t m = header.subbands;
    for (int32_t ch = 0; ch < header.channels; ++ch) {
        std::array<int32_t, MAX_SUBBANDS> offset{}; // 1 − levels
        std::array<double, MAX_SUBBANDS> step{};    // scale / levels
        for (int32_t sb = 0; sb < m; ++sb) {
            const int32_t bits = f.bits[ch][sb];
            if (bits == 0) continue;
            const int32_t levels = (1 << bits) - 1;
            offset[sb] = 1 - levels;
            step[sb] = static_cast<double>(1 << (f.scale_factor[ch][sb] + 1)) / levels;
        }
        const auto& q = f.quantized[ch];
        auto& out = sb_sample[ch];
        for (int32_t blk = 0; blk < header.blocks; ++blk)
            for (int32_t sb = 0; sb < m; ++sb)
                out[blk * m + sb] =
                    static_cast<double>(2 * q[blk * m + sb] + offset[sb]) * step[sb];
    }
    if (header.channel_mode != JOINT_STEREO) return;
    for (int32_t blk = 0; blk < header.blocks; ++blk) {
        for (int32_t sb = 0; sb < m - 1; ++sb) {
            if (f.join[sb] == 0) continue;
            double& left = sb_sample[0][blk * m + sb];
            double& right = sb_sample[1][blk * m + sb];
            const double mid = left, side = right;
            left = mid + side;
            right = mid - side;
        }
    }
}

} // namespace sbc
