// The decoder handle (stub).
#include "capi/entry.h"

extern "C" {
VANTREL_API int vantrel_decoder_open(const vantrel_decoder_config*, vantrel_decoder** d) { if (d) *d = nullptr; return VANTREL_ERROR_INTERNAL; }
VANTREL_API int vantrel_decoder_close(vantrel_decoder*) { return VANTREL_OK; }
VANTREL_API int vantrel_decoder_reset(vantrel_decoder*) { return VANTREL_ERROR_INTERNAL; }
VANTREL_API int vantrel_decoder_decode_frame(vantrel_decoder*, const uint8_t*, size_t, int16_t*, size_t, size_t*, size_t*, vantrel_frame_info*) { return VANTREL_ERROR_INTERNAL; }
VANTREL_API int vantrel_decoder_decode(vantrel_decoder*, const uint8_t*, size_t, int16_t*, size_t, size_t*, size_t*) { return VANTREL_ERROR_INTERNAL; }
VANTREL_API int vantrel_decoder_finish(vantrel_decoder*) { return VANTREL_ERROR_INTERNAL; }
VANTREL_API int vantrel_decoder_get_info(const vantrel_decoder*, vantrel_stream_info*) { return VANTREL_ERROR_INTERNAL; }
}
