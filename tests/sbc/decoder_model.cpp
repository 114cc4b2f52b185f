#include "decoder_model.h"

#include "sbc/bitalloc.h"
#include "sbc/decode/unpack.h"
#include "sbc/prototype.h"

#include <cmath>
#include <gtest/gtest.h>
#include <numbers>
#include <span>

namespace dectest {

namespace {

std::span<const uint8_t> bytes_of(const std::string& s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

struct BitWriter {
    std::string bytes;
    int32_t bit = 0; // bits written
    void put(uint32_t value, int32_t n) {
        for (int32_t i = n - 1; i >= 0; --i) {
            if (bit % 8 == 0) bytes += '\0';
            if ((value >> i) & 1u) bytes.back() = static_cast<char>(bytes.back() | 0x80 >> bit % 8);
            ++bit;
        }
    }
};

// CRC-8, x^8 + x^4 + x^3 + x^2 + 1, from 0x0F, one bit at a time.
struct Crc {
    uint32_t reg = 0x0F;
    void put(uint32_t value, int32_t n) {
        for (int32_t i = n - 1; i >= 0; --i) {
            const uint32_t feedback = ((value >> i) & 1u) ^ (reg >> 7 & 1u);
            reg = (reg << 1 & 0xFF) ^ (feedback != 0 ? 0x1Du : 0u);
        }
    }
};

std::array<sbc::SubbandRow, sbc::MAX_CHANNELS> bits_of(const sbc::FrameHeader& h,
                                                       const std::array<sbc::SubbandRow, 2>& sf) {
    std::array<sbc::SubbandRow, sbc::MAX_CHANNELS> bits{};
    sbc::allocate_frame_bits(sbc::allocation_params(h), sf, bits);
    return bits;
}

} // namespace

sbc::FrameHeader sbc_header(int32_t frequency_index, int32_t blocks, int32_t channel_mode,
                            int32_t allocation_method, int32_t subbands, int32_t bitpool) {
    const uint8_t byte1 =
        static_cast<uint8_t>(frequency_index << 6 | (blocks / 4 - 1) << 4 | channel_mode << 2 |
                             allocation_method << 1 | (subbands == 8 ? 1 : 0));
    const std::array<uint8_t, 3> b = {0x9C, byte1, static_cast<uint8_t>(bitpool)};
    sbc::FrameHeader h;
    EXPECT_EQ(sbc::frame_header_parse(b, h), sbc::HEADER_OK);
    return h;
}

sbc::FrameHeader msbc_header() {
    const std::array<uint8_t, 3> b = {0xAD, 0, 0};
    sbc::FrameHeader h;
    EXPECT_EQ(sbc::frame_header_parse(b, h), sbc::HEADER_OK);
    return h;
}

std::string build_frame(const FrameFields& s) {
    const sbc::FrameHeader& h = s.header;
    const bool msbc = h.kind == sbc::FrameKind::msbc;
    const uint32_t byte1 =
        msbc ? 0u
             : static_cast<uint32_t>(h.frequency_index << 6 | (h.blocks / 4 - 1) << 4 |
                                     h.channel_mode << 2 | h.allocation_method << 1 |
                                     (h.subbands == 8 ? 1 : 0));
    const uint32_t bitpool = msbc ? 0u : static_cast<uint32_t>(h.bitpool);
    BitWriter w;
    Crc crc;
    w.put(msbc ? 0xAD : 0x9C, 8);
    w.put(byte1, 8);
    w.put(bitpool, 8);
    w.put(0, 8); // the CRC, filled in below
    crc.put(byte1, 8);
    crc.put(bitpool, 8);
    if (h.channel_mode == sbc::JOINT_STEREO) {
        for (int32_t sb = 0; sb < h.subbands; ++sb) {
            w.put(static_cast<uint32_t>(s.join[sb]), 1);
            crc.put(static_cast<uint32_t>(s.join[sb]), 1);
        }
    }
    for (int32_t ch = 0; ch < h.channels; ++ch) {
        for (int32_t sb = 0; sb < h.subbands; ++sb) {
            w.put(static_cast<uint32_t>(s.scale_factor[ch][sb]), 4);
            crc.put(static_cast<uint32_t>(s.scale_factor[ch][sb]), 4);
        }
    }
    const auto bits = bits_of(h, s.scale_factor);
    for (int32_t blk = 0; blk < h.blocks; ++blk)
        for (int32_t ch = 0; ch < h.channels; ++ch)
            for (int32_t sb = 0; sb < h.subbands; ++sb)
                w.put(static_cast<uint32_t>(s.quantized[ch][blk * h.subbands + sb]), bits[ch][sb]);
    w.bytes[3] = static_cast<char>(crc.reg);
    EXPECT_LE(w.bytes.size(), static_cast<size_t>(h.length));
    w.bytes.resize(static_cast<size_t>(h.length), '\0');
    return w.bytes;
}

FrameFields random_frame(const sbc::FrameHeader& header, std::mt19937& rng, bool loud,
                       int32_t max_scale_factor) {
    FrameFields s;
    s.header = header;
    // The engine's raw output only (its sequence is the same in every standard library).
    const auto below = [&rng](uint32_t n) { return static_cast<int32_t>(rng() % n); };
    const auto coin = [&below] { return below(2); };
    for (int32_t sb = 0; sb + 1 < header.subbands; ++sb) s.join[sb] = coin();
    for (int32_t ch = 0; ch < header.channels; ++ch)
        for (int32_t sb = 0; sb < header.subbands; ++sb)
            s.scale_factor[ch][sb] =
                loud ? 15 : below(static_cast<uint32_t>(max_scale_factor) + 1u);
    const auto bits = bits_of(header, s.scale_factor);
    for (int32_t ch = 0; ch < header.channels; ++ch) {
        for (int32_t i = 0; i < header.blocks * header.subbands; ++i) {
            const int32_t b = bits[ch][i % header.subbands];
            const uint32_t top = (1u << b) - 1u;
            const auto value = static_cast<uint32_t>(rng()) & top;
            s.quantized[ch][i] = static_cast<int32_t>(loud ? (coin() != 0 ? top : 0u) : value);
        }
    }
    return s;
}

std::vector<long double> exact_decode(const std::string& stream) {
    // Band samples of every block, per channel: S[channel][block][band].
    std::vector<std::vector<std::array<long double, 8>>> bands(2);
    int32_t m = 0, channels = 0;
    for (size_t at = 0; at < stream.size();) {
        sbc::FrameHeader h;
        const auto frame = bytes_of(stream).subspan(at);
        sbc::FrameFields f;
        if (sbc::frame_header_parse(frame, h) != sbc::HEADER_OK ||
            frame.size() < static_cast<size_t>(h.length) || !sbc::frame_crc_ok(frame, h) ||
            !sbc::unpack_frame(frame, h, f) ||
            (m != 0 && (h.subbands != m || h.channels != channels))) {
            ADD_FAILURE() << "frame at " << at << " does not parse";
            return {};
        }
        m = h.subbands;
        channels = h.channels;
        for (int32_t blk = 0; blk < h.blocks; ++blk) {
            std::array<std::array<long double, 8>, 2> s{};
            for (int32_t ch = 0; ch < channels; ++ch) {
                for (int32_t sb = 0; sb < m; ++sb) {
                    const int32_t b = f.bits[ch][sb];
                    const long double scale = std::ldexp(1.0L, f.scale_factor[ch][sb] + 1);
                    const long double levels = std::ldexp(1.0L, b) - 1;
                    const long double q = f.quantized[ch][blk * m + sb];
                    s[ch][sb] = b == 0 ? 0.0L : scale * ((2 * q + 1) / levels - 1);
                }
            }
            if (h.channel_mode == sbc::JOINT_STEREO) {
                for (int32_t sb = 0; sb < m - 1; ++sb) {
                    if (f.join[sb] == 0) continue;
                    const long double mid = s[0][sb], side = s[1][sb];
                    s[0][sb] = mid + side;
                    s[1][sb] = mid - side;
                }
            }
            for (int32_t ch = 0; ch < channels; ++ch) bands[ch].push_back(s[ch]);
        }
        at += static_cast<size_t>(h.length);
    }
    if (m == 0) return {};
    // g_k[r] for r < 10M.
    const int32_t taps = 10 * m;
    std::vector<long double> g(static_cast<size_t>(m * taps));
    const long double pi = std::numbers::pi_v<long double>;
    for (int32_t k = 0; k < m; ++k)
        for (int32_t r = 0; r < taps; ++r)
            g[static_cast<size_t>(k * taps + r)] =
                -m * static_cast<long double>(sbc::prototype_at(m, r)) *
                std::cos((k + 0.5L) * (r + m / 2.0L) * pi / m);
    const auto blocks = static_cast<int32_t>(bands[0].size());
    std::vector<long double> out(static_cast<size_t>(blocks * m * channels));
    for (int32_t ch = 0; ch < channels; ++ch) {
        for (int32_t t = 0; t < blocks; ++t) {
            for (int32_t j = 0; j < m; ++j) {
                long double x = 0;
                for (int32_t p = 0; p < 10 && p <= t; ++p)
                    for (int32_t k = 0; k < m; ++k)
                        x += bands[ch][static_cast<size_t>(t - p)][static_cast<size_t>(k)] *
                             g[static_cast<size_t>(k * taps + p * m + j)];
                out[static_cast<size_t>((t * m + j) * channels + ch)] = x;
            }
        }
    }
    return out;
}

std::vector<int16_t> decode_stream(const std::string& stream) {
    auto d = sbc::decoder_create();
    std::vector<int16_t> out;
    std::array<int16_t, sbc::MAX_FRAME_SAMPLES * sbc::MAX_CHANNELS> pcm{};
    for (size_t at = 0; at < stream.size();) {
        sbc::FrameHeader h;
        const auto frame = bytes_of(stream).subspan(at);
        if (sbc::frame_header_parse(frame, h) != sbc::HEADER_OK) {
            ADD_FAILURE() << "no frame at " << at;
            break;
        }
        const int32_t n = sbc::decoder_decode_frame(*d, frame, h, pcm);
        if (n < 0) {
            ADD_FAILURE() << "decoder result " << n << " at " << at;
            break;
        }
        out.insert(out.end(), pcm.begin(), pcm.begin() + n * h.channels);
        at += static_cast<size_t>(h.length);
    }
    sbc::decoder_destroy(std::move(d));
    return out;
}

int16_t rounded(long double exact) {
    const long double c = std::fmin(std::fmax(exact, -32768.0L), 32767.0L);
    return static_cast<int16_t>(std::lround(c)); // lround: halves away from zero
}

Deviation compare(const std::vector<int16_t>& decoded, const std::vector<long double>& exact) {
    Deviation d;
    EXPECT_EQ(decoded.size(), exact.size());
    const size_t n = std::min(decoded.size(), exact.size());
    long double squares = 0;
    int64_t equal = 0;
    for (size_t i = 0; i < n; ++i) {
        const long double target = std::fmin(std::fmax(exact[i], -32768.0L), 32767.0L);
        const long double diff = decoded[i] - target;
        if (std::fabs(target) > 16384 && std::signbit(target) != (decoded[i] < 0) &&
            decoded[i] != 0) {
            ++d.wraps;
            continue;
        }
        d.max_abs = std::max(d.max_abs, static_cast<double>(std::fabs(diff)));
        squares += diff * diff;
        equal += decoded[i] == rounded(exact[i]) ? 1 : 0;
    }
    d.samples = static_cast<int64_t>(n);
    if (n > 0) {
        d.rms = static_cast<double>(std::sqrt(squares / static_cast<long double>(n)));
        d.equal = static_cast<double>(equal) / static_cast<double>(n);
    }
    return d;
}

std::vector<int16_t> music(int32_t channels, int32_t rate, int32_t instants) {
    std::vector<int16_t> pcm;
    uint32_t noise = 2024;
    const double two_pi = 2 * std::numbers::pi;
    for (int32_t n = 0; n < instants; ++n) {
        const double t = static_cast<double>(n) / rate;
        for (int32_t ch = 0; ch < channels; ++ch) {
            noise = noise * 1664525u + 1013904223u;
            const double chirp_hz = 50.0 + (rate / 2.2 - 50.0) * (t - std::floor(t));
            const double v = 5000 * std::sin(two_pi * (330.0 + 110 * ch) * t) +
                             3000 * std::sin(two_pi * 2750.0 * t + ch) +
                             4000 * std::sin(two_pi * chirp_hz * t / 2) +
                             2000 * (static_cast<double>(noise >> 16) / 32768.0 - 1.0);
            pcm.push_back(static_cast<int16_t>(v));
        }
    }
    return pcm;
}

std::vector<int16_t> square(int32_t channels, int32_t instants, int32_t half_period) {
    std::vector<int16_t> pcm;
    for (int32_t n = 0; n < instants; ++n)
        for (int32_t ch = 0; ch < channels; ++ch)
            pcm.push_back((n / (half_period + ch)) % 2 == 0 ? int16_t{32767} : int16_t{-32768});
    return pcm;
}

} // namespace dectest
