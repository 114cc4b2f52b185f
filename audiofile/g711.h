// G.711 expansion: an 8-bit µ-law or A-law code to its 16-bit linear value, by table.
//
//   code ─► µ-law: every bit inverted ─► s eee mmmm      sign, segment e (0..7), step m (0..15)
//           A-law: even bits inverted (XOR 0x55)
//
//   µ-law  |v| = ((2m + 33) · 2^e − 33) · 4                      s = 1 negative, 0 positive
//   A-law  |v| = (2m + 1) · 8                  for e = 0         s = 0 negative, 1 positive
//          |v| = (2m + 33) · 2^(e − 1) · 8     for e > 0
//
// These are the decoder outputs of G.711's tables (14-bit µ-law, 13-bit A-law) moved to the top
// of a 16-bit word: µ-law spans −32124..32124 and has two codes for 0 (0x7F, 0xFF), A-law spans
// −32256..32256 and never gives 0 (0x55 is −8, 0xD5 is 8). Every container that stores G.711 is
// expanded by these two tables, so the same codes give the same values in each.
#pragma once

#include <array>
#include <cstdint>

namespace audiofile {

constexpr std::int16_t expand_mulaw(std::uint8_t code) {
    const int u = ~code & 0xFF;
    const int segment = (u >> 4) & 7;
    const int step = u & 0x0F;
    const int magnitude = ((((2 * step + 33) << segment) - 33) * 4);
    return static_cast<std::int16_t>((u & 0x80) != 0 ? -magnitude : magnitude);
}

constexpr std::int16_t expand_alaw(std::uint8_t code) {
    const int a = code ^ 0x55;
    const int segment = (a >> 4) & 7;
    const int step = a & 0x0F;
    const int magnitude =
        segment == 0 ? (2 * step + 1) * 8 : ((2 * step + 33) << (segment - 1)) * 8;
    return static_cast<std::int16_t>((a & 0x80) != 0 ? magnitude : -magnitude);
}

using G711Table = std::array<std::int16_t, 256>;

template <std::int16_t (*Expand)(std::uint8_t)> constexpr G711Table g711_table() {
    G711Table table{};
    for (int code = 0; code < 256; ++code) table[code] = Expand(static_cast<std::uint8_t>(code));
    return table;
}

inline constexpr G711Table mulaw_values = g711_table<expand_mulaw>();
inline constexpr G711Table alaw_values = g711_table<expand_alaw>();

} // namespace audiofile
