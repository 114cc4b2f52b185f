/* tone_to_sbc from C: the same tone, encoded through the C interface (vantrel/vantrel.h,
 * libvantrel.so) in pieces of 1000 instants, gives the same bytes as tone_to_sbc.
 *
 *   tone_to_sbc_c out.sbc [seconds]      (default 2 seconds)
 *
 *   config ─► open ─► per piece: 1000 instants of PCM ─► encode (whole frames out) ─► fwrite
 *                                                                               ─► close */
#include <vantrel/vantrel.h>

#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#define RATE 44100
#define CHANNELS 2
#define PIECE 1000 /* instants per call: any number gives the same bytes */

static const double pi = 3.14159265358979323846;

int main(int argc, char* argv[]) {
    static int16_t pcm[PIECE * CHANNELS];
    static uint8_t bytes[(PIECE / 128 + 1) * VANTREL_MAX_FRAME_BYTES];
    const double tone_hz[CHANNELS] = {1000.0, 1500.0};
    vantrel_config config;
    vantrel_encoder* encoder = NULL;
    long long seconds = argc > 2 ? atoll(argv[2]) : 2, instants, at, frames = 0;
    size_t frame_length = 0, frame_instants = 0;
    int status = VANTREL_OK;
    FILE* out;

    if (argc < 2) {
        fprintf(stderr, "usage: tone_to_sbc_c out.sbc [seconds]\n");
        return 2;
    }
    vantrel_config_default(&config, RATE, CHANNELS);
    config.channel_mode = VANTREL_JOINT_STEREO;
    config.bitpool = 53;
    status = vantrel_encoder_open(&config, &encoder);
    if (status != VANTREL_OK) {
        fprintf(stderr, "tone_to_sbc_c: %s\n", vantrel_strerror(status));
        return 1;
    }
    vantrel_encoder_frame_length(encoder, &frame_length);
    vantrel_encoder_frame_samples(encoder, &frame_instants);
    out = fopen(argv[1], "wb");
    if (out == NULL) {
        perror(argv[1]);
        vantrel_encoder_close(encoder);
        return 1;
    }
    /* Whole frames only, as tone_to_sbc writes them. */
    instants = seconds * RATE / (long long)frame_instants * (long long)frame_instants;
    for (at = 0; at < instants && status == VANTREL_OK; at += PIECE) {
        long long t, n = instants - at < PIECE ? instants - at : PIECE;
        size_t written = 0;
        int c;
        for (t = 0; t < n; ++t)
            for (c = 0; c < CHANNELS; ++c)
                pcm[t * CHANNELS + c] =
                    (int16_t)lround(16000.0 * sin(2.0 * pi * tone_hz[c] * (double)(at + t) / RATE));
        status = vantrel_encoder_encode(encoder, pcm, (size_t)n * CHANNELS, bytes, sizeof bytes,
                                        &written);
        if (status == VANTREL_OK && fwrite(bytes, 1, written, out) != written) status = -1;
        frames += (long long)(written / frame_length);
    }
    vantrel_encoder_close(encoder);
    if (fclose(out) != 0 || status != VANTREL_OK) {
        fprintf(stderr, "tone_to_sbc_c: encoding or writing %s failed\n", argv[1]);
        return 1;
    }
    printf("%lld frames of %zu bytes written to %s\n", frames, frame_length, argv[1]);
    return 0;
}
