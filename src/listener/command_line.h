// The command line: `<interface> [-p pgn] [-c config] [-j]`.
#pragma once

#include <cstdint>

struct listener_settings {
    const char *interface_name;
    int32_t pgn_filter;      // 0: every PGN
    const char *config_path; // read in JSON mode only
    bool json_mode;
};

// Fills settings from the argument vector. On a usage error the complaint and the usage text
// are already on standard error and false is returned.
bool parse_command_line(int argc, char **argv, listener_settings *settings);

// `--help` or `--version` as the only argument prints the usage text or the program's version
// on standard output, and returns the exit status: 0, or 1 when standard output failed. Any
// other command line returns -1 and is left to parse_command_line, where a first argument is
// always the interface (so `-j can0` still names the interface `-j`).
int answer_help_or_version(int argc, char **argv);

// The PGN filter from a -p argument: what atoi gives for every number that fits 32 bits, and
// the nearest 32-bit limit for one that does not.
int32_t parse_pgn_filter(const char *text);
