/* The C interface from C: builds as C99 (-std=c99 -Wall -Wextra -pedantic), against the build
 * tree or, in scripts/check-install, against the installed library found by pkg-config.
 *
 *   1 s of a stereo tone ─► encoder (in uneven pieces) ─► bytes == one call's bytes
 *                         ─► decoder (in uneven pieces) ─► every frame back, the tone's level
 *   mSBC in H2 units ─► decoder: the stream's kind and the frame count;  bad calls: refused.
 * Prints one line per check that fails; exit status 0 when none does. */
#include <vantrel/vantrel.h>

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failures = 0;

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "capi_c_test:%d: failed: %s\n", __LINE__, #cond);                      \
            ++failures;                                                                            \
        }                                                                                          \
    } while (0)

enum { RATE = 44100, INSTANTS = 44100, CHANNELS = 2, OUT_BYTES = 400000 };

static int16_t samples[INSTANTS * CHANNELS];
static uint8_t whole[OUT_BYTES], pieces[OUT_BYTES];
static int16_t decoded[INSTANTS * CHANNELS];

/* Decodes `size` bytes in pieces of `step` into `decoded` (what does not fit is decoded into a
 * scratch buffer); the instants decoded. */
static size_t decode_all(const uint8_t* bytes, size_t size, size_t step, size_t channels,
                         vantrel_stream_info* info) {
    vantrel_decoder* d = NULL;
    size_t total = 0, at = 0;
    int finished = 0;
    CHECK(vantrel_decoder_open(NULL, &d) == VANTREL_OK);
    if (d == NULL) return 0;
    for (;;) {
        size_t n = size - at < step ? size - at : step, used = 0, got = 0;
        size_t room = sizeof decoded / sizeof decoded[0] - total * channels;
        int16_t scratch[VANTREL_MAX_FRAME_VALUES];
        int16_t* out = room >= VANTREL_MAX_FRAME_VALUES ? decoded + total * channels : scratch;
        int s =
            vantrel_decoder_decode(d, bytes + at, n, out, VANTREL_MAX_FRAME_VALUES, &used, &got);
        if (s < 0) break;
        at += used;
        total += got / channels;
        if (got == 0 && used == n) {
            if (finished) break;
            if (at == size) {
                CHECK(vantrel_decoder_finish(d) == VANTREL_OK);
                finished = 1;
            }
        }
    }
    info->struct_size = sizeof *info;
    CHECK(vantrel_decoder_get_info(d, info) == VANTREL_OK);
    CHECK(vantrel_decoder_close(d) == VANTREL_OK);
    return total;
}

