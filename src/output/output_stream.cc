#include "output/output_stream.h"

#include <cstddef>
#include <cstdio>
#include <sys/stat.h>

#if __has_include(<stdio_ext.h>)
#include <stdio_ext.h>
#define N2K_HAVE_STDIO_EXT 1
#endif

namespace
{

sigset_t held_signals;
bool holding = false;

// Whether handing length more bytes to standard output may make stdio write to the descriptor.
// Most calls only fill the buffer, and cost no system call at all.
bool may_write(std::size_t length)
{
#if defined(__GLIBC__)
    // The room that putc_unlocked itself tests: the end of the put area is the end of the
    // buffer for a fully buffered stream, and at or before the put pointer when every write
    // may reach the descriptor (line buffered, unbuffered, no buffer yet).
    std::ptrdiff_t room = stdout->_IO_write_end - stdout->_IO_write_ptr;
    return room <= 0 || static_cast<std::size_t>(room) <= length;
#elif defined(N2K_HAVE_STDIO_EXT)
    if (__flbf(stdout))
        return true;
    return __fpending(stdout) + length >= __fbufsize(stdout);
#else
    (void)length;
    return true;
#endif
}

// The listener has one thread, so the stream's lock guards nothing; where the C library offers
// a write without it, that is the one taken.
void write_stdout(const char *text, std::size_t length)
{
#if defined(__GLIBC__)
    fwrite_unlocked(text, 1, length, stdout);
#else
    std::fwrite(text, 1, length, stdout);
#endif
}

} // namespace

bool writes_may_wait(int fd)
{
    struct stat target;
    if (fstat(fd, &target) < 0)
        return true;
    if (S_ISREG(target.st_mode))
        return false;

    struct stat null_device;
    if (!S_ISCHR(target.st_mode) || stat("/dev/null", &null_device) < 0)
        return true;
    return !S_ISCHR(null_device.st_mode) || target.st_rdev != null_device.st_rdev;
}

void hold_during_writes(const sigset_t &signals)
{
    held_signals = signals;
    holding = writes_may_wait(fileno(stdout));
}

void emit_output(const char *text, std::size_t length)
{
    if (!holding || !may_write(length)) {
        write_stdout(text, length);
        return;
    }

    // Fails only for an invalid how.
    sigset_t previous;
    (void)sigprocmask(SIG_BLOCK, &held_signals, &previous);
    write_stdout(text, length);
    (void)sigprocmask(SIG_SETMASK, &previous, nullptr);
}
