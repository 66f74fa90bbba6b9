// n2k-listen: prints every NMEA 2000 message that the kernel's J1939 layer delivers on one CAN
// interface, as raw lines or as JSON objects decoded through a PGN description file.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "descriptions/description_loader.h"
#include "listener/bus_endpoint.h"
#include "listener/command_line.h"
#include "output/json_record.h"
#include "output/raw_line.h"

namespace
{

volatile sig_atomic_t keep_running = 1;

void handle_stop_signal(int)
{
    keep_running = 0;
}

// With descriptor 1 or 2 closed, the socket would take its number and every line printed would
// be offered to the bus. Any of 0, 1 and 2 that is closed is opened on /dev/null instead.
bool open_standard_descriptors()
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened != fd) {
            if (opened >= 0)
                close(opened);
            return false;
        }
    }
    return true;
}

// A stop signal may only interrupt the receive. Arriving during a write to standard output it
// would make the write fail and stdio drop what it holds, so outside the receive both stop
// signals are held back and delivered at the next receive.
void change_stop_signals(int how)
{
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    // Fails only for an invalid how.
    (void)sigprocmask(how, &stop_signals, nullptr);
}

// Without automatic restart, so that a stop signal interrupts a blocked receive.
void install_stop_handlers()
{
    struct sigaction action {
    };
    action.sa_handler = handle_stop_signal;
    action.sa_flags = 0;
    sigemptyset(&action.sa_mask);
    (void)sigaction(SIGINT, &action, nullptr);
    (void)sigaction(SIGTERM, &action, nullptr);
    change_stop_signals(SIG_BLOCK);
}

// Remembers the error of the first write to standard output that failed.
bool output_failed(int *first_errno)
{
    if (!std::ferror(stdout))
        return false;
    if (*first_errno == 0)
        *first_errno = errno;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (!open_standard_descriptors())
        return 1;

    listener_settings settings;
    if (!parse_command_line(argc, argv, &settings))
        return 1;

    if (settings.json_mode && !load_descriptions(settings.config_path))
        return 1;

    install_stop_handlers();

    int fd = open_bus_endpoint(settings.interface_name, settings.pgn_filter);
    if (fd < 0)
        return 1;

    int status = 0;
    int output_errno = 0;
    std::printf("Listening for NMEA 2000 messages on %s...\n", settings.interface_name);

    uint8_t buffer[RECEIVE_BUFFER_SIZE];
    while (!output_failed(&output_errno)) {
        change_stop_signals(SIG_UNBLOCK);
        if (!keep_running) {
            change_stop_signals(SIG_BLOCK);
            break;
        }

        uint32_t pgn;
        uint8_t source;
        int32_t n = receive_message(fd, buffer, &pgn, &source);
        int receive_errno = errno;
        change_stop_signals(SIG_BLOCK);

        if (n < 0) {
            if (receive_errno == EINTR)
                continue;
            // A lost interface is a failure, whatever the loop did before.
            errno = receive_errno;
            std::perror("recvfrom");
            status = 1;
            break;
        }

        if (settings.json_mode)
            print_json_record(pgn, source, n, buffer);
        else
            print_raw_line(pgn, source, n, buffer);
    }

    std::puts("\nExiting.");
    if (close(fd) < 0) {
        std::perror("close");
        status = 1;
    }

    if (std::fflush(stdout) != 0 || output_failed(&output_errno)) {
        if (output_errno == 0)
            output_errno = errno;
        errno = output_errno;
        std::perror("stdout");
        status = 1;
    }
    return status;
}
