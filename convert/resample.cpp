// The resampler stage: libsoxr's stream interface over interleaved doubles.
//
//   in ─► soxr (linear phase, 28-bit quality, delay removed) ─► out
//         └ its own FIFO keeps the input that the filter still needs; drained at the end
//
// soxr_process may take fewer instants than it is given when `out` fills; the caller gives the
// rest again. The environment setting that
// keeps soxr on its scalar engine (see resample.h) is made only for the call that creates the
// resampler and put back as it was.
#include "convert/resample.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <new>
#include <soxr.h>

namespace convert {

namespace {

constexpr const char* simd_variable = "SOXR_USE_SIMD";

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

} // namespace

void SoxrDeleter::operator()(soxr* resampler) const noexcept {
    soxr_delete(resampler);
}

std::unique_ptr<Resampler> resampler_create(int32_t from_rate, int32_t to_rate, int32_t channels,
                                            const char*& error) {
    error = nullptr;
    if (from_rate < 1 || to_rate < 1) {
        error = "sampling frequencies must be positive";
        return nullptr;
    }
    if (channels < 1 || channels > 2) {
        error = "only one or two channels are resampled";
        return nullptr;
    }
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr_error_t failure = nullptr;
    soxr_t created = nullptr;
    {
        const ScalarEngineOnly scalar;
        created = soxr_create(from_rate, to_rate, static_cast<unsigned>(channels), &failure, &io,
                              &quality, &runtime);
    }
    if (created == nullptr || failure != nullptr) {
        soxr_delete(created);
        error = failure != nullptr ? failure : "the resampler could not be created";
        return nullptr;
    }
    std::unique_ptr<soxr, SoxrDeleter> owned(created);
    // No exception may leave: without memory for this small record, the resampler is refused.
    std::unique_ptr<Resampler> resampler;
    try {
        resampler = std::make_unique<Resampler>();
    } catch (const std::bad_alloc&) {
        error = "out of memory";
        return nullptr;
    }
    resampler->engine = std::move(owned);
    resampler->channels = static_cast<size_t>(channels);
    return resampler;
}

std::size_t resampler_process(Resampler& resampler, std::span<const double> in,
                              std::size_t& taken, std::span<double> out) {
    taken = 0;
    const size_t channels = resampler.channels;
    if (resampler.drained || channels == 0) return 0;
    size_t used = 0, done = 0;
    soxr_error_t failure = soxr_process(resampler.engine.get(), in.data(), in.size() / channels,
                                        &used, out.data(), out.size() / channels, &done);
    if (failure != nullptr) return 0;
    taken = used * channels;
    return done * channels;
}

std::size_t resampler_drain(Resampler& resampler, std::span<double> out) {
    const size_t channels = resampler.channels;
    if (channels == 0) return 0;
    resampler.drained = true;
    size_t used = 0, done = 0;
    if (soxr_process(resampler.engine.get(), nullptr, 0, &used, out.data(), out.size() / channels,
                     &done) != nullptr)
        return 0;
    return done * channels;
}

int64_t resampled_length(int64_t frames, int32_t from_rate, int32_t to_rate) {
    if (from_rate < 1 || to_rate < 1 || frames <= 0) return 0;
    // frames < 2^31 and rates < 2^31: the product stays within 2^63.
    return (2 * frames * to_rate + from_rate) / (2 * int64_t{from_rate});
}

const char* resampler_engine(const Resampler& resampler) {
    return soxr_engine(resampler.engine.get());
}

} // namespace convert
