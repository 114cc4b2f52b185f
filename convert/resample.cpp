// The resampler stage: libsoxr's stream interface over interleaved doubles.
//
//   in ─► soxr (linear phase, 28-bit quality, delay removed) ─► out
//         └ its own FIFO keeps the input that the filter still needs; drained at the end
//
// soxr_process may take fewer instants than it is given when `out` fills; the caller gives the
// rest again. The environment setting that
// keeps soxr on its scalar engine (see resample.h) is made only for the call that creates the
// resampler and put back as it was; resamplers are created one at a time (a process-wide lock),
// so that stages created on several threads at once never set and read the variable together.
#include "convert/resample.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <pthread.h>
#include <soxr.h>
#include <system_error>
#include <thread>

namespace convert {

namespace {

constexpr const char* simd_variable = "SOXR_USE_SIMD";

// Held while the variable is set and soxr reads it.
std::mutex creation_lock;

// SOXR_USE_SIMD=0 while it lives, then the variable as it was (unset, or its old value).
struct ScalarEngineOnly {
    std::array<char, 64> saved{};
    bool was_set = false;
    bool restorable = true;

    ScalarEngineOnly() {
        if (const char* value = std::getenv(simd_variable)) {
            was_set = true;
            restorable = std::strlen(value) < saved.size();
            if (restorable) std::strcpy(saved.data(), value);
        }
        setenv(simd_variable, "0", 1);
    }
    ~ScalarEngineOnly() {
        if (!was_set) {
            unsetenv(simd_variable);
        } else if (restorable) {
            setenv(simd_variable, saved.data(), 1);
        }
    }
    ScalarEngineOnly(const ScalarEngineOnly&) = delete;
    ScalarEngineOnly& operator=(const ScalarEngineOnly&) = delete;
};

// One call of libsoxr on one channel's engine.
struct EngineCall {
    soxr* engine = nullptr;
    const double* in = nullptr; // null: the end of the input
    size_t in_length = 0;
    double* out = nullptr;
    size_t out_length = 0;
    size_t used = 0, done = 0;
    bool failed = false;

    void run() {
        failed = soxr_process(engine, in, in_length, &used, out, out_length, &done) != nullptr;
    }
};

// Instants of each channel per engine call, which sizes the planar buffers.
constexpr size_t piece_instants = 4096;

} // namespace

// A thread that runs one EngineCall at a time, beside the caller's own call on the other
// channel: the caller posts `call` and sets `posted`; the thread runs it and sets `finished`.
// Destroying it ends the thread and joins it.
struct ChannelHelper {
    std::mutex mutex;
    std::condition_variable changed;
    EngineCall call;
    bool posted = false, finished = false, quit = false;
    std::thread thread;

    void loop() {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return posted || quit; });
            if (quit) return;
            posted = false;
            lock.unlock();
            call.run();
            lock.lock();
            finished = true;
            changed.notify_all();
        }
    }

    ChannelHelper() = default;
    ChannelHelper(const ChannelHelper&) = delete;
    ChannelHelper& operator=(const ChannelHelper&) = delete;
    ~ChannelHelper() {
        {
            const std::lock_guard lock(mutex);
            quit = true;
        }
        changed.notify_all();
        if (thread.joinable()) thread.join();
    }
};

Resampler::Resampler() = default;
Resampler::~Resampler() = default;

void SoxrDeleter::operator()(soxr* resampler) const noexcept {
    soxr_delete(resampler);
}

