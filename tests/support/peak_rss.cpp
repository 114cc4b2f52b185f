// peak_rss COMMAND [ARG...]: runs the command with this program's standard streams and, after
// it, prints "peak_rss_kib N" on standard error, N being the command's own peak resident memory.
// A test cannot measure that itself: a child forked from a large test process starts with the
// test's pages counted, and the count survives exec. Forked from this small program, it does
// not. Exits with the command's status.
#include <cstdio>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char* argv[]) {
    if (argc < 2) return 2;
    const pid_t pid = fork();
    if (pid == 0) {
        execvp(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    if (pid < 0 || wait4(pid, &status, 0, &usage) < 0) return 2;
    std::fprintf(stderr, "peak_rss_kib %ld\n", usage.ru_maxrss);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
