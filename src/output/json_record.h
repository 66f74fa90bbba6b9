// One JSON object per message, in JSON mode.
#pragma once

#include <cstdint>

#include "descriptions/pgn_table.h"

void print_json_record(uint32_t pgn, uint8_t source, int32_t length, const uint8_t *payload);

// The same object, for a caller that has already looked the PGN's entry up (nullptr: none).
void print_json_record_of(const pgn_entry *entry, uint32_t pgn, uint8_t source, int32_t length,
                          const uint8_t *payload);
