// Stereo to mono, instant by instant:
//
//   stereo  L0 R0 L1 R1 L2 R2 ...
//   mono    (L0+R0)/2 (L1+R1)/2 ...      value i written after instant i is read, so in place works
//
// The sum and the halving are exact in double precision for values on the 16-bit (or any
// integer) scale, so the mix depends on nothing but its inputs.
#include "convert/mix.h"

#include <algorithm>

namespace convert {

std::size_t mix_to_mono(std::span<const double> stereo, std::span<double> mono) {
    const std::size_t instants = std::min(stereo.size() / 2, mono.size());
    for (std::size_t i = 0; i < instants; ++i) {
        const double left = stereo[2 * i];
        const double right = stereo[2 * i + 1];
        mono[i] = (left + right) / 2;
    }
    return instants;
}

} // namespace convert
