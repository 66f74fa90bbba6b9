// One text line per message, in raw mode.
#pragma once

#include <cstdint>

void print_raw_line(uint32_t pgn, uint8_t source, int32_t length, const uint8_t *payload);
