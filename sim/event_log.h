// The event log that tests read while the process runs, and the sim's own fatal complaints.
#pragma once

#include <string>
#include <string_view>

extern int event_log_fd;

// Opens, switches or closes the log to follow N2K_SIM_LOG as it is now.
void follow_event_log();

inline bool event_log_on()
{
    return event_log_fd >= 0;
}

// One line, written with one write(2) so that a reader never sees half of it.
void log_event(std::string line);

void append_hex(std::string &line, const void *bytes, size_t size);

// A broken setup of the sim itself (a bad feed line, an unknown errno name): it is said on
// standard error and the process ends with status 3, so no test can pass on it unnoticed.
[[noreturn]] void sim_fatal(std::string_view message);
