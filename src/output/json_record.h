// One JSON object per message, in JSON mode.
#pragma once

#include <cstdint>

void print_json_record(uint32_t pgn, uint8_t source, int32_t length, const uint8_t *payload);
