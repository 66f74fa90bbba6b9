// Whole files read and written at once, for tests that hand files to programs and read back
// what they wrote.
#pragma once

#include <string>

// The file's bytes; throws std::runtime_error when it cannot be read, so that two missing files
// never compare equal.
std::string read_file(const std::string &path);

// The file's bytes, or "" when there is no such file yet (a log a program has not begun).
std::string read_file_or_empty(const std::string &path);

// Replaces the file with text; throws std::runtime_error when it cannot be written.
void write_file(const std::string &path, const std::string &text);
