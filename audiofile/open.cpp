// Audio file handles: open (choose the stream, recognise the container) and close.
//
//   audio_open("x.wav", "r", info)
//     ├─ handle + 1 MiB sample buffer allocated   ("Filehandle: <system error>" when impossible)
//     ├─ stream: the file ("rb", or "rb+" for update) or standard input for "AUDIO_FROM_STDIN"
//     └─ detect_format fills `info`; the stream is left at the first sample
//
// The reserved names stand for the standard streams and are compared exactly. Standard input and
// output are used as they are (mode and buffering untouched) and never closed here. A refused
// open releases everything it took, the file it opened included.
#include "audiofile/detect.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

namespace audiofile {

namespace {

constexpr const char* from_stdin_name = "AUDIO_FROM_STDIN";
constexpr const char* to_stdout_name = "AUDIO_TO_STDOUT";

bool is_name(const char* path, const char* reserved) {
    return std::strcmp(path, reserved) == 0;
}

// The handle with its buffer, or null after reporting through the error printer.
std::unique_ptr<AudioFile> allocate_handle(AudioInfo& info) {
    try {
        auto file = std::make_unique<AudioFile>();
        file->buffer = std::make_unique<SampleBuffer>();
        file->info = &info;
        return file;
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        std::perror("Filehandle");
        return nullptr;
    }
}

// Read ("r") and update ("r+") access: stream, then recognition.
std::unique_ptr<AudioFile> open_for_reading(const char* path, bool update, AudioInfo& info) {
    const bool reserved = is_name(path, from_stdin_name) || is_name(path, to_stdout_name);
    if (update && reserved) {
        std::fputs("\nUnable to update stdin/stdout !!", stderr);
        return nullptr;
    }
    auto file = allocate_handle(info);
    if (!file) return nullptr;
    file->access = update ? ACCESS_UPDATE : ACCESS_READ;
    if (is_name(path, from_stdin_name)) {
        file->stream.reset(stdin);
    } else {
        file->stream.reset(std::fopen(path, update ? "rb+" : "rb"));
        if (!file->stream) {
            std::perror(path);
            return nullptr;
        }
    }
    if (detect_format(file->stream.get(), info) != 0) return nullptr;
    return file;
}

} // namespace

std::unique_ptr<AudioFile> audio_open_stream(std::FILE* stream, AudioInfo& info) {
    StreamPtr owned(stream);
    if (!owned) {
        std::fputs("\naudio_open_stream: no stream given\n", stderr);
        return nullptr;
    }
    auto file = allocate_handle(info);
    if (!file) return nullptr;
    file->stream = std::move(owned);
    if (detect_format(file->stream.get(), info) != 0) return nullptr;
    return file;
}

void StreamCloser::operator()(std::FILE* stream) const {
    if (stream != nullptr && stream != stdin && stream != stdout) std::fclose(stream);
}

std::unique_ptr<AudioFile> audio_open(const char* path, const char* mode, AudioInfo& info) {
    if (path == nullptr || mode == nullptr) {
        std::fputs("\naudio_open: no file name or no mode given\n", stderr);
        return nullptr;
    }
    if (mode[0] == 'r') return open_for_reading(path, mode[1] == '+', info);
    if (mode[0] == 'w') {
        if (is_name(path, from_stdin_name)) {
            std::fputs("\nUnable to write stdin !!", stderr);
            return nullptr;
        }
        std::fprintf(stderr, "\nUnable to write %s: writing audio files is not supported\n", path);
        return nullptr;
    }
    std::fprintf(stderr, "\naudio_open: mode \"%s\" not supported (use \"r\", \"r+\" or \"w\")\n",
                 mode);
    return nullptr;
}

int audio_close(std::unique_ptr<AudioFile>& file) {
    if (!file) return 0;
    std::FILE* stream = file->stream.release();
    if (stream != nullptr && stream != stdin && stream != stdout && std::fclose(stream) != 0) {
        std::fputs("\nError closing file", stderr);
        return -1;
    }
    file.reset();
    return 0;
}

} // namespace audiofile
