// n2k-listen: prints every NMEA 2000 message that the kernel's J1939 layer delivers on one CAN
// interface, as raw lines or as JSON objects decoded through a PGN description file.
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "descriptions/description_loader.h"
#include "listener/bus_endpoint.h"
#include "listener/command_line.h"
#include "output/json_record.h"
#include "output/output_stream.h"
#include "output/raw_line.h"
#include "reassembly/fast_packet.h"

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

sigset_t stop_signal_set()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    return signals;
}

// Without automatic restart, so that a stop signal interrupts a blocked receive. It must
// interrupt nothing else: a write to standard output that it cut short would lose what stdio
// held, so the writers hold the stop signals back while they write to a descriptor whose
// writes can wait (a pipe, a socket, a terminal).
void install_stop_handlers()
{
    struct sigaction action {
    };
    action.sa_handler = handle_stop_signal;
    action.sa_flags = 0;
    sigemptyset(&action.sa_mask);
    (void)sigaction(SIGINT, &action, nullptr);
    (void)sigaction(SIGTERM, &action, nullptr);
    // A hang-up (the terminal or ssh session went away) would otherwise kill the listener with
    // stdio's buffer unwritten and a log file cut mid-object. One that nohup(1) set to be
    // ignored stays ignored: the user asked for the listener to outlive the session.
    struct sigaction hangup {
    };
    if (sigaction(SIGHUP, nullptr, &hangup) == 0 && hangup.sa_handler != SIG_IGN)
        (void)sigaction(SIGHUP, &action, nullptr);
    hold_during_writes(stop_signal_set());
}

// Around writes of the listener's own: a stop signal is then delivered when they are done, or,
// once the loop has ended, when the process ends, where it changes nothing.
void change_stop_signals(int how)
{
    sigset_t signals = stop_signal_set();
    // Fails only for an invalid how.
    (void)sigprocmask(how, &signals, nullptr);
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

// Messages the kernel dropped are as lost as output that could not be written, and are told as
// such; nothing is said where the count cannot be read.
bool report_lost_messages(int64_t lost)
{
    if (lost <= 0)
        return false;
    std::fprintf(stderr, "n2k-listen: %" PRId64 " message%s lost: the receive queue overflowed\n",
                 lost, lost == 1 ? "" : "s");
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (!open_standard_descriptors())
        return 1;

    int answered = answer_help_or_version(argc, argv);
    if (answered >= 0)
        return answered;

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
    change_stop_signals(SIG_BLOCK);
    std::printf("Listening for NMEA 2000 messages on %s...\n", settings.interface_name);
    change_stop_signals(SIG_UNBLOCK);

    uint8_t buffer[RECEIVE_BUFFER_SIZE];
    while (keep_running && !output_failed(&output_errno)) {
        uint32_t pgn;
        uint8_t source;
        int32_t n = receive_message(fd, buffer, &pgn, &source);

        if (n < 0) {
            if (errno == EINTR)
                continue;
            // A lost interface is a failure, whatever the loop did before.
            int receive_errno = errno;
            change_stop_signals(SIG_BLOCK);
            errno = receive_errno;
            std::perror("recvfrom");
            status = 1;
            break;
        }

        if (settings.json_mode) {
            // A frame of a fast-packet message prints nothing until the message is whole.
            assembled_message message;
            if (assemble_message(pgn, source, n, buffer, &message))
                print_json_record_of(message.entry, pgn, source, message.length, message.payload);
        } else {
            print_raw_line(pgn, source, n, buffer);
        }
    }

    // Fast-packet messages still in progress end with the loop, unprinted.

    change_stop_signals(SIG_BLOCK);
    std::puts("\nExiting.");
    int64_t lost = lost_messages(fd);
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
    if (report_lost_messages(lost))
        status = 1;
    return status;
}
