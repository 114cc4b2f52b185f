// Audio file handles: open (choose the stream, recognise the container or write the header) and
// close.
//
//   audio_open("x.wav", "r", info)
//     ├─ handle + 1 MiB sample buffer allocated   ("Filehandle: <system error>" when impossible)
//     ├─ stream: the file ("rb", or "rb+" for update) or standard input for "AUDIO_FROM_STDIN"
//     └─ recognise_input fills `info`; the stream is left at the first sample, or, for a file
//        that libsndfile decodes (FLAC, Ogg, MP3, W64, CAF), the handle gets its decoder
//
//   audio_open("x.wav", "w", info)
//     ├─ header_problem: `info` must be writable, or nothing is created
//     ├─ stream: the file ("wb") or standard output for "AUDIO_TO_STDOUT"
//     └─ write_header writes and flushes the header; a failed write is reported, no handle
//
// The reserved names stand for the standard streams and are compared exactly. Standard input and
// output are never closed here, and their mode is left as it is. A stream read that is not a
// regular file (standard input on a pipe, a FIFO, a socket, a terminal) is made unbuffered before
// recognition and then read live (read.cpp): the C library then holds back none of the bytes that
// come after the header, which the live reads take straight from the descriptor. A refused open
// releases everything it took, the file it opened included.
#include "audiofile/detect.h"
#include "audiofile/writers.h"

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

// True when the stream is to be read live; it is then unbuffered from here on. Streams without a
// descriptor, and those whose buffering cannot change, are read in blocks.
bool start_live_reading(std::FILE* stream) {
    if (regular_file_size(stream) || fileno(stream) < 0) return false;
    return std::setvbuf(stream, nullptr, _IONBF, 0) == 0;
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
    file->live = start_live_reading(file->stream.get());
    if (recognise_input(*file, info) != 0) return nullptr;
    return file;
}

// Write access ("w"): check `info`, create the stream, write the header.
std::unique_ptr<AudioFile> open_for_writing(const char* path, AudioInfo& info) {
    if (is_name(path, from_stdin_name)) {
        std::fputs("\nUnable to write stdin !!", stderr);
        return nullptr;
    }
    if (const HeaderProblem problem = header_problem(info); !problem.ok()) {
        std::fprintf(stderr, "\nUnable to write %s: %s\n", path, problem.text.data());
        return nullptr;
    }
    auto file = allocate_handle(info);
    if (!file) return nullptr;
    file->access = ACCESS_WRITE;
    if (is_name(path, to_stdout_name)) {
        file->stream.reset(stdout);
    } else {
        file->stream.reset(std::fopen(path, "wb"));
        if (!file->stream) {
            std::perror(path);
            return nullptr;
        }
    }
    if (write_header(file->stream.get(), info) != 0) {
        const int error = errno;
        std::fprintf(stderr, "\nError writing the header of %s: %s\n", path, std::strerror(error));
        return nullptr;
    }
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
    if (recognise_input(*file, info) != 0) return nullptr;
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
    if (mode[0] == 'w') return open_for_writing(path, info);
    std::fprintf(stderr, "\naudio_open: mode \"%s\" not supported (use \"r\", \"r+\" or \"w\")\n",
                 mode);
    return nullptr;
}

int audio_close(std::unique_ptr<AudioFile>& file) {
    if (!file) return 0;
    // A write handle holds nothing but its header and what its caller wrote to the stream (no
    // operation here adds frames to it), so closing writes nothing more. It makes sure that all
    // of it arrived: a write that failed earlier left the stream's error flag, and the last
    // buffered bytes go out with fclose, or with a flush for standard output (which stays open).
    file->decoder.reset(); // it may read the stream, so it goes first
    std::FILE* stream = file->stream.release();
    const bool writing = file->access == ACCESS_WRITE && stream != nullptr;
    const bool write_failed =
        writing && (std::ferror(stream) != 0 || (stream == stdout && std::fflush(stdout) != 0));
    const bool close_failed =
        stream != nullptr && stream != stdin && stream != stdout && std::fclose(stream) != 0;
    if (write_failed || close_failed) {
        std::fputs("\nError closing file", stderr);
        return -1;
    }
    file.reset();
    return 0;
}

} // namespace audiofile
