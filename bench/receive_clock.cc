// Preloaded in front of the simulated bus, times a program's receive loop: from the start of
// its first recvfrom to the return of its last failed one (the end of the capture), which
// leaves out the start-up, the reading of the capture and the exit. Successful receives cost
// a counter and nothing else, so the clock slows no program measurably.
//
// The CPU time that the program itself spent in that span is taken too: on a machine shared
// with other work it moves far less than the wall clock.
//
// N2K_RECEIVE_CLOCK=path: where the line "<messages> <seconds> <CPU seconds>" is written at
// exit.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

using recvfrom_call = ssize_t (*)(int, void *, size_t, int, sockaddr *, socklen_t *);

recvfrom_call next_recvfrom;
timespec first_call;
timespec last_failure;
timespec first_call_cpu;
timespec last_failure_cpu;
long messages;
bool started;

double seconds_between(const timespec &from, const timespec &to)
{
    return static_cast<double>(to.tv_sec - from.tv_sec) +
           static_cast<double>(to.tv_nsec - from.tv_nsec) / 1e9;
}

[[gnu::destructor]] void write_figure()
{
    const char *path = std::getenv("N2K_RECEIVE_CLOCK");
    if (path == nullptr || *path == '\0' || !started)
        return;

    char line[96];
    int length = std::snprintf(line, sizeof line, "%ld %.9f %.9f\n", messages,
                               seconds_between(first_call, last_failure),
                               seconds_between(first_call_cpu, last_failure_cpu));
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || write(fd, line, static_cast<size_t>(length)) != length || close(fd) < 0)
        std::perror(path);
}

} // namespace

extern "C" __attribute__((visibility("default"))) ssize_t
recvfrom(int fd, void *buffer, size_t size, int flags, sockaddr *address, socklen_t *length)
{
    if (!started) {
        next_recvfrom = reinterpret_cast<recvfrom_call>(dlsym(RTLD_NEXT, "recvfrom"));
        if (next_recvfrom == nullptr)
            std::abort();
        started = true;
        (void)clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &first_call_cpu);
        (void)clock_gettime(CLOCK_MONOTONIC, &first_call);
    }

    ssize_t n = next_recvfrom(fd, buffer, size, flags, address, length);
    if (n >= 0) {
        messages++;
        return n;
    }

    int error = errno;
    (void)clock_gettime(CLOCK_MONOTONIC, &last_failure);
    (void)clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &last_failure_cpu);
    errno = error;
    return n;
}
