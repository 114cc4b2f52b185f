#include "in_process_run.h"

#include "cli/encode/settings.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#endif

namespace {

// The run that is going on, named on standard error if it never ends or a sanitizer ends the
// process (an assertion names it through SCOPED_TRACE).
char running[160] = "";

void name_the_running_file() {
    const char words[] = "\nthe damaged file running: ";
    [[maybe_unused]] auto n = write(STDERR_FILENO, words, sizeof words - 1);
    n = write(STDERR_FILENO, running, std::strlen(running));
    n = write(STDERR_FILENO, "\n", 1);
}

} // namespace

void watch_runs() {
    std::signal(SIGALRM, [](int) {
        name_the_running_file();
        _exit(124);
    });
    std::signal(SIGPIPE, SIG_IGN); // a run that stops reading leaves the writing thread EPIPE
#if defined(__SANITIZE_ADDRESS__)
    __sanitizer_set_death_callback(name_the_running_file);
#endif
}

EncodingRun run_in_process(const std::string& path, const std::string& label) {
    std::snprintf(running, sizeof running, "%s", label.c_str());
    char* out = nullptr;
    char* err = nullptr;
    size_t out_size = 0;
    size_t err_size = 0;
    std::FILE* output = open_memstream(&out, &out_size);
    std::FILE* messages = open_memstream(&err, &err_size);
    cli::Settings settings;
    settings.channel_mode = 3; // -j
    std::FILE* const real_stderr = stderr;
    stderr = messages; // the run's messages; sanitizer reports go to the descriptor itself
    alarm(20);
    EncodingRun r;
    r.status = cli::run_encoding(settings, output, path.c_str());
    alarm(0);
    stderr = real_stderr;
    std::fclose(messages);
    r.out.assign(out, out_size);
    r.err.assign(err, err_size);
    std::free(out);
    std::free(err);
    return r;
}

EncodingRun run_piped_in_process(const std::string& bytes, const std::string& label) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return {};
    std::thread writer([&bytes, in = ends[1]] {
        for (size_t at = 0; at < bytes.size();) {
            const ssize_t n = write(in, bytes.data() + at, bytes.size() - at);
            if (n <= 0) break; // EPIPE: the run has stopped reading
            at += static_cast<size_t>(n);
        }
        close(in);
    });
    EncodingRun r = run_in_process("/dev/fd/" + std::to_string(ends[0]), label);
    close(ends[0]); // the run's own descriptor is closed: a writer still waiting ends now
    writer.join();
    return r;
}
