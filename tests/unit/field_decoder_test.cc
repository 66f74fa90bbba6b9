#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "output/field_decoder.h"
#include "output/text_format.h"

namespace
{

struct decode_case {
    std::vector<uint8_t> bytes;
    char type;
    int32_t start;
    int32_t length;
    double scale;
    double offset;
    const char *printed; // as "%.4f", or "none" for no value
};

field_spec make_field(char type, int32_t start, int32_t length, double scale, double offset)
{
    field_spec field{};
    field.type = type;
    field.start = start;
    field.length = length;
    field.scale = scale;
    field.offset = offset;
    return field;
}

std::string decoded_text(const decode_case &c)
{
    field_spec field = make_field(c.type, c.start, c.length, c.scale, c.offset);
    std::optional<double> value = decode_field(c.bytes.data(), field);
    if (!value)
        return "none";
    char buffer[FIXED4_MAX + 1];
    return std::string(buffer, append_fixed4(buffer, *value));
}

const std::vector<uint8_t> EIGHT_80 = {0, 0, 0, 0, 0, 0, 0, 0x80};

} // namespace

TEST(DecodeField, Table)
{
    const decode_case cases[] = {
        {{0x00, 0x2C, 0x01}, 'u', 1, 16, 0.01, 0, "3.0000"},
        {{0xFE, 0xFF}, 's', 0, 16, 1, 0, "-2.0000"},
        {{0x80}, 's', 0, 8, 1, 0, "-128.0000"},
        {{0x80}, 'u', 0, 8, 1, 0, "128.0000"},
        {{0x64}, 'u', 0, 8, 0.5, -40, "10.0000"},
        {EIGHT_80, 's', 0, 64, 1, 0, "-9223372036854775808.0000"},
        {EIGHT_80, 'u', 0, 64, 1, 0, "9223372036854775808.0000"},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
         'u',
         0,
         64,
         1,
         0,
         "18446744073709551616.0000"},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 's', 0, 64, 1, 0, "-1.0000"},
        {{0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20}, 'u', 0, 56, 1, 0, "9007199254740992.0000"},
        {{0x12, 0x34}, 'u', 0, 0, 2, 7.5, "7.5000"},
        {{0x12, 0x34}, 's', 0, 0, 2, -7.5, "-7.5000"},
        // Fused multiply-add would print 0.4234, 1.1000 and 0.0300.
        {{0x03}, 'u', 0, 8, 0.1, 0.12345, "0.4235"},
        {{0x0B}, 'u', 0, 8, 0.1, 0.00005, "1.1001"},
        {{0x03}, 'u', 0, 8, 0.01, -0.00005, "0.0299"},
        {{0x01}, 'u', 0, 8, -0.00001, 0, "-0.0000"},
        // Bits above a sub-byte length belong to the next field.
        {{0xF3}, 'u', 0, 4, 1, 0, "3.0000"},
        {{0x0F}, 's', 0, 4, 1, 0, "-1.0000"},
        {{0x73}, 's', 0, 4, 1, 0, "3.0000"},
        {{0xFE}, 'u', 0, 2, 1, 0, "2.0000"},
        {{0xFF, 0x1F}, 's', 0, 13, 1, 0, "-1.0000"},
        {{0xFF, 0xEF}, 's', 0, 13, 1, 0, "4095.0000"},
        {{0x00, 0x00, 0x80, 0xFF}, 's', 0, 24, 1, 0, "-8388608.0000"},
        {{0x00, 0x00, 0x80}, 'u', 0, 24, 0.001, 0, "8388.6080"},
        {{0xFF}, 'U', 0, 8, 1, 0, "none"},
        {{0xFF}, '\0', 0, 8, 1, 0, "none"},
        {{0xFF}, 'x', 0, 8, 1, 0, "none"},
    };
    for (const decode_case &c : cases)
        EXPECT_EQ(decoded_text(c), c.printed)
            << c.type << " start " << c.start << " length " << c.length;
}

// Reads exactly the bytes a field covers: a field ending at the last byte never looks past it.
TEST(DecodeField, ReadsOnlyTheCoveredBytes)
{
    std::vector<uint8_t> payload = {0x11, 0x22, 0x33};
    field_spec field = make_field('u', 2, 8, 1, 0);
    EXPECT_EQ(decode_field(payload.data(), field), 0x33);
    field = make_field('u', 1, 16, 1, 0);
    EXPECT_EQ(decode_field(payload.data(), field), 0x3322);
}

