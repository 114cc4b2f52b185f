// Frame latency of an SBC encoder or decoder fed in real time through a pipe.
//
//   live_latency [--chunk-ms 10] input.wav|input.au -- encoder args...
//   live_latency --decode [--chunk-ms 10] input.sbc -- decoder args...
//
// The program under test reads the input on standard input and writes to standard output, both
// pipes. A header goes in at once, then the rest in chunks that each hold chunk-ms of audio, on
// a fixed real-time schedule (chunk k is written at start + (k + 1) × chunk-ms). Every arrival on
// standard output is timestamped.
//
//   encoder: PCM in, SBC frames out. Frame k (its length read from its own header) holds sample
//            instants k·n .. (k+1)·n − 1 (n = blocks × subbands); its latency is
//            (time its last byte was readable) − (time the chunk holding its last sample went in)
//   decoder: SBC frames in (bare SBC, sync 0x9C), 16-bit PCM out behind whatever header the
//            decoder writes (Sun, WAVE or none, recognised by content); the latency of frame k is
//            (time its last PCM byte was readable) − (time the chunk holding its last byte went in)
//
// Prints the frames that came against the frames the input holds, and the median, 99th
// percentile and maximum latency in milliseconds. Standard error of the program is discarded.
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
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

uint32_t le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint32_t be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

// Where the samples of a canonical WAVE file (chunks up to "data") or a Sun audio file start,
// and their shape (16-bit samples). False for anything else.
bool find_pcm(const std::vector<uint8_t>& b, size_t& header, size_t& instant_bytes, int& rate) {
    if (b.size() >= 12 && std::memcmp(b.data(), "RIFF", 4) == 0) {
        for (size_t at = 12; at + 8 <= b.size();) {
            const uint32_t length = le32(&b[at + 4]);
            if (std::memcmp(&b[at], "fmt ", 4) == 0 && at + 24 <= b.size()) {
                rate = static_cast<int>(le32(&b[at + 12]));
                instant_bytes = b[at + 10] * 2u;
            }
            if (std::memcmp(&b[at], "data", 4) == 0) {
                header = at + 8;
                return instant_bytes > 0;
            }
            at += 8 + length + (length & 1);
        }
        return false;
    }
    if (b.size() >= 24 && std::memcmp(b.data(), ".snd", 4) == 0) {
        header = be32(&b[4]);
        rate = static_cast<int>(be32(&b[16]));
        instant_bytes = be32(&b[20]) * 2;
        return header <= b.size();
    }
    return false;
}

// The SBC frame whose header starts at p (4 bytes): its length, sample instants and channels.
struct SbcFrame {
    size_t length = 0, instants = 0, channels = 0;
    int rate = 0;
};

SbcFrame sbc_frame(const uint8_t* p) {
    constexpr int rates[] = {16000, 32000, 44100, 48000};
    const int blocks = 4 * (((p[1] >> 4) & 3) + 1);
    const int mode = (p[1] >> 2) & 3;
    const int subbands = (p[1] & 1) ? 8 : 4;
    const int channels = mode == 0 ? 1 : 2;
    const int bitpool = p[2];
    const int bits =
        mode <= 1 ? blocks * channels * bitpool : (mode == 3 ? subbands : 0) + blocks * bitpool;
    SbcFrame f;
    f.length = static_cast<size_t>(4 + (4 * subbands * channels) / 8 + (bits + 7) / 8);
    f.instants = static_cast<size_t>(blocks * subbands);
    f.channels = static_cast<size_t>(channels);
    f.rate = rates[p[1] >> 6];
    return f;
}

// Where each frame of a stream of SBC frames ends (byte offset after it) and the sample instants
// up to its end.
struct FrameEnd {
    size_t byte = 0, instants = 0;
};

std::vector<FrameEnd> frame_ends(const std::vector<uint8_t>& stream, size_t from, SbcFrame& first) {
    std::vector<FrameEnd> ends;
    size_t at = from, instants = 0;
    while (at + 4 <= stream.size() && stream[at] == 0x9C) {
        const SbcFrame f = sbc_frame(&stream[at]);
        if (ends.empty()) first = f;
        if (at + f.length > stream.size()) break;
        at += f.length;
        instants += f.instants;
        ends.push_back({at, instants});
    }
    return ends;
}

