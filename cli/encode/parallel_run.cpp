// The parallel encoding run: spans of frames coded side by side, written in stream order.
//
//   frames   │ span 0 │ span 1 │ span 2 │ span 3 │ …     span s = frames s·S … s·S + S − 1
//   worker A   ══0══►           ══2══►                    (each takes the next span)
//   worker B            ══1══►           ══3══►
//   output     ──────── 0 ─ 1 ────────── 2 ─ 3 ──►        (from a ring of 2·T slots)
//
// A worker reads its span's stored frames with positioned reads, together with the frames just
// before the span that prime the filter history (sbc::encoder_priming_frames), resets its
// encoder, encodes the priming frames and throws their bytes away, then encodes the span into a
// slot of the ring. The worker that completes the next span in stream order writes it, and every
// span after it that is ready; one worker writes at a time, so no thread waits on another except
// where the ring is full. Span s uses slot s mod 2T and waits until span s − 2T is written, so at
// most 2T spans of output and T spans of input are held, whatever the length of the input.
//
// Everything the single pass reports stays true: the first span (in stream order) whose data
// ends early or fails to read ends the stream with its whole frames, followed by the single
// pass's message; nothing after it is written, and no span after it is started once it is known.
//
// A stop signal (SIGINT, SIGTERM) ends the run within a second, even when a worker is stuck (a
// read from a file system that stopped answering):
//
//   signal ──► no span is taken from here on ──► the spans taken are written, within stop_grace
//          ──► past it: no write is started, the one under way is finished (frames stay whole),
//              and a worker still busy is left behind: the process ends by the signal at once
#include "cli/encode/parallel_run.h"

#include "cli/common/stop.h"
#include "cli/encode/frame_io.h"
#include "sbc/rate.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <sched.h>
#include <system_error>
#include <thread>
#include <vector>

