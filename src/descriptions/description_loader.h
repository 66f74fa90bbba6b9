// Reads a PGN description file into pgn_table.
#pragma once

#include <cstdio>

// Loads the file at path. On failure (the file cannot be opened or read) the two-line
// diagnostic is already on standard error and false is returned.
bool load_descriptions(const char *path);

enum class load_status { ok, read_error };

// The loader's core over an open stream, without any diagnostic of its own except the
// table-full message. On read_error, errno holds the stream's error.
load_status load_descriptions_from(FILE *file);

// Strips leading and trailing whitespace in place; returns the first byte kept.
char *trim_whitespace(char *text);
