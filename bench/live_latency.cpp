// Frame latency of an SBC encoder fed in real time through a pipe.
//
//   live_latency [--chunk-ms 10] input.wav|input.au -- encoder args...
//
// The encoder reads the input on standard input and writes SBC frames to standard output, both
// pipes. The header goes in at once, then the samples in chunks of chunk-ms each, on a fixed
// real-time schedule. Every arrival on standard output is timestamped; frame k (its length read
// from its own header) is complete when its last byte has come. Its latency is
//
//   (time frame k was readable) − (time the chunk holding its last input sample was written)
//
// where frame k holds sample instants k·n .. (k+1)·n − 1 (n = blocks × subbands). Prints the
// frames that came against the frames the input holds, and the median, 99th percentile and
// maximum latency in milliseconds. Standard error of the encoder is discarded.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Input {
    std::vector<uint8_t> bytes;
    size_t header = 0;        // bytes before the first sample
    size_t instant_bytes = 0; // bytes of one sample instant (all channels)
    int rate = 0;
};

uint32_t le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint32_t be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

// A canonical WAVE file (chunks up to "data") or a Sun audio file, 16-bit samples.
bool parse_input(Input& in) {
    const auto& b = in.bytes;
    if (b.size() >= 12 && std::memcmp(b.data(), "RIFF", 4) == 0) {
        for (size_t at = 12; at + 8 <= b.size();) {
            const uint32_t length = le32(&b[at + 4]);
            if (std::memcmp(&b[at], "fmt ", 4) == 0 && at + 24 <= b.size()) {
                in.rate = static_cast<int>(le32(&b[at + 12]));
                in.instant_bytes = b[at + 10] * 2u;
            }
            if (std::memcmp(&b[at], "data", 4) == 0) {
                in.header = at + 8;
                return in.instant_bytes > 0;
            }
            at += 8 + length + (length & 1);
        }
        return false;
    }
    if (b.size() >= 24 && std::memcmp(b.data(), ".snd", 4) == 0) {
        in.header = be32(&b[4]);
        in.rate = static_cast<int>(be32(&b[16]));
        in.instant_bytes = be32(&b[20]) * 2;
        return in.header <= b.size();
    }
    return false;
}

// Length of the SBC frame whose header starts at p (4 bytes), and its sample instants.
size_t sbc_frame_length(const uint8_t* p, size_t& instants) {
    const int blocks = 4 * (((p[1] >> 4) & 3) + 1);
    const int mode = (p[1] >> 2) & 3;
    const int subbands = (p[1] & 1) ? 8 : 4;
    const int channels = mode == 0 ? 1 : 2;
    const int bitpool = p[2];
    instants = static_cast<size_t>(blocks * subbands);
    int bits =
        mode <= 1 ? blocks * channels * bitpool : (mode == 3 ? subbands : 0) + blocks * bitpool;
    return static_cast<size_t>(4 + (4 * subbands * channels) / 8 + (bits + 7) / 8);
}

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

} // namespace