namespace cli {

namespace {

constexpr size_t span_budget_bytes = 128 * 1024;
constexpr int slots_per_thread = 2;

// After a stop signal, the spans being encoded have this long to be written (a span takes a few
// milliseconds); the thread that waits for the workers looks for the signal this often.
constexpr auto stop_grace = std::chrono::milliseconds(500);
constexpr auto stop_poll = std::chrono::milliseconds(50);

// What every worker needs to know of the input and the stream, fixed before they start.
struct Layout {
    const audiofile::AudioInfo* info = nullptr;
    int64_t instants = 0; // sample instants per frame
    size_t channels = 0;
    size_t samples = 0;            // instants × channels
    size_t input_frame_bytes = 0;  // stored bytes of one frame
    size_t output_frame_bytes = 0; // stream bytes of one frame
    bool words16 = false;          // 16-bit integers: used in place (swapped first if need be)
    double scale = 1.0;            // the others: to the 16-bit scale
    int64_t frames = 0;            // in the stream
    int64_t span_frames = 0;       // per span (the last may hold fewer)
    int64_t spans = 0;
    int64_t most_priming = 0; // priming frames before any span
    bool h2_units = false;    // each frame in its H2 unit, numbered from the stream's start
};

// One span's frames and how its reading ended, from its worker to the writer.
struct Slot {
    int64_t span = -1;
    bool ready = false;
    std::vector<uint8_t> bytes;
    int32_t used = 0;
    int64_t instants_read = 0;  // of the span's own data
    bool cut_short = false;     // the data ended, or failed, inside the span
    int read_error = 0;         // the failure's system error number; 0 at a plain end
    int64_t refused_frame = -1; // a frame the encoder refused (its bytes are not in the slot)
};

struct Worker {
    std::unique_ptr<sbc::EncoderState> encoder;
    std::vector<int16_t> raw; // stored frames of one span and its priming
    std::thread thread;
};

struct Shared {
    std::mutex mutex;
    std::condition_variable changed; // a slot was freed, or the run finished (for the workers)
    std::condition_variable done;    // the run finished (for the thread that waits for it alone,
                                     // so that it is not woken for every span written)
    std::vector<Slot> slots;
    int64_t next_span = 0;  // the next span to take
    int64_t end_span = 0;   // no span from here on is taken (lowered where the data ends)
    int64_t written = 0;    // spans written: the next to write
    bool writing = false;   // a worker is writing spans
    bool finished = false;  // the last span is written, or the run ended early or failed
    bool succeeded = false; // once finished: false after a failure's message
    size_t running = 0;     // workers that have not returned
};

Layout layout_of(const ParallelJob& job) {
    Layout l;
    l.info = job.input.info;
    const audiofile::AudioInfo& info = *l.info;
    l.instants = int64_t{job.encoder.samples_per_channel};
    l.channels = static_cast<size_t>(info.channels);
    l.samples = static_cast<size_t>(l.instants) * l.channels;
    l.input_frame_bytes =
        l.samples * static_cast<size_t>(audiofile::sample_bits(info.sample_type) / 8);
    l.h2_units = job.h2_units;
    l.output_frame_bytes = static_cast<size_t>(stream_frame_bytes(job.encoder, job.h2_units));
    l.words16 = !audiofile::sample_is_float(info.sample_type) &&
                audiofile::sample_bits(info.sample_type) == 16;
    l.scale = sixteen_bit_scale(info.sample_type);
    l.frames = job.frames;
    l.span_frames = span_frames(l.input_frame_bytes, l.output_frame_bytes);
    l.spans = (l.frames + l.span_frames - 1) / l.span_frames;
    l.most_priming = sbc::encoder_priming_frames(job.encoder, l.frames);
    return l;
}

// The 16-bit PCM of frame f of the worker's raw frames.
std::span<const int16_t> frame_pcm(const Layout& l, const Worker& w, int64_t f,
                                   std::span<int16_t> pcm, std::span<double> values) {
    const auto frame = static_cast<size_t>(f);
    if (l.words16) return std::span<const int16_t>(w.raw).subspan(frame * l.samples, l.samples);
    const auto stored =
        std::as_bytes(std::span(w.raw)).subspan(frame * l.input_frame_bytes, l.input_frame_bytes);
    audiofile::audio_convert_frames(*l.info, stored, values.first(l.samples));
    sbc::to_pcm16(values.first(l.samples), l.scale, pcm);
    return pcm.first(l.samples);
}

// Reads span s with its priming frames, encodes it into `slot` and says how its reading ended.
void encode_span(const Layout& l, const audiofile::AudioFile& input, int64_t s, Worker& w,
                 Slot& slot) {
    sbc::EncoderState& encoder = *w.encoder;
    const int64_t first = s * l.span_frames;
    const int64_t count = std::min(l.span_frames, l.frames - first);
    const int64_t priming = sbc::encoder_priming_frames(encoder, first);
    const auto wanted = static_cast<size_t>(priming + count) * l.input_frame_bytes;
    int error = 0;
    const int64_t got =
        std::max<int64_t>(0, audiofile::audio_read_raw_at(
                                 input, (first - priming) * l.instants,
                                 std::as_writable_bytes(std::span(w.raw)).first(wanted), error));
    if (l.words16)
        audiofile::audio_words_to_samples16(
            *l.info, std::span(w.raw).first(static_cast<size_t>(got) * l.channels));
    slot.instants_read = std::max<int64_t>(0, got - priming * l.instants);
    slot.cut_short = slot.instants_read < count * l.instants;
    slot.read_error = error;
    const int64_t frames = got / l.instants; // whole frames read, priming included

    sbc::encoder_reset(encoder);
    std::array<int16_t, sbc::MAX_FRAME_SAMPLES * sbc::MAX_CHANNELS> pcm{};
    std::array<double, sbc::MAX_FRAME_SAMPLES * sbc::MAX_CHANNELS> values{};
    std::array<uint8_t, sbc::MAX_FRAME_LENGTH> discarded{};
    for (int64_t f = 0; f < frames; ++f) {
        const auto samples = frame_pcm(l, w, f, pcm, values);
        int32_t none = 0;
        const bool encoded = f < priming
                                 ? sbc::encoder_encode_frame(encoder, samples, discarded, none) > 0
                                 : append_frame(encoder, samples, first - priming + f, l.h2_units,
                                                slot.bytes, slot.used);
        if (!encoded) {
            slot.refused_frame = first - priming + f;
            return;
        }
    }
}

// How writing a span ended.
enum class Written { more, ended, failed };

// Writes one span's frames and reports how its reading ended, as the single pass does.
Written write_span(const Layout& l, std::FILE* output, int64_t s, const Slot& slot) {
    const auto count = static_cast<size_t>(slot.used);
    if (count != 0 && !write_all(output, std::span(slot.bytes).first(count))) {
        std::fprintf(stderr, "\nError writing outputfile\n");
        return Written::failed;
    }
    if (slot.refused_frame >= 0) {
        std::fprintf(stderr, "\nError encoding frame %lld\n",
                     static_cast<long long>(slot.refused_frame));
        return Written::failed;
    }
    if (!slot.cut_short) return Written::more;
    if (slot.read_error != 0) {
        std::fprintf(stderr, "\nError reading inputfile: %s\n", std::strerror(slot.read_error));
        return Written::failed;
    }
    std::fprintf(stderr,
                 "\nThe input data ended early: %lld of %d sample frames read; the stream ends "
                 "with the last whole frame\n",
                 static_cast<long long>(s * l.span_frames * l.instants + slot.instants_read),
                 l.info->num_samples);
    return Written::ended;
}

// Writes the spans that are ready in stream order, from the next one on, while `lock` holds the
// mutex (released around each write). Called by one worker at a time (`writing`).
void write_ready_spans(const Layout& l, std::FILE* output, Shared& shared,
                       std::unique_lock<std::mutex>& lock) {
    const auto ring = static_cast<int64_t>(shared.slots.size());
    bool freed = false;
    while (!shared.finished) {
        Slot& slot = shared.slots[static_cast<size_t>(shared.written % ring)];
        if (slot.span != shared.written || !slot.ready) break;
        lock.unlock();
        const Written result = write_span(l, output, shared.written, slot);
        lock.lock();
        slot.span = -1;
        freed = true;
        if (result != Written::more || ++shared.written >= shared.end_span) {
            shared.finished = true;
            shared.succeeded = result != Written::failed;
        }
    }
    if (freed) shared.changed.notify_all();
    if (shared.finished) shared.done.notify_all();
}

// At a stop signal, while holding the mutex: no span is taken from here on; those taken are
// still written.
void stop_taking_spans(Shared& shared) {
    shared.end_span = std::min(shared.end_span, shared.next_span);
    if (!shared.finished && shared.written >= shared.end_span) {
        shared.finished = true;
        shared.succeeded = true;
        shared.changed.notify_all();
        shared.done.notify_all();
    }
}

// A worker: takes the next span, waits for its slot, encodes it, and writes what is ready in
// order unless another worker is writing.
void work(const Layout& l, const audiofile::AudioFile& input, std::FILE* output, Shared& shared,
          Worker& w) {
    const auto ring = static_cast<int64_t>(shared.slots.size());
    for (;;) {
        std::unique_lock lock(shared.mutex);
        if (stop_requested()) stop_taking_spans(shared);
        if (shared.finished || shared.next_span >= shared.end_span) return;
        const int64_t s = shared.next_span++;
        shared.changed.wait(lock, [&] { return shared.finished || s < shared.written + ring; });
        if (shared.finished) return;
        Slot& slot = shared.slots[static_cast<size_t>(s % ring)];
        slot.span = s;
        slot.ready = false;
        slot.used = 0;
        slot.refused_frame = -1;
        lock.unlock();

        encode_span(l, input, s, w, slot);

        lock.lock();
        slot.ready = true;
        if (slot.cut_short || slot.refused_frame >= 0)
            shared.end_span = std::min(shared.end_span, s + 1);
        if (!shared.writing) {
            shared.writing = true;
            write_ready_spans(l, output, shared, lock);
            shared.writing = false;
            if (shared.finished) shared.done.notify_all();
        }
    }
}

// A worker thread: works until the run needs it no more, then says so.
void run_worker(const Layout& l, const audiofile::AudioFile& input, std::FILE* output,
                Shared& shared, Worker& w) {
    work(l, input, output, shared, w);
    const std::lock_guard lock(shared.mutex);
    --shared.running;
    shared.done.notify_all();
}

// Waits until the run is finished and every worker has returned; true when it succeeded. A stop
// signal gives the spans taken stop_grace to be written; past it the stream ends with the spans
// written so far, and when a worker is still busy (stuck), the process ends here by the signal.
bool await_workers(Shared& shared) {
    using clock = std::chrono::steady_clock;
    std::unique_lock lock(shared.mutex);
    std::optional<clock::time_point> deadline;
    while (!shared.finished || shared.running > 0) {
        if (!deadline && stop_requested()) {
            stop_taking_spans(shared);
            deadline = clock::now() + stop_grace;
        }
        if (deadline && clock::now() >= *deadline) {
            if (!shared.finished) {
                shared.finished = true; // no write is started from here on
                shared.succeeded = true;
                shared.changed.notify_all();
            }
            shared.done.wait(lock, [&] { return !shared.writing; });
            if (shared.running > 0) end_by_stop_signal();
        }
        shared.done.wait_for(lock, stop_poll);
    }
    return shared.succeeded;
}

// The workers' encoders and buffers and the ring, all allocated before any thread starts, so
// that the threads allocate nothing. False when memory ran out.
bool prepare(const Layout& l, const ParallelJob& job, std::vector<Worker>& workers,
             Shared& shared) {
    try {
        const size_t raw_bytes =
            static_cast<size_t>(l.span_frames + l.most_priming) * l.input_frame_bytes;
        for (Worker& w : workers) {
            w.encoder = sbc::encoder_create_like(job.encoder);
            if (!w.encoder) return false;
            w.raw.resize((raw_bytes + 1) / 2);
        }
        shared.slots.resize(workers.size() * slots_per_thread);
        for (Slot& slot : shared.slots)
            slot.bytes.resize(static_cast<size_t>(l.span_frames) * l.output_frame_bytes);
    } catch (const std::bad_alloc&) {
        return false;
    }
    shared.end_span = l.spans;
    return true;
}

} // namespace

int thread_count(int requested) {
    int n = requested;
    if (n <= 0) {
        cpu_set_t allowed;
        CPU_ZERO(&allowed);
        n = sched_getaffinity(0, sizeof allowed, &allowed) == 0
                ? CPU_COUNT(&allowed)
                : static_cast<int>(std::thread::hardware_concurrency());
    }
    return std::clamp(n, 1, MAX_THREADS);
}

int64_t span_frames(size_t input_frame_bytes, size_t output_frame_bytes) {
    const size_t largest = std::max({input_frame_bytes, output_frame_bytes, size_t{1}});
    return static_cast<int64_t>(std::max<size_t>(1, span_budget_bytes / largest));
}

std::optional<bool> encode_in_parallel(const ParallelJob& job) {
    if (job.threads == 1 || job.frames <= 0 || job.input.info == nullptr ||
        !audiofile::audio_positioned(job.input) || sbc::encoder_frame_length(job.encoder) < 0)
        return std::nullopt;
    const Layout l = layout_of(job);
    const auto threads = static_cast<size_t>(std::min<int64_t>(thread_count(job.threads), l.spans));
    if (threads < 2) return std::nullopt;
    std::vector<Worker> workers(threads);
    Shared shared;
    if (!prepare(l, job, workers, shared)) return std::nullopt;

    size_t started = 0;
    try {
        for (Worker& w : workers) {
            {
                const std::lock_guard lock(shared.mutex);
                ++shared.running;
            }
            w.thread = std::thread(run_worker, std::cref(l), std::cref(job.input), job.output,
                                   std::ref(shared), std::ref(w));
            ++started;
        }
    } catch (const std::system_error&) {
        // Fewer threads than asked: those that started do the work.
        const std::lock_guard lock(shared.mutex);
        --shared.running;
    }
    if (started == 0) return std::nullopt;
    const bool succeeded = await_workers(shared);
    for (Worker& w : workers)
        if (w.thread.joinable()) w.thread.join();
    return succeeded;
}

} // namespace cli