// The input as it is fed: `header` bytes at once, then chunks of `chunk_bytes`.
struct Feed {
    std::vector<uint8_t> bytes;
    size_t header = 0;
    size_t chunk_bytes = 0;
    double chunk_ms = 10;
    size_t chunks() const { return (bytes.size() - header + chunk_bytes - 1) / chunk_bytes; }
    // The chunk that holds input byte `at` (at ≥ header).
    size_t chunk_of(size_t at) const { return std::min((at - header) / chunk_bytes, chunks() - 1); }
};

// What came back: every read of standard output, as the bytes so far and when.
struct Run {
    std::vector<Clock::time_point> written; // when each chunk went in
    std::vector<uint8_t> output;
    std::vector<std::pair<size_t, Clock::time_point>> reads;
    double seconds = 0;
    // When the first `bytes` bytes of the output were readable.
    Clock::time_point readable(size_t bytes) const {
        const auto r = std::lower_bound(reads.begin(), reads.end(), bytes,
                                        [](const auto& read, size_t n) { return read.first < n; });
        return r->second;
    }
};

pid_t spawn(char** command, int& to_child, int& from_child) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        for (int fd : {in[0], in[1], out[0], out[1], null}) close(fd);
        execvp(command[0], command);
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    to_child = in[1];
    from_child = out[0];
    return pid;
}

bool write_whole(int fd, const uint8_t* bytes, size_t n) {
    for (size_t done = 0; done < n;) {
        const ssize_t w = write(fd, bytes + done, n - done);
        if (w <= 0) return false;
        done += static_cast<size_t>(w);
    }
    return true;
}

// Feeds the input on its schedule while reading everything the program writes, until its output
// ends (or nothing comes for 30 s after the input's end).
Run run(const Feed& feed, char** command) {
    signal(SIGPIPE, SIG_IGN);
    Run result;
    int out = -1, back = -1;
    const pid_t pid = spawn(command, out, back);
    if (pid < 0) return result;
    const size_t chunks = feed.chunks();
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(feed.chunk_ms));
    result.written.resize(chunks);
    const auto start = Clock::now();
    const auto due = [&](size_t k) { return start + period * static_cast<long>(k + 1); };
    write_whole(out, feed.bytes.data(), feed.header);
    size_t next = 0;
    std::vector<uint8_t> scratch(1 << 16);
    for (;;) {
        if (next < chunks && Clock::now() >= due(next)) {
            const size_t at = feed.header + next * feed.chunk_bytes;
            write_whole(out, feed.bytes.data() + at,
                        std::min(feed.chunk_bytes, feed.bytes.size() - at));
            result.written[next++] = Clock::now();
            continue;
        }
        if (next == chunks && out >= 0) {
            close(out);
            out = -1;
        }
        int timeout = 30000;
        if (next < chunks)
            timeout = std::max(0, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(
                                                       due(next) - Clock::now())
                                                       .count()));
        pollfd p{back, POLLIN, 0};
        if (poll(&p, 1, timeout) < 0 && errno != EINTR) break;
        if (p.revents == 0) {
            if (next == chunks) break; // nothing for 30 s after the end
            continue;
        }
        const ssize_t r = read(back, scratch.data(), scratch.size());
        if (r <= 0) break;
        result.output.insert(result.output.end(), scratch.begin(), scratch.begin() + r);
        result.reads.emplace_back(result.output.size(), Clock::now());
    }
    if (out >= 0) close(out);
    close(back);
    waitpid(pid, nullptr, 0);
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return result;
}

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void print(std::vector<double> latencies, size_t expected, const Feed& feed, const Run& r) {
    std::sort(latencies.begin(), latencies.end());
    const auto pick = [&](double q) {
        return latencies.empty() ? 0.0 : latencies[static_cast<size_t>(q * (latencies.size() - 1))];
    };
    std::printf(
        "frames %zu of %zu   latency ms: median %.3f  p99 %.3f  max %.3f   (%zu-byte chunks "
        "every %.1f ms, %.2f s)\n",
        latencies.size(), expected, pick(0.5), pick(0.99),
        latencies.empty() ? 0.0 : latencies.back(), feed.chunk_bytes, feed.chunk_ms, r.seconds);
}

