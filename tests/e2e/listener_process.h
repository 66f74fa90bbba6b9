// Runs the installed-shape listener binary on the simulated bus and collects everything it did.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

struct run_options {
    std::vector<std::string> args; // after the program name
    std::vector<std::string> env;  // KEY=VALUE for the listener and the simulated bus
    const char *feed = nullptr;    // the bus traffic; nullptr for a silent bus
    const char *program = nullptr; // another binary than the listener under test
    const char *argv0 = "n2k-listen";
    // Runs while the listener does; standard output is not read until it returns when
    // stall_output is set, so the listener can be caught in a blocked write.
    std::function<void(pid_t pid, const std::string &log_path)> while_running;
    bool stall_output = false;
    // With stall_output: the reading end of standard output is closed instead of read once
    // while_running returns, so a blocked write fails.
    bool close_stalled_output = false;
    // The capacity of standard output's pipe, when not the system's default: one page lets a
    // single long line block the listener.
    int stdout_pipe_size = 0;
    // Where standard output goes instead of a pipe: a path to open, "-" for closed, or "|" for
    // a pipe whose reading end is already closed.
    const char *stdout_path = nullptr;
    bool ignore_sigpipe = false;
    bool ignore_sighup = false; // as nohup(1) starts a program
    int timeout_seconds = 60;
};

struct run_result {
    std::string out;
    std::string err;
    std::string log;      // the simulated bus's event log
    int exit_status = -1; // -1 when ended by a signal
    int term_signal = 0;
};

run_result run_listener(const run_options &options);

// Waits until the event log holds the text (a whole line), for at most the timeout.
bool wait_for_log(const std::string &log_path, const std::string &line, int timeout_ms = 20000);

// Waits until the process sits in one of the given system calls.
bool wait_for_syscall(pid_t pid, std::vector<int> numbers, int timeout_ms = 20000);

// Waits until the process is blocked in the simulated bus's receive with nothing to deliver.
bool wait_until_waiting(pid_t pid, const std::string &log_path);

// Waits until the simulated bus's feeder, a child of the process, has sent its whole feed.
bool wait_until_fed(pid_t pid);

// Lines of the event log that start with the prefix.
std::vector<std::string> log_lines(const std::string &log, const std::string &prefix);

// The raw line the listener must print, written out from the format.
std::string raw_line(unsigned pgn, unsigned source, const std::vector<unsigned char> &payload);

inline constexpr char BANNER_CAN0[] = "Listening for NMEA 2000 messages on can0...\n";
inline constexpr char CLOSING[] = "\nExiting.\n";
