// bare_receive <interface>: receives like the listener, on the same endpoint, until a stop
// signal, and formats nothing. Its rate is the most any listener can reach on that bus.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <unistd.h>

#include "listener/bus_endpoint.h"

namespace
{

volatile sig_atomic_t keep_running = 1;

void handle_stop_signal(int)
{
    keep_running = 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fputs("usage: bare_receive <interface>\n", stderr);
        return 1;
    }

    // Without automatic restart, as in the listener: the signal must end a blocked receive.
    struct sigaction action {
    };
    action.sa_handler = handle_stop_signal;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGINT, &action, nullptr) < 0 || sigaction(SIGTERM, &action, nullptr) < 0) {
        std::perror("sigaction");
        return 1;
    }

    int fd = open_bus_endpoint(argv[1], 0);
    if (fd < 0)
        return 1;

    uint8_t buffer[RECEIVE_BUFFER_SIZE];
    long messages = 0;
    long bytes = 0;
    while (keep_running) {
        uint32_t pgn;
        uint8_t source;
        int32_t n = receive_message(fd, buffer, &pgn, &source);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            std::perror("recvfrom");
            break;
        }
        messages++;
        bytes += n;
    }

    if (close(fd) < 0) {
        std::perror("close");
        return 1;
    }
    std::fprintf(stderr, "bare_receive: %ld messages, %ld payload bytes\n", messages, bytes);
    return 0;
}
