// The plain way of doing each step of the hot path, timed beside the listener's own: stdio
// formatting exactly as the formats read, a linear scan of the table, the decoding steps as
// written, and a loader built on fgets and sscanf.
#pragma once

#include <cstdint>
#include <cstdio>

#include "descriptions/pgn_table.h"

// One printf for the head and one "%02X " per byte.
void printf_raw_line(uint32_t pgn, uint8_t source, int32_t length, const uint8_t *payload);

// Every piece of the object with its own printf, values with "%.4f"; looks up with
// scan_find_entry and decodes with literal_decode_field.
void printf_json_record(uint32_t pgn, uint8_t source, int32_t length, const uint8_t *payload);

// The first entry in table order with that PGN, by walking the table.
const pgn_entry *scan_find_entry(uint32_t pgn);

// The decoder's steps one by one, the sign extension a bit at a time. False for a type other
// than 's' and 'u'.
bool literal_decode_field(const uint8_t *payload, const field_spec &field, double *value);

// The description file read with fgets into a 256-byte buffer and the sscanf formats of the
// file format, into the cleared table.
void sscanf_load_descriptions(FILE *file);
