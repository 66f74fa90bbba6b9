#include "output/text_format.h"

#include <array>
#include <bit>
#include <charconv>
#include <cstring>

namespace
{

constexpr char HEX_LOWER[] = "0123456789abcdef";

// Inside a JSON string every byte but '"', '\\' and the control bytes (NUL among them, which
// ends the text) stands for itself; one look-up per byte tells.
constexpr std::array<bool, 256> make_unchanged_table()
{
    std::array<bool, 256> table{};
    for (int c = 0x20; c < 256; c++)
        table[c] = c != '"' && c != '\\';
    return table;
}
constexpr auto PASSES_UNCHANGED = make_unchanged_table();

// "00" to "99", for two digits at a time.
constexpr std::array<char, 200> make_digit_pairs()
{
    std::array<char, 200> pairs{};
    for (int i = 0; i < 100; i++) {
        pairs[2 * i] = static_cast<char>('0' + i / 10);
        pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return pairs;
}
constexpr auto DIGIT_PAIRS = make_digit_pairs();

constexpr uint64_t FRACTION_MASK = (uint64_t{1} << 52) - 1;
constexpr uint64_t IMPLICIT_BIT = uint64_t{1} << 52;

constexpr uint64_t POWERS_OF_TEN[20] = {1,
                                        10,
                                        100,
                                        1000,
                                        10000,
                                        100000,
                                        1000000,
                                        10000000,
                                        100000000,
                                        1000000000,
                                        10000000000,
                                        100000000000,
                                        1000000000000,
                                        10000000000000,
                                        100000000000000,
                                        1000000000000000,
                                        10000000000000000,
                                        100000000000000000,
                                        1000000000000000000,
                                        10000000000000000000u};

// The number of decimal digits, 1 for zero: 1233 / 4096 is just below log10(2), so the bit
// width gives the count or one less, and one comparison settles which.
int decimal_digits(uint64_t value)
{
    uint64_t nonzero = value | 1;
    int guess = std::bit_width(nonzero) * 1233 >> 12;
    return guess + (nonzero >= POWERS_OF_TEN[guess] ? 1 : 0);
}

// Decimal digits, two at a time from the right. Most numbers printed are one or two digits
// long, and take a shorter way.
char *append_decimal(char *out, uint64_t value)
{
    if (value < 10) {
        *out = static_cast<char>('0' + value);
        return out + 1;
    }
    if (value < 100) {
        std::memcpy(out, &DIGIT_PAIRS[2 * value], 2);
        return out + 2;
    }

    char *end = out + decimal_digits(value);
    char *p = end;

    while (value >= 100) {
        p -= 2;
        std::memcpy(p, &DIGIT_PAIRS[2 * (value % 100)], 2);
        value /= 100;
    }
    if (value >= 10) {
        p -= 2;
        std::memcpy(p, &DIGIT_PAIRS[2 * value], 2);
    } else {
        p[-1] = static_cast<char>('0' + value);
    }
    return end;
}

char *append_padding(char *start, char *end, int width)
{
    while (end - start < width)
        *end++ = ' ';
    return end;
}

} // namespace

char *append_text(char *out, std::string_view text)
{
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

char *append_unsigned(char *out, uint32_t value)
{
    return append_decimal(out, value);
}

char *append_signed(char *out, int32_t value)
{
    // The magnitude in 64 bits, where that of INT32_MIN fits too.
    int64_t wide = value;
    if (wide < 0) {
        *out++ = '-';
        wide = -wide;
    }
    return append_decimal(out, static_cast<uint64_t>(wide));
}

char *append_unsigned_padded(char *out, uint32_t value, int width)
{
    return append_padding(out, append_unsigned(out, value), width);
}

char *append_signed_padded(char *out, int32_t value, int width)
{
    return append_padding(out, append_signed(out, value), width);
}

// "%.4f" rounds the exact binary value to four decimals, ties to even. Below 2^48 that is done
// here in integers: the value is m * 2^-shift with a 53-bit m and a shift of 5 or more, so it
// holds m * 10000 / 2^shift = m * 625 / 2^(shift - 4) ten-thousandths, and m * 625 is below
// 2^63, exact in 64 bits. Zero and subnormals print as zero with their sign; every other value
// goes to the general conversion, which is several times slower.
char *append_fixed4(char *out, double value)
{
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    int biased_exponent = static_cast<int>(bits >> 52 & 0x7FF);
    int shift = 1075 - biased_exponent;
    if (shift < 5)
        return std::to_chars(out, out + FIXED4_MAX, value, std::chars_format::fixed, 4).ptr;

    // Past a shift of 67 the value is below 2^-15, less than half of 0.0001.
    uint64_t ten_thousandths = 0;
    if (biased_exponent != 0 && shift < 68) {
        int scale_shift = shift - 4;
        uint64_t scaled = ((bits & FRACTION_MASK) | IMPLICIT_BIT) * 625;
        uint64_t half = uint64_t{1} << (scale_shift - 1);
        uint64_t rest = scaled & ((half << 1) - 1);
        ten_thousandths = scaled >> scale_shift;
        if (rest > half || (rest == half && (ten_thousandths & 1) != 0))
            ten_thousandths++;
    }

    if (bits >> 63 != 0)
        *out++ = '-';
    out = append_decimal(out, ten_thousandths / 10000);
    *out++ = '.';
    unsigned decimals = static_cast<unsigned>(ten_thousandths % 10000);
    std::memcpy(out, &DIGIT_PAIRS[2 * (decimals / 100)], 2);
    std::memcpy(out + 2, &DIGIT_PAIRS[2 * (decimals % 100)], 2);
    return out + 4;
}

char *append_json_escaped(char *out, const char *text)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);

    for (;; p++) {
        while (PASSES_UNCHANGED[*p])
            *out++ = static_cast<char>(*p++);
        unsigned char c = *p;
        if (c == '\0')
            return out;

        *out++ = '\\';
        switch (c) {
        case '"':
        case '\\':
            *out++ = static_cast<char>(c);
            break;
        case '\b':
            *out++ = 'b';
            break;
        case '\f':
            *out++ = 'f';
            break;
        case '\n':
            *out++ = 'n';
            break;
        case '\r':
            *out++ = 'r';
            break;
        case '\t':
            *out++ = 't';
            break;
        default:
            out = append_text(out, "u00");
            *out++ = HEX_LOWER[c >> 4];
            *out++ = HEX_LOWER[c & 0xF];
            break;
        }
    }
}
