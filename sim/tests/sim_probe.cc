// A program that uses its J1939 socket the way the listener does, in plain calls and built
// without the sim, so that tests meet the library through LD_PRELOAD as the listener does.
//
// sim_probe INTERFACE [PGN] [--keep-open] [--count]
// prints "PGN SOURCE LENGTH" for each message, stops at SIGINT or SIGTERM or on a failed
// receive; --keep-open leaves the socket to the exit, --count prints only the number received.
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

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
    if (argc < 2) {
        std::fprintf(stderr, "usage: sim_probe INTERFACE [PGN] [--keep-open] [--count]\n");
        return 1;
    }

    uint32_t pgn = 0;
    bool keep_open = false;
    bool count_only = false;
    for (int i = 2; i < argc; i++) {
        if (std::strcmp(argv[i], "--keep-open") == 0)
            keep_open = true;
        else if (std::strcmp(argv[i], "--count") == 0)
            count_only = true;
        else
            pgn = static_cast<uint32_t>(std::strtoul(argv[i], nullptr, 0));
    }

    struct sigaction action {
    };
    action.sa_handler = handle_stop_signal;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGINT, &action, nullptr) != 0 || sigaction(SIGTERM, &action, nullptr) != 0) {
        std::perror("sigaction");
        return 1;
    }

    int fd = socket(39, SOCK_DGRAM, 7);
    if (fd < 0) {
        std::perror("socket");
        return 1;
    }

    uint8_t record[24] = {24, 39};
    uint32_t index = if_nametoindex(argv[1]);
    if (index == 0) {
        std::perror("if_nametoindex");
        close(fd);
        return 1;
    }
    std::memcpy(record + 4, &index, sizeof index);
    std::memcpy(record + 16, &pgn, sizeof pgn);
    record[20] = 0xFF;
    if (bind(fd, reinterpret_cast<sockaddr *>(record), sizeof record) != 0) {
        std::perror("bind");
        close(fd);
        return 1;
    }

    static uint8_t buffer[4096];
    long received = 0;
    while (keep_running) {
        uint8_t sender[24] = {};
        socklen_t length = sizeof sender;
        ssize_t n =
            recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(sender), &length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            std::perror("recvfrom");
            break;
        }

        uint32_t message_pgn = 0;
        std::memcpy(&message_pgn, sender + 16, sizeof message_pgn);
        received++;
        if (!count_only)
            std::printf("%u %u %zd\n", message_pgn, sender[20], n);
    }

    if (count_only)
        std::printf("%ld\n", received);
    if (!keep_open)
        close(fd);
    return 0;
}