namespace {

// Both calls, the second on the helper thread when there is one.
void run_both(Resampler& r, EngineCall& first, EngineCall& second) {
    ChannelHelper* helper = r.helper.get();
    if (helper == nullptr) {
        first.run();
        second.run();
        return;
    }
    {
        const std::lock_guard lock(helper->mutex);
        helper->call = second;
        helper->posted = true;
        helper->finished = false;
    }
    helper->changed.notify_all();
    first.run();
    std::unique_lock lock(helper->mutex);
    helper->changed.wait(lock, [&] { return helper->finished; });
    second = helper->call;
}

// One engine call per channel on up to one piece of `in` (null at the end of the input); the
// results interleaved into `out`. Returns the values written; `taken` the values of `in` used.
size_t process_piece(Resampler& r, std::span<const double> in, bool end, size_t& taken,
                     std::span<double> out) {
    taken = 0;
    const size_t channels = r.channels;
    const size_t room = std::min(out.size() / channels, piece_instants);
    if (channels == 1) {
        EngineCall call{r.engines[0].get(), end ? nullptr : in.data(), end ? 0 : in.size(),
                        out.data(), room};
        call.run();
        if (call.failed) return 0;
        taken = call.used;
        return call.done;
    }
    const size_t given = end ? 0 : std::min(in.size() / 2, piece_instants);
    for (size_t i = 0; i < given; ++i) {
        r.planar_in[0][i] = in[2 * i];
        r.planar_in[1][i] = in[2 * i + 1];
    }
    std::array<EngineCall, 2> calls;
    for (size_t c = 0; c < 2; ++c)
        calls[c] = {r.engines[c].get(), end ? nullptr : r.planar_in[c].data(), given,
                    r.planar_out[c].data(), room};
    run_both(r, calls[0], calls[1]);
    // Both engines are fed alike, so they take and make alike; anything else is a failure.
    if (calls[0].failed || calls[1].failed || calls[0].used != calls[1].used ||
        calls[0].done != calls[1].done)
        return 0;
    for (size_t i = 0; i < calls[0].done; ++i) {
        out[2 * i] = r.planar_out[0][i];
        out[2 * i + 1] = r.planar_out[1][i];
    }
    taken = 2 * calls[0].used;
    return 2 * calls[0].done;
}

// The engines, the buffers and the helper of a resampler, or false when memory ran out.
bool equip(Resampler& r, size_t channels, int threads) {
    try {
        if (channels == 2) {
            for (size_t c = 0; c < 2; ++c) {
                r.planar_in[c].resize(piece_instants);
                r.planar_out[c].resize(piece_instants);
            }
            if (threads >= 2) {
                auto helper = std::make_unique<ChannelHelper>();
                // The helper starts with every signal blocked, so the host's signals reach its
                // own threads only (a wait for input that a stop signal is to end, for one).
                sigset_t all, previous;
                sigfillset(&all);
                pthread_sigmask(SIG_BLOCK, &all, &previous);
                try {
                    helper->thread = std::thread(&ChannelHelper::loop, helper.get());
                    r.helper = std::move(helper);
                } catch (const std::system_error&) {
                    // No thread to be had: both channels on the caller's thread.
                }
                pthread_sigmask(SIG_SETMASK, &previous, nullptr);
            }
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

} // namespace

std::unique_ptr<Resampler> resampler_create(int32_t from_rate, int32_t to_rate, int32_t channels,
                                            int threads, const char*& error) {
    error = nullptr;
    if (from_rate < 1 || to_rate < 1) {
        error = "sampling frequencies must be positive";
        return nullptr;
    }
    if (channels < 1 || channels > 2) {
        error = "only one or two channels are resampled";
        return nullptr;
    }
    // No exception may leave: without memory for its buffers, the resampler is refused.
    std::unique_ptr<Resampler> r;
    try {
        r = std::make_unique<Resampler>();
    } catch (const std::bad_alloc&) {
        error = "out of memory";
        return nullptr;
    }
    r->channels = static_cast<size_t>(channels);
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    for (size_t c = 0; c < r->channels; ++c) {
        soxr_error_t failure = nullptr;
        soxr_t created = nullptr;
        {
            const std::lock_guard lock(creation_lock);
            const ScalarEngineOnly scalar;
            created = soxr_create(from_rate, to_rate, 1, &failure, &io, &quality, &runtime);
        }
        r->engines[c].reset(created);
        if (created == nullptr || failure != nullptr) {
            error = failure != nullptr ? failure : "the resampler could not be created";
            return nullptr;
        }
    }
    if (!equip(*r, r->channels, threads)) {
        error = "out of memory";
        return nullptr;
    }
    return r;
}

std::size_t resampler_process(Resampler& resampler, std::span<const double> in, std::size_t& taken,
                              std::span<double> out) {
    taken = 0;
    if (resampler.drained || resampler.channels == 0) return 0;
    return process_piece(resampler, in, false, taken, out);
}

std::size_t resampler_drain(Resampler& resampler, std::span<double> out) {
    if (resampler.channels == 0) return 0;
    resampler.drained = true;
    size_t taken = 0;
    return process_piece(resampler, {}, true, taken, out);
}

int64_t resampled_length(int64_t frames, int32_t from_rate, int32_t to_rate) {
    if (from_rate < 1 || to_rate < 1 || frames <= 0) return 0;
    // frames < 2^31 and rates < 2^31: the product stays within 2^63.
    return (2 * frames * to_rate + from_rate) / (2 * int64_t{from_rate});
}

const char* resampler_engine(const Resampler& resampler) {
    return soxr_engine(resampler.engines[0].get());
}

} // namespace convert
