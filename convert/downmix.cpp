// The downmix matrix (convert/downmix.h), built from a table of each speaker's gain into the
// left and right outputs:
//
//   speaker          left  right        speaker               left  right
//   front left       1     0            front left of centre  1     0
//   front right      0     1            front right of centre 0     1
//   front centre     a     a            back centre           1/2   1/2
//   low frequency    0     0            side left             a     0
//   back left        a     0            side right            0     a
//   back right       0     a                                  (a = 1/√2, −3 dB)
//
// The surrounds are at −3 dB whether they are a back pair, a side pair or both (7.1 keeps both
// pairs at −3 dB); the back centre is a surround shared by both sides (−3 dB, then −3 dB more
// for each side: 1/2); the centres left and right of the front centre are front speakers of
// their side. The gains are then divided by the larger row sum. a is the double nearest 1/√2
// (√2 ÷ 2, exact in binary), and every gain is one division of a table value, so the matrix is
// the same on every build.
#include "convert/downmix.h"

#include "audiofile/audiofile.h"

#include <algorithm>
#include <bit>
#include <numbers>
#include <utility>

namespace convert {

namespace {

constexpr double a = std::numbers::sqrt2 / 2;

struct SpeakerGains {
    std::uint32_t speaker;
    double left;
    double right;
};

constexpr std::array<SpeakerGains, 11> speaker_gains = {{
    {audiofile::SPEAKER_FRONT_LEFT, 1, 0},
    {audiofile::SPEAKER_FRONT_RIGHT, 0, 1},
    {audiofile::SPEAKER_FRONT_CENTER, a, a},
    {audiofile::SPEAKER_LOW_FREQUENCY, 0, 0},
    {audiofile::SPEAKER_BACK_LEFT, a, 0},
    {audiofile::SPEAKER_BACK_RIGHT, 0, a},
    {audiofile::SPEAKER_FRONT_LEFT_OF_CENTER, 1, 0},
    {audiofile::SPEAKER_FRONT_RIGHT_OF_CENTER, 0, 1},
    {audiofile::SPEAKER_BACK_CENTER, 0.5, 0.5},
    {audiofile::SPEAKER_SIDE_LEFT, a, 0},
    {audiofile::SPEAKER_SIDE_RIGHT, 0, a},
}};

// Names of the common layouts; "side" and "back" tell the variants with the other surround pair.
constexpr std::array<std::pair<std::uint32_t, const char*>, 18> layout_names = {{
    {0x00B, "2.1"},
    {0x007, "3.0"},
    {0x103, "3.0 back"},
    {0x00F, "3.1"},
    {0x107, "4.0"},
    {0x033, "quad"},
    {0x603, "quad side"},
    {0x10F, "4.1"},
    {0x037, "5.0"},
    {0x607, "5.0 side"},
    {0x03F, "5.1"},
    {0x60F, "5.1 side"},
    {0x707, "6.0"},
    {0x70F, "6.1"},
    {0x13F, "6.1 back"},
    {0x637, "7.0"},
    {0x63F, "7.1"},
    {0x0FF, "7.1 wide"},
}};

void add_term(DownmixRow& row, std::size_t channel, double gain) {
    if (gain != 0) row.terms[row.count++] = {channel, gain};
}

// The first two channels as left and right.
Downmix first_two(int channels) {
    Downmix d;
    d.channels = channels;
    add_term(d.rows[0], 0, 1);
    add_term(d.rows[1], 1, 1);
    return d;
}

} // namespace

Downmix downmix_for(int channels, std::uint32_t mask) {
    const bool known = channels >= 3 && channels <= MAX_DOWNMIX_CHANNELS && mask != 0 &&
                       (mask & ~KNOWN_SPEAKERS) == 0 && std::popcount(mask) == channels;
    if (!known) return first_two(std::clamp(channels, 2, MAX_DOWNMIX_CHANNELS));
    Downmix d;
    d.channels = channels;
    d.mask = mask;
    d.known = true;
    double left = 0, right = 0;
    for (const SpeakerGains& s : speaker_gains) {
        if ((mask & s.speaker) == 0) continue;
        left += s.left;
        right += s.right;
    }
    const double largest = std::max(left, right);
    std::size_t channel = 0;
    for (const SpeakerGains& s : speaker_gains) { // in bit order: channel order
        if ((mask & s.speaker) == 0) continue;
        add_term(d.rows[0], channel, s.left / largest);
        add_term(d.rows[1], channel, s.right / largest);
        ++channel;
    }
    return d;
}

std::uint32_t usual_channel_mask(int channels) {
    constexpr std::array<std::uint32_t, 6> usual = {0x7, 0x33, 0x37, 0x3F, 0x70F, 0x63F};
    return channels >= 3 && channels <= MAX_DOWNMIX_CHANNELS
               ? usual[static_cast<std::size_t>(channels - 3)]
               : 0;
}

const char* layout_name(std::uint32_t mask) {
    for (const auto& [layout, name] : layout_names)
        if (layout == mask) return name;
    return nullptr;
}

std::size_t downmix_to_stereo(const Downmix& d, std::span<const double> in, std::span<double> out) {
    const auto channels = static_cast<std::size_t>(d.channels);
    const std::size_t instants = std::min(in.size() / channels, out.size() / 2);
    const auto mix = [](const DownmixRow& row, std::span<const double> frame) {
        double sum = 0;
        for (std::size_t t = 0; t < row.count; ++t)
            sum += row.terms[t].gain * frame[row.terms[t].channel];
        return sum;
    };
    for (std::size_t i = 0; i < instants; ++i) {
        // Both values from instant i before either is written: in place, 2i + 1 lies below the
        // next instant's first value, (i + 1) × channels.
        const auto frame = in.subspan(i * channels, channels);
        const double left = mix(d.rows[0], frame), right = mix(d.rows[1], frame);
        out[2 * i] = left;
        out[2 * i + 1] = right;
    }
    return instants;
}

} // namespace convert
