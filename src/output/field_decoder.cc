#include "output/field_decoder.h"

namespace
{

// Whole bytes, least significant first. The usual widths are spelt out, which compilers turn
// into one load each where the machine is little-endian.
uint64_t read_little_endian(const uint8_t *bytes, int count)
{
    switch (count) {
    case 1:
        return bytes[0];
    case 2:
        return uint64_t{bytes[0]} | uint64_t{bytes[1]} << 8;
    case 4:
        return uint64_t{bytes[0]} | uint64_t{bytes[1]} << 8 | uint64_t{bytes[2]} << 16 |
               uint64_t{bytes[3]} << 24;
    case 8:
        return uint64_t{bytes[0]} | uint64_t{bytes[1]} << 8 | uint64_t{bytes[2]} << 16 |
               uint64_t{bytes[3]} << 24 | uint64_t{bytes[4]} << 32 | uint64_t{bytes[5]} << 40 |
               uint64_t{bytes[6]} << 48 | uint64_t{bytes[7]} << 56;
    default:
        break;
    }

    uint64_t raw = 0;
    for (int i = 0; i < count; i++)
        raw |= uint64_t{bytes[i]} << (8 * i);
    return raw;
}

} // namespace

bool field_fits(const field_spec &field, int32_t length)
{
    if (field.start < 0 || field.length < 0 || field.length > 64)
        return false;
    // The value is cut out of at most 64 bits read from its first byte on.
    if (field.start_bit < 0 || field.start_bit > 7 || field.start_bit + field.length > 64)
        return false;

    // In 64 bits neither side can overflow for any 32-bit start and length.
    int64_t end_bit = int64_t{field.start} * 8 + field.start_bit + field.length;
    return end_bit <= int64_t{length} * 8;
}

std::optional<double> decode_field(const uint8_t *payload, const field_spec &field)
{
    if (field.type != 's' && field.type != 'u')
        return std::nullopt;

    uint64_t raw =
        read_little_endian(payload + field.start, (field.start_bit + field.length + 7) / 8);

    // Bits below the start bit and above the length belong to the fields packed beside it.
    raw >>= field.start_bit;
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