TEST(FieldFits, Boundaries)
{
    struct {
        int32_t start;
        int32_t length;
        int32_t payload_length;
        bool fits;
    } cases[] = {
        {0, 0, 0, true},
        {0, 1, 0, false},
        {1, 0, 0, false},
        {0, 64, 8, true},
        {0, 65, 9, false},
        {1, 56, 8, true},
        {1, 57, 8, false},
        {7, 8, 8, true},
        {7, 9, 8, false},
        {-1, 8, 8, false},
        {0, -1, 8, false},
        {INT32_MAX, 8, 4096, false},
        {268435455, 8, 4096, false},
        {4095, 8, 4096, true},
        {4096, 0, 4096, true},
        {4096, 1, 4096, false},
    };
    for (const auto &c : cases) {
        field_spec field = make_field('u', c.start, c.length, 1, 0);
        EXPECT_EQ(field_fits(field, c.payload_length), c.fits)
            << "start " << c.start << " length " << c.length << " payload " << c.payload_length;
    }
}

// A value that begins inside a byte takes the bits from its start bit on, running into the
// low bits of the next bytes; the bits around it belong to its neighbours.
TEST(DecodeField, MidByteFields)
{
    struct {
        std::vector<uint8_t> bytes;
        char type;
        int32_t start;
        int32_t start_bit;
        int32_t length;
        const char *printed;
    } cases[] = {
        // Bits 5-7 of byte 0 (0b101) are the low bits, byte 1 the high ones: 0x3C << 3 | 5.
        {{0xA0, 0x3C}, 'u', 0, 5, 11, "485.0000"},
        {{0xFF, 0x3C}, 'u', 0, 5, 11, "487.0000"},
        {{0x1F, 0xFF}, 'u', 0, 5, 11, "2040.0000"},
        // Two-bit indicators packed four to a byte: 0b11100100.
        {{0xE4}, 'u', 0, 0, 2, "0.0000"},
        {{0xE4}, 'u', 0, 2, 2, "1.0000"},
        {{0xE4}, 'u', 0, 4, 2, "2.0000"},
        {{0xE4}, 'u', 0, 6, 2, "3.0000"},
        // The high nibble, with the low one set so that a missing shift shows.
        {{0x00, 0x5F}, 'u', 1, 4, 4, "5.0000"},
        {{0x00, 0xBF}, 's', 1, 4, 4, "-5.0000"},
        {{0x00, 0x7F}, 's', 1, 4, 4, "7.0000"},
        // The sign bit is the top bit of the field, not of its last byte.
        {{0x0F, 0x01}, 's', 0, 4, 5, "-16.0000"},
        {{0xF0, 0xFF}, 's', 0, 4, 12, "-1.0000"},
        // The whole 64 bits from bit 1 on: eight bytes are read, and one more bit is not.
        {{0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
         'u',
         0,
         1,
         63,
         "9223372036854775808.0000"},
        {{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80},
         's',
         0,
         7,
         57,
         "-72057594037927936.0000"},
        {{0xFF}, 'u', 0, 7, 0, "0.0000"},
    };
    for (const auto &c : cases) {
        field_spec field = make_field(c.type, c.start, c.length, 1, 0);
        field.start_bit = c.start_bit;
        std::optional<double> value = decode_field(c.bytes.data(), field);
        ASSERT_TRUE(value);
        char buffer[FIXED4_MAX + 1];
        EXPECT_EQ(std::string(buffer, append_fixed4(buffer, *value)), c.printed)
            << c.type << " start " << c.start << "." << c.start_bit << " length " << c.length;
    }
}

TEST(FieldFits, StartBits)
{
    struct {
        int32_t start;
        int32_t start_bit;
        int32_t length;
        int32_t payload_length;
        bool fits;
    } cases[] = {
        {7, 4, 4, 8, true},   {7, 5, 4, 8, false},
        {0, 5, 11, 2, true},  {0, 6, 11, 2, false},
        {0, 7, 57, 8, true},  {0, 7, 58, 9, false}, // beyond 64 bits from the first byte
        {0, 1, 64, 9, false}, {0, 8, 1, 8, false},
        {0, -1, 1, 8, false}, {0, INT32_MAX, 1, 8, false},
        {8, 0, 0, 8, true},   {7, 7, 1, 8, true},
    };
    for (const auto &c : cases) {
        field_spec field = make_field('u', c.start, c.length, 1, 0);
        field.start_bit = c.start_bit;
        EXPECT_EQ(field_fits(field, c.payload_length), c.fits)
            << "start " << c.start << "." << c.start_bit << " length " << c.length << " payload "
            << c.payload_length;
    }
}
