// Reading fixed-size fields from a capture's bytes, in either byte order. Callers check the
// length first; these read exactly the bytes they name.
#pragma once

#include <cstdint>
#include <span>

namespace capture {

using Bytes = std::span<const uint8_t>;

inline uint16_t be16(Bytes b, size_t at) {
    return static_cast<uint16_t>(b[at] << 8 | b[at + 1]);
}
inline uint16_t le16(Bytes b, size_t at) {
    return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}
inline uint32_t be32(Bytes b, size_t at) {
    return uint32_t{b[at]} << 24 | uint32_t{b[at + 1]} << 16 | uint32_t{b[at + 2]} << 8 |
           uint32_t{b[at + 3]};
}
inline uint32_t le32(Bytes b, size_t at) {
    return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 |
           uint32_t{b[at + 3]} << 24;
}
inline uint32_t u32(Bytes b, size_t at, bool big_endian) {
    return big_endian ? be32(b, at) : le32(b, at);
}
inline uint16_t u16(Bytes b, size_t at, bool big_endian) {
    return big_endian ? be16(b, at) : le16(b, at);
}

} // namespace capture
