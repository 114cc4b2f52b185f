// What both directions share: status texts, the version, and the encoder's configuration
// (defaults, checks, the bitpool from a bit rate).
#include "capi/entry.h"

extern "C" {

VANTREL_API const char* vantrel_strerror(int status) {
    switch (status) {
    case VANTREL_OK: return "success";
    default: return "unknown status";
    }
}

VANTREL_API const char* vantrel_version(void) { return VANTREL_VERSION_TEXT; }

VANTREL_API int vantrel_config_default(vantrel_config*, int32_t, int32_t) { return VANTREL_ERROR_INTERNAL; }
VANTREL_API int vantrel_config_check(const vantrel_config*, int32_t*) { return VANTREL_ERROR_INTERNAL; }
VANTREL_API int vantrel_config_bit_rate_range(const vantrel_config*, int32_t*, int32_t*) { return VANTREL_ERROR_INTERNAL; }
VANTREL_API int vantrel_frame_parse(const uint8_t*, size_t, vantrel_frame_info*) { return VANTREL_ERROR_INTERNAL; }
VANTREL_API int vantrel_scan(const uint8_t*, size_t, vantrel_stream_report*) { return VANTREL_ERROR_INTERNAL; }

} // extern "C"