// PCM in, frames out.
int measure_encoder(Feed& feed, char** command, const char* name) {
    size_t instant_bytes = 0;
    int rate = 0;
    if (!find_pcm(feed.bytes, feed.header, instant_bytes, rate)) {
        std::fprintf(stderr, "%s: not a 16-bit WAVE or Sun file\n", name);
        return 2;
    }
    feed.chunk_bytes = static_cast<size_t>(rate * feed.chunk_ms / 1000) * instant_bytes;
    const Run r = run(feed, command);
    SbcFrame first;
    std::vector<double> latencies;
    for (const FrameEnd& end : frame_ends(r.output, 0, first)) {
        const size_t last_sample = feed.header + end.instants * instant_bytes - 1;
        latencies.push_back(ms(r.readable(end.byte) - r.written[feed.chunk_of(last_sample)]));
    }
    const size_t samples = (feed.bytes.size() - feed.header) / instant_bytes;
    print(latencies, samples / (first.instants > 0 ? first.instants : 128), feed, r);
    return 0;
}

// Frames in, PCM out.
int measure_decoder(Feed& feed, char** command, const char* name) {
    SbcFrame first;
    const std::vector<FrameEnd> frames = frame_ends(feed.bytes, 0, first);
    if (frames.empty()) {
        std::fprintf(stderr, "%s: no SBC frame at its start\n", name);
        return 2;
    }
    // Bytes of the stream per chunk-ms of its audio, in whole bytes.
    const double ms_of_stream = 1000.0 * static_cast<double>(frames.back().instants) / first.rate;
    feed.header = 0;
    feed.chunk_bytes =
        std::max<size_t>(1, static_cast<size_t>(static_cast<double>(frames.back().byte) *
                                                feed.chunk_ms / ms_of_stream));
    feed.bytes.resize(frames.back().byte);
    const Run r = run(feed, command);
    size_t pcm_at = 0, instant_bytes = 0;
    int rate = 0;
    if (!find_pcm(r.output, pcm_at, instant_bytes, rate)) pcm_at = 0; // headerless
    instant_bytes = first.channels * 2;
    std::vector<double> latencies;
    for (const FrameEnd& end : frames) {
        const size_t pcm_end = pcm_at + end.instants * instant_bytes;
        if (pcm_end > r.output.size()) break;
        latencies.push_back(ms(r.readable(pcm_end) - r.written[feed.chunk_of(end.byte - 1)]));
    }
    print(latencies, frames.size(), feed, r);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Feed feed;
    bool decode = false;
    int arg = 1;
    for (; arg < argc && std::strncmp(argv[arg], "--", 2) == 0 && argv[arg][2] != '\0'; ++arg) {
        if (std::strcmp(argv[arg], "--decode") == 0) {
            decode = true;
        } else if (std::strcmp(argv[arg], "--chunk-ms") == 0 && arg + 1 < argc) {
            feed.chunk_ms = std::atof(argv[++arg]);
        } else {
            break;
        }
    }
    if (arg + 2 >= argc || std::strcmp(argv[arg + 1], "--") != 0 || feed.chunk_ms <= 0) {
        std::fprintf(stderr,
                     "usage: live_latency [--chunk-ms n] input.wav|input.au -- encoder...\n"
                     "       live_latency --decode [--chunk-ms n] input.sbc -- decoder...\n");
        return 2;
    }
    std::ifstream file(argv[arg], std::ios::binary);
    feed.bytes.assign(std::istreambuf_iterator<char>(file), {});
    char** command = argv + arg + 2;
    return decode ? measure_decoder(feed, command, argv[arg])
                  : measure_encoder(feed, command, argv[arg]);
}
