// Inside the decoder library: the synthesis filter bank's state.
#pragma once

#include "sbc/sbc.h"

namespace sbc {

struct SynthesisState {};

} // namespace sbc
