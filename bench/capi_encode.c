/* Encodes raw 16-bit stereo PCM held in memory through the C interface, as a host would:
 * JOINT_STEREO, SNR, 8 subbands, 16 blocks, bitpool from 375000 bit/s at 44100 Hz (the
 * program's -j), in calls of 4096 instants, into a buffer in memory. Prints the wall time of
 * each of `rounds` passes (a new encoder each), and writes the last pass's bytes to `out`.
 *
 *   capi_encode in.raw out.sbc [rounds]
 *
 * bench/versus_capi.sh builds and runs it beside the program. */
#define _POSIX_C_SOURCE 199309L
#include <vantrel/vantrel.h>

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#define PIECE 4096 /* instants per call */

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

int main(int argc, char* argv[]) {
    FILE* in;
    FILE* out;
    long size;
    int16_t* pcm;
    uint8_t* bytes;
    size_t values, total = 0, capacity;
    int rounds = argc > 3 ? atoi(argv[3]) : 1, r;
    vantrel_config config;
    if (argc < 3 || (in = fopen(argv[1], "rb")) == NULL) {
        fprintf(stderr, "usage: capi_encode in.raw out.sbc [rounds]\n");
        return 2;
    }
    fseek(in, 0, SEEK_END);
    size = ftell(in);
    rewind(in);
    values = (size_t)size / 4 * 2;
    pcm = malloc(values * sizeof *pcm);
    capacity = values; /* far more than the frames of any bitpool need */
    bytes = malloc(capacity);
    if (pcm == NULL || bytes == NULL || fread(pcm, sizeof *pcm, values, in) != values) return 1;
    fclose(in);
    vantrel_config_default(&config, 44100, 2);
    config.channel_mode = VANTREL_JOINT_STEREO;
    for (r = 0; r < rounds; ++r) {
        vantrel_encoder* e = NULL;
        size_t at, written;
        double start = now();
        if (vantrel_encoder_open(&config, &e) != VANTREL_OK) return 1;
        total = 0;
        for (at = 0; at < values; at += PIECE * 2) {
            size_t n = values - at < PIECE * 2 ? values - at : PIECE * 2;
            if (vantrel_encoder_encode(e, pcm + at, n, bytes + total, capacity - total, &written) !=
                VANTREL_OK)
                return 1;
            total += written;
        }
        vantrel_encoder_close(e);
        printf("%.3f\n", now() - start);
    }
    out = fopen(argv[2], "wb");
    if (out == NULL || fwrite(bytes, 1, total, out) != total || fclose(out) != 0) return 1;
    free(pcm);
    free(bytes);
    return 0;
}