int main(int argc, char** argv) {
    double chunk_ms = 10;
    int arg = 1;
    if (arg + 1 < argc && std::strcmp(argv[arg], "--chunk-ms") == 0) {
        chunk_ms = std::atof(argv[arg + 1]);
        arg += 2;
    }
    if (arg + 2 >= argc || std::strcmp(argv[arg + 1], "--") != 0) {
        std::fprintf(stderr,
                     "usage: live_latency [--chunk-ms n] input.wav|input.au -- encoder...\n");
        return 2;
    }
    Input in;
    std::ifstream file(argv[arg], std::ios::binary);
    in.bytes.assign(std::istreambuf_iterator<char>(file), {});
    if (!parse_input(in)) {
        std::fprintf(stderr, "%s: not a 16-bit WAVE or Sun file\n", argv[arg]);
        return 2;
    }
    char** command = argv + arg + 2;

    signal(SIGPIPE, SIG_IGN);
    int to_child[2], from_child[2];
    if (pipe(to_child) != 0 || pipe(from_child) != 0) return 2;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(to_child[0], 0);
        dup2(from_child[1], 1);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1], null}) close(fd);
        execvp(command[0], command);
        _exit(127);
    }
    close(to_child[0]);
    close(from_child[1]);
    const int out = to_child[1], back = from_child[0];

    const auto chunk_bytes = static_cast<size_t>(in.rate * chunk_ms / 1000) * in.instant_bytes;
    const size_t data = in.bytes.size() - in.header;
    const size_t chunks = (data + chunk_bytes - 1) / chunk_bytes;
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(chunk_ms));
    std::vector<Clock::time_point> written(chunks);
    std::vector<uint8_t> stream;
    std::vector<std::pair<size_t, Clock::time_point>> reads; // bytes so far, when

    const auto start = Clock::now();
    if (write(out, in.bytes.data(), in.header) != static_cast<ssize_t>(in.header)) return 2;
    size_t next = 0;
    bool open_out = true;
    std::vector<uint8_t> scratch(1 << 16);
    for (;;) {
        const auto now = Clock::now();
        if (next < chunks && now >= start + period * static_cast<long>(next + 1)) {
            const size_t at = in.header + next * chunk_bytes;
            const size_t n = std::min(chunk_bytes, in.bytes.size() - at);
            for (size_t done = 0; done < n;) {
                const ssize_t w = write(out, in.bytes.data() + at + done, n - done);
                if (w <= 0) break;
                done += static_cast<size_t>(w);
            }
            written[next++] = Clock::now();
            continue;
        }
        if (next == chunks && open_out) {
            close(out);
            open_out = false;
        }
        int timeout = 30000;
        if (next < chunks) {
            const auto due = start + period * static_cast<long>(next + 1);
            timeout = std::max(
                0, static_cast<int>(
                       std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()).count()));
        }
        pollfd p{back, POLLIN, 0};
        if (poll(&p, 1, timeout) < 0 && errno != EINTR) break;
        if (p.revents == 0) {
            if (next == chunks) break; // nothing for 30 s after the end
            continue;
        }
        const ssize_t r = read(back, scratch.data(), scratch.size());
        if (r <= 0) break;
        stream.insert(stream.end(), scratch.begin(), scratch.begin() + r);
        reads.emplace_back(stream.size(), Clock::now());
    }
    if (open_out) close(out);
    close(back);
    waitpid(pid, nullptr, 0);

    // Frame ends in the stream, each with the time it became readable.
    std::vector<double> latencies;
    size_t at = 0, instants_done = 0, r = 0, instants = 128;
    while (at + 4 <= stream.size() && stream[at] == 0x9C) {
        const size_t end = at + sbc_frame_length(&stream[at], instants);
        if (end > stream.size()) break;
        while (reads[r].first < end) ++r;
        instants_done += instants;
        const size_t last_byte = instants_done * in.instant_bytes - 1;
        const size_t chunk = std::min(last_byte / chunk_bytes, chunks - 1);
        latencies.push_back(ms(reads[r].second - written[chunk]));
        at = end;
    }
    const size_t expected = data / in.instant_bytes / instants;
    std::sort(latencies.begin(), latencies.end());
    const auto pick = [&](double q) {
        return latencies.empty() ? 0.0 : latencies[static_cast<size_t>(q * (latencies.size() - 1))];
    };
    std::printf(
        "frames %zu of %zu   latency ms: median %.3f  p99 %.3f  max %.3f   (%zu-byte chunks "
        "every %.1f ms, %.2f s)\n",
        latencies.size(), expected, pick(0.5), pick(0.99),
        latencies.empty() ? 0.0 : latencies.back(), chunk_bytes, chunk_ms,
        ms(Clock::now() - start) / 1000);
    return 0;
}
