#include "event_log.h"

#include "libc_calls.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

int event_log_fd = -1;

namespace
{

// Descriptors of the sim's own sit high, out of the way of the numbers the program expects.
constexpr int HIGH_FD = 200;

// Never destroyed: the check for transmissions at exit runs after static destructors.
std::string &event_log_path()
{
    static auto *path = new std::string;
    return *path;
}

} // namespace

void follow_event_log()
{
    const char *path = std::getenv("N2K_SIM_LOG");

    if (path == nullptr || *path == '\0') {
        if (event_log_fd >= 0)
            libc().close(event_log_fd);
        event_log_fd = -1;
        event_log_path().clear();
        return;
    }
    if (event_log_fd >= 0 && event_log_path() == path)
        return;

    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        sim_fatal(std::string("cannot open the event log ") + path + ": " + strerror(errno));

    int high = fcntl(fd, F_DUPFD_CLOEXEC, HIGH_FD);
    if (high >= 0) {
        libc().close(fd);
        fd = high;
    }

    if (event_log_fd >= 0)
        libc().close(event_log_fd);
    event_log_fd = fd;
    event_log_path() = path;
}

void log_event(std::string line)
{
    int saved = errno;

    line.push_back('\n');
    if (write(event_log_fd, line.data(), line.size()) < 0)
        sim_fatal(std::string("cannot write the event log: ") + strerror(errno));
    errno = saved;
}

void append_hex(std::string &line, const void *bytes, size_t size)
{
    static const char DIGITS[] = "0123456789abcdef";
    const auto *p = static_cast<const unsigned char *>(bytes);

    for (size_t i = 0; i < size; i++) {
        line.push_back(DIGITS[p[i] >> 4]);
        line.push_back(DIGITS[p[i] & 0xF]);
    }
}

void sim_fatal(std::string_view message)
{
    std::string text = "n2k_sim: ";

    text.append(message);
    text.push_back('\n');
    if (write(STDERR_FILENO, text.data(), text.size()) < 0) {
        // Nothing else can be told; the status still says it.
    }
    _exit(3);
}
