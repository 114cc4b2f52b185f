// Names of parameter codes: see names.h.
#include "cli/common/names.h"

#include <array>

namespace cli {

const char* channel_mode_name(int32_t channel_mode, const char* unknown) {
    constexpr std::array<const char*, 4> names = {"MONO", "DUAL_CHANNEL", "STEREO", "JOINT_STEREO"};
    return channel_mode >= 0 && channel_mode < 4 ? names[static_cast<size_t>(channel_mode)]
                                                 : unknown;
}

const char* channel_mode_name(int32_t channel_mode) {
    return channel_mode_name(channel_mode, "?");
}

const char* allocation_name(int32_t allocation_method) {
    return allocation_method == sbc::LOUDNESS ? "LOUDNESS" : "SNR";
}

const char* stream_kind_name(sbc::StreamKind kind) {
    switch (kind) {
    case sbc::StreamKind::sbc:
        return "SBC";
    case sbc::StreamKind::msbc:
        return "mSBC";
    case sbc::StreamKind::h2_msbc:
        return "H2-framed mSBC";
    case sbc::StreamKind::unknown:
        break;
    }
    return "none";
}

const char* frame_kind_name(sbc::FrameKind kind) {
    return kind == sbc::FrameKind::msbc ? "mSBC" : "SBC";
}

} // namespace cli
