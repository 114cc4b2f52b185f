// The encoder handle (stub).
#include "capi/entry.h"

extern "C" {
VANTREL_API int vantrel_encoder_open(const vantrel_config*, vantrel_encoder** e) { if (e) *e = nullptr; return VANTREL_ERROR_INTERNAL; }
VANTREL_API int vantrel_encoder_open_msbc(uint32_t, vantrel_encoder** e) { if (e) *e = nullptr; return VANTREL_ERROR_INTERNAL; }
VANTREL_API int vantrel_encoder_close(vantrel_encoder*) { return VANTREL_OK; }
VANTREL_API int vantrel_encoder_frame_length(const vantrel_encoder*, size_t*) { return VANTREL_ERROR_INTERNAL; }
VANTREL_API int vantrel_encoder_frame_samples(const vantrel_encoder*, size_t*) { return VANTREL_ERROR_INTERNAL; }
VANTREL_API int vantrel_encoder_get_config(const vantrel_encoder*, vantrel_config*) { return VANTREL_ERROR_INTERNAL; }
VANTREL_API int vantrel_encoder_delay(const vantrel_encoder*, size_t*) { return VANTREL_ERROR_INTERNAL; }
VANTREL_API int vantrel_encoder_pending(const vantrel_encoder*, size_t*) { return VANTREL_ERROR_INTERNAL; }
VANTREL_API int vantrel_encoder_output_size(const vantrel_encoder*, size_t, size_t*) { return VANTREL_ERROR_INTERNAL; }
VANTREL_API int vantrel_encoder_encode(vantrel_encoder*, const int16_t*, size_t, uint8_t*, size_t, size_t*) { return VANTREL_ERROR_INTERNAL; }
VANTREL_API int vantrel_encoder_encode_float(vantrel_encoder*, const float*, size_t, uint8_t*, size_t, size_t*) { return VANTREL_ERROR_INTERNAL; }
VANTREL_API int vantrel_encoder_encode_double(vantrel_encoder*, const double*, size_t, uint8_t*, size_t, size_t*) { return VANTREL_ERROR_INTERNAL; }
}
