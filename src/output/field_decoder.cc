#include "output/field_decoder.h"

bool field_fits(const field_spec &field, int32_t length)
{
    if (field.start < 0 || field.length < 0 || field.length > 64)
        return false;

    // In 64 bits neither side can overflow for any 32-bit start and length.
    int64_t end_bit = int64_t{field.start} * 8 + field.length;
    return end_bit <= int64_t{length} * 8;
}

std::optional<double> decode_field(const uint8_t *payload, const field_spec &field)
{
    if (field.type != 's' && field.type != 'u')
        return std::nullopt;

    // Whole bytes, least significant first.
    uint64_t raw = 0;
    int bytes = (field.length + 7) / 8;
    for (int i = 0; i < bytes; i++)
        raw |= uint64_t{payload[field.start + i]} << (8 * i);

    // Bits above the length belong to the next field packed into the same byte.
    if (field.length < 64)
        raw &= (uint64_t{1} << field.length) - 1;

    double value;
    if (field.type == 's') {
        if (field.length > 0 && field.length < 64 && (raw >> (field.length - 1) & 1))
            raw |= ~uint64_t{0} << field.length;
        value = static_cast<double>(static_cast<int64_t>(raw));
    } else {
        value = static_cast<double>(raw);
    }

    // A separate multiply and add: a fused multiply-add would round the sum differently.
    double scaled = value * field.scale;
    return scaled + field.offset;
}
