// Fuzz target: the stream decoder (scanner, decoder and output of vantrel-decode) on any bytes.
// The first byte chooses the container, float samples, concealment or silence for damage, and
// how the bytes are cut into pieces; the rest is the stream.
//
//   1. The scanner sees the stream once whole and once in pieces of random sizes: the events
//      must be the same, and must account for every byte exactly once.
//   2. The whole run decodes the stream from a regular file into a file: the audio written
//      must be whole blocks, exactly the instants the events stand for (never more than the
//      frames found can hold: at most 128 instants per 6 input bytes, the shortest frame), and
//      a container's header must count exactly what follows it.
//
//   scripts/fuzz 1800 decode_fuzz
#include "audiofile/audiofile.h"
#include "cli/decode/decode_run.h"
#include "sbc/scan.h"

#include <cstdlib>
#include <random>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct Event {
    sbc::ScanEventType type;
    int64_t offset, length;
    int32_t lost, instants, channels;
    sbc::Damage damage;
    bool changed;
    bool operator==(const Event&) const = default;
};

// Every event of `stream`, fed in pieces whose sizes `next_piece` draws.
template <class Pieces>
std::vector<Event> scan(std::span<const uint8_t> stream, Pieces next_piece) {
    auto scanner = sbc::scanner_create();
    std::vector<Event> events;
    size_t at = 0;
    for (;;) {
        const sbc::ScanEvent e = sbc::scanner_next(*scanner);
        if (e.type == sbc::ScanEventType::end) break;
        if (e.type == sbc::ScanEventType::need_input) {
            if (at == stream.size()) {
                sbc::scanner_finish(*scanner);
            } else {
                const size_t n = std::min(next_piece(), stream.size() - at);
                if (sbc::scanner_push(*scanner, stream.subspan(at, n)) == 0) std::abort();
                at += n;
            }
            continue;
        }
        events.push_back({e.type, e.offset, e.length, e.lost_frames,
                          e.header.blocks * e.header.subbands, e.header.channels, e.damage,
                          e.changed});
    }
    return events;
}

// The events cover the stream: each byte in exactly one frame, damaged frame or skipped run.
void check_coverage(const std::vector<Event>& events, size_t size) {
    int64_t next = 0;
    for (const Event& e : events) {
        if (e.type == sbc::ScanEventType::lost) continue;
        if (e.offset != next || e.length <= 0) std::abort();
        next += e.length;
    }
    if (next != static_cast<int64_t>(size)) std::abort();
}

// The instants the decoder writes for these events (up to a change of stream) and the channels.
int64_t instants_of(const std::vector<Event>& events, int32_t& channels) {
    int64_t instants = 0;
    channels = 0;
    for (const Event& e : events) {
        if (e.type == sbc::ScanEventType::frame && e.changed) break;
        if (e.type == sbc::ScanEventType::skipped) continue;
        if (channels == 0) channels = e.channels;
        if (e.channels != channels) std::abort();
        instants += int64_t{e.type == sbc::ScanEventType::lost ? e.lost : 1} * e.instants;
    }
    return instants;
}

int memory_file(std::span<const uint8_t> bytes) {
    const int fd = memfd_create("decode_fuzz", MFD_CLOEXEC);
    if (fd < 0) std::abort();
    if (!bytes.empty() &&
        write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        std::abort();
    lseek(fd, 0, SEEK_SET);
    return fd;
}

constexpr cli::Container containers[] = {
    cli::Container::wav, cli::Container::au,   cli::Container::aiff, cli::Container::aifc,
    cli::Container::spw, cli::Container::h512, cli::Container::raw};

// Runs the decoder on the stream and checks what it wrote.
void check_run(std::span<const uint8_t> stream, uint8_t control, int64_t instants,
               int32_t channels) {
    const cli::Container container = containers[control % std::size(containers)];
    const bool float_samples = (control & 0x08) != 0 && container != cli::Container::aiff;
    const auto concealment =
        (control & 0x10) != 0 ? sbc::Concealment::silence : sbc::Concealment::automatic;
    cli::Input input;
    input.fd = memory_file(stream);
    input.name = "input";
    input.regular = true;
    const int out_fd = memory_file({});
    const int kept = dup(out_fd);
    cli::PcmOutput output;
    if (!cli::adopt_output(out_fd, "output", input, container, float_samples, output)) std::abort();
    cli::DecodeTotals totals;
    const int status = cli::decode_stream(input, output, concealment, totals);
    close(input.fd);
    struct stat written {};
    fstat(kept, &written);
    const bool refused = container == cli::Container::spw && channels == 2;
    if (status != 0 && status != 1) std::abort();
    if (channels == 0 || refused) {
        if (written.st_size != 0) std::abort();
        close(kept);
        return;
    }
    const int64_t bytes_per_sample = float_samples ? (container == cli::Container::spw ? 8 : 4) : 2;
    const int64_t data = instants * channels * bytes_per_sample;
    if (instants * 6 > 128 * static_cast<int64_t>(stream.size()) || instants % 4 != 0) std::abort();
    if (container == cli::Container::raw) {
        if (written.st_size != data) std::abort();
    } else {
        audiofile::AudioInfo info{};
        const std::string path = "/proc/self/fd/" + std::to_string(kept);
        auto back = audiofile::audio_open(path.c_str(), "r", info);
        if (!back || info.channels != channels || !info.num_samples_known ||
            info.num_samples != instants || written.st_size - info.data_offset != data)
            std::abort();
        audiofile::audio_close(back);
    }
    close(kept);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t control = data[0];
    const std::span<const uint8_t> stream(data + 1, size - 1);

    const auto whole = scan(stream, [] { return size_t{1} << 20; });
    std::minstd_rand pieces(control);
    // Pieces of 1 to 4 bytes half the time (cuts inside headers), of up to 700 otherwise.
    const auto cut = scan(stream, [&] {
        const auto r = static_cast<size_t>(pieces());
        return size_t{1} + (r & 1 ? (r >> 1) % 4 : (r >> 1) % 700);
    });
    if (whole != cut) std::abort();
    check_coverage(whole, stream.size());

    int32_t channels = 0;
    const int64_t instants = instants_of(whole, channels);
    check_run(stream, control, instants, channels);
    return 0;
}
