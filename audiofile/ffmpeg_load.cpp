// Finding and loading the FFmpeg module (ffmpeg.h), once per process, on first need:
//
//   1. "vantrel_ffmpeg.so" by the dynamic loader's search: in a build tree the programs and
//      tests carry the module's folder in their run path; installed ones carry none, so this
//      finds nothing there (unless LD_LIBRARY_PATH points at a module)
//   2. the folder it is installed into (VANTREL_FFMPEG_MODULE_PATH, set by the build)
//
// The module stays loaded until the process ends (FFmpeg keeps state of its own). A build made
// without FFmpeg has no path, and ffmpeg_module() is always null there.
#include "audiofile/ffmpeg.h"

#include <dlfcn.h>

namespace audiofile {

namespace {

const FfmpegModule* load_from(const char* path) {
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return nullptr;
    using Entry = const FfmpegModule* (*)();
    const auto entry = reinterpret_cast<Entry>(dlsym(handle, "vantrel_ffmpeg_module_1"));
    const FfmpegModule* module = entry != nullptr ? entry() : nullptr;
    if (module == nullptr || module->version != FFMPEG_MODULE_VERSION) {
        dlclose(handle);
        return nullptr;
    }
    return module;
}

const FfmpegModule* load() {
#if defined(VANTREL_FFMPEG_MODULE_PATH)
    if (const FfmpegModule* module = load_from("vantrel_ffmpeg.so")) return module;
    return load_from(VANTREL_FFMPEG_MODULE_PATH);
#else
    return nullptr;
#endif
}

} // namespace

const FfmpegModule* ffmpeg_module() {
    static const FfmpegModule* const module = load();
    return module;
}

} // namespace audiofile