static void sbc_round_trip(void) {
    vantrel_config config;
    vantrel_encoder* e = NULL;
    size_t frame_bytes = 0, frame_instants = 0, written = 0, total = 0, at = 0, step = 1;
    size_t frames, decoded_instants, i;
    int32_t bitpool = 0;
    double energy = 0;
    vantrel_stream_info info;

    CHECK(vantrel_config_default(&config, RATE, CHANNELS) == VANTREL_OK);
    config.channel_mode = VANTREL_JOINT_STEREO;
    CHECK(vantrel_config_check(&config, &bitpool) == VANTREL_OK && bitpool == 61);
    CHECK(vantrel_encoder_open(&config, &e) == VANTREL_OK && e != NULL);
    if (e == NULL) return;
    CHECK(vantrel_encoder_frame_length(e, &frame_bytes) == VANTREL_OK && frame_bytes == 135);
    CHECK(vantrel_encoder_frame_samples(e, &frame_instants) == VANTREL_OK && frame_instants == 128);
    CHECK(vantrel_encoder_encode(e, samples, INSTANTS * CHANNELS, whole, OUT_BYTES, &written) ==
          VANTREL_OK);
    frames = INSTANTS / frame_instants;
    CHECK(written == frames * frame_bytes);
    CHECK(whole[0] == 0x9C && whole[1] == 0xBF && whole[2] == 61);
    vantrel_encoder_close(e);

    /* Pieces of 1, 2, 3, ... instants give the same bytes. */
    CHECK(vantrel_encoder_open(&config, &e) == VANTREL_OK);
    while (at < INSTANTS) {
        size_t n = INSTANTS - at < step ? INSTANTS - at : step;
        CHECK(vantrel_encoder_encode(e, samples + at * CHANNELS, n * CHANNELS, pieces + total,
                                     OUT_BYTES - total, &written) == VANTREL_OK);
        total += written;
        at += n;
        step = step % 300 + 1;
    }
    CHECK(total == frames * frame_bytes && memcmp(whole, pieces, total) == 0);
    /* A refused call leaves the handle usable. */
    CHECK(vantrel_encoder_encode(e, samples, 3, pieces, OUT_BYTES, &written) ==
          VANTREL_ERROR_BAD_LENGTH);
    CHECK(vantrel_encoder_encode(e, samples, 256, pieces, 1, &written) ==
              VANTREL_ERROR_BUFFER_TOO_SMALL &&
          written == 0);
    CHECK(vantrel_encoder_encode(e, samples, 256, pieces, OUT_BYTES, &written) == VANTREL_OK &&
          written == frame_bytes);
    vantrel_encoder_close(e);

    decoded_instants = decode_all(whole, frames * frame_bytes, 77, CHANNELS, &info);
    CHECK(decoded_instants == frames * frame_instants);
    CHECK(info.frames == (int64_t)frames && info.damaged == 0 && info.lost == 0);
    CHECK(info.kind == VANTREL_KIND_SBC && info.sampling_frequency == RATE && info.channels == 2);
    /* The tone comes back at its level (half of full scale: mean square 0.125 of 32768²). */
    for (i = 4096; i < decoded_instants * CHANNELS; ++i) energy += (double)decoded[i] * decoded[i];
    energy /= (double)(decoded_instants * CHANNELS - 4096) * 32768.0 * 32768.0;
    CHECK(fabs(energy - 0.125) < 0.01);
}

static void msbc_h2_stream(void) {
    vantrel_encoder* e = NULL;
    size_t written = 0, unit = 0;
    vantrel_stream_info info;
    CHECK(vantrel_encoder_open_msbc(VANTREL_MSBC_H2, &e) == VANTREL_OK && e != NULL);
    if (e == NULL) return;
    CHECK(vantrel_encoder_frame_length(e, &unit) == VANTREL_OK && unit == VANTREL_H2_UNIT_BYTES);
    /* The left channel of the tone, as 16000 Hz mono: 1200 instants are 10 frames. */
    CHECK(vantrel_encoder_encode(e, samples, 1200, whole, OUT_BYTES, &written) == VANTREL_OK);
    CHECK(written == 10 * unit && whole[0] == 0x01 && whole[1] == 0x08 && whole[2] == 0xAD);
    vantrel_encoder_close(e);
    CHECK(decode_all(whole, written, 13, 1, &info) == 10 * 120);
    CHECK(info.kind == VANTREL_KIND_H2_MSBC && info.frames == 10 && info.channels == 1);
}

static void refusals(void) {
    vantrel_config config;
    vantrel_encoder* e = (vantrel_encoder*)&config; /* set to null by a refused open */
    CHECK(vantrel_config_default(&config, 22050, 2) == VANTREL_OK);
    CHECK(vantrel_encoder_open(&config, &e) == VANTREL_ERROR_BAD_RATE && e == NULL);
    CHECK(vantrel_encoder_open(NULL, &e) == VANTREL_ERROR_NULL_POINTER);
    CHECK(strcmp(vantrel_strerror(VANTREL_ERROR_BAD_RATE), "unknown status") != 0);
    CHECK(strcmp(vantrel_strerror(12345), "unknown status") == 0);
    CHECK(vantrel_version()[0] != '\0');
}

int main(void) {
    size_t i;
    for (i = 0; i < INSTANTS; ++i) {
        double t = (double)i / RATE;
        samples[2 * i] = (int16_t)(16384.0 * sin(2 * 3.14159265358979 * 440.0 * t));
        samples[2 * i + 1] = (int16_t)(16384.0 * sin(2 * 3.14159265358979 * 660.0 * t));
    }
    sbc_round_trip();
    msbc_h2_stream();
    refusals();
    if (failures == 0)
        printf("capi_c_test: vantrel %s from C: all checks passed\n", vantrel_version());
    return failures == 0 ? 0 : 1;
}
