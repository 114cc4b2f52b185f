// Finding and loading the FFmpeg module (ffmpeg.h), once per process, on first need:
//
//   1. "vantrel_ffmpeg.so" in the folders the dynamic loader searches for the program
//      (LD_LIBRARY_PATH, the program's run path, the system's folders): in a build tree the
//      programs and tests carry the module's folder in their run path; installed ones carry
//      none. The folders are listed (dlinfo) and the module opened by its full path, since the
//      loader searches the run path of the caller of dlopen, which under AddressSanitizer is
//      its runtime, not the program.
//   2. the folder it is installed into (VANTREL_FFMPEG_MODULE_PATH, set by the build)
//
// The module stays loaded until the process ends (FFmpeg keeps state of its own). A build made
// without FFmpeg has no path, and ffmpeg_module() is always null there.
#include "audiofile/ffmpeg.h"

#include <dlfcn.h>
#include <exception>
#include <string>
#include <unistd.h>
#include <vector>

namespace audiofile {

namespace {

#if defined(VANTREL_FFMPEG_MODULE_PATH)
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

// The module in the first of the program's library folders that holds one.
const FfmpegModule* load_from_search_path() {
    void* program = dlopen(nullptr, RTLD_NOW);
    Dl_serinfo size{};
    if (program == nullptr || dlinfo(program, RTLD_DI_SERINFOSIZE, &size) != 0) return nullptr;
    std::vector<Dl_serinfo> room(size.dls_size / sizeof(Dl_serinfo) + 1);
    Dl_serinfo* folders = room.data();
    *folders = size;
    if (dlinfo(program, RTLD_DI_SERINFOSIZE, folders) != 0 ||
        dlinfo(program, RTLD_DI_SERINFO, folders) != 0)
        return nullptr;
    for (unsigned i = 0; i < folders->dls_cnt; ++i) {
        const std::string path =
            std::string(folders->dls_serpath[i].dls_name) + "/vantrel_ffmpeg.so";
        if (access(path.c_str(), R_OK) == 0) return load_from(path.c_str());
    }
    return nullptr;
}
#endif

const FfmpegModule* load() {
#if defined(VANTREL_FFMPEG_MODULE_PATH)
    try {
        if (const FfmpegModule* module = load_from_search_path()) return module;
    } catch (const std::exception&) { // no memory for the list: the installed module only
    }
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
