// Cuts one described field out of a payload and scales it.
#pragma once

#include <cstdint>
#include <optional>

#include "descriptions/pgn_table.h"

// Whether the field lies wholly inside a payload of length bytes and is one the decoder can
// read (start not negative, start bit from 0 to 7, length from 0 to 64 with start bit and
// length together at most 64).
bool field_fits(const field_spec &field, int32_t length);

// The scaled value, or nothing when the type is neither 's' nor 'u'. The field must fit.
std::optional<double> decode_field(const uint8_t *payload, const field_spec &field);
