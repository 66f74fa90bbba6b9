// Runs a program to its end and keeps what it wrote, for the tests of the shipped tree.
#pragma once

#include <string>
#include <vector>

#include "test_files.h"

struct command_result {
    std::string out;
    std::string err;
    int exit_status = -1; // -1 when ended by a signal or the timeout
};

// Runs argv[0] (a path) with the environment of the test plus the KEY=VALUE settings in env,
// standard input on /dev/null; ends it after timeout_seconds.
command_result run_command(const std::vector<std::string> &argv,
                           const std::vector<std::string> &env = {}, int timeout_seconds = 300);

// The environment for a make of the source tree run by a test: without the settings of the make
// that runs the tests, whose variables and job server would reach it through MAKEFLAGS.
inline const std::vector<std::string> OWN_MAKE_ENV = {"MAKEFLAGS=", "MFLAGS=", "MAKELEVEL="};

// A fresh, empty directory under the test's build directory.
std::string fresh_directory(const std::string &name);

// The paths of the regular files under root, relative to it, sorted.
std::vector<std::string> files_under(const std::string &root);

// The simulated bus to preload: N2K_TEST_PRELOAD when set (a sanitizer runtime before it),
// else the bus library built beside the tests.
std::string sim_preload();

// The text the listener writes to standard error when it is run without arguments.
std::string usage_text(const std::string &program);
