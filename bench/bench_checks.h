// Before anything is timed, each step of the hot path must give exactly what its baseline
// gives; a faster step that prints something else measures nothing. Each check prints the first
// difference it finds to standard error and returns false.
#pragma once

#include <cstdio>
#include <string>

// Loads a description file given as text into the cleared table with the listener's loader.
void load_text(const std::string &text);

// A FILE over text, for the loader; the caller closes it.
FILE *text_stream(const std::string &text);

bool check_fixed4();
bool check_raw_lines();
bool check_json_records();
// Texts that need escaping, through the writer's block-wise copy, against its byte-wise one.
bool check_stored_texts();
bool check_decoding();
bool check_lookups();
bool check_loading();
