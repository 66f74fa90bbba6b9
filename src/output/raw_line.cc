#include "output/raw_line.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "output/output_stream.h"
#include "output/text_format.h"

namespace
{

constexpr int PAYLOAD_MAX = 4096;
constexpr std::size_t HEAD_MAX = sizeof "PGN: 4294967295  SRC: 255  LEN: -2147483648  DATA: ";
constexpr std::size_t LINE_MAX_BYTES = HEAD_MAX + 3 * std::size_t{PAYLOAD_MAX} + 1;

// "%02X " for every byte value, padded to four bytes so that each is copied in one move.
constexpr std::array<std::array<char, 4>, 256> make_hex_table()
{
    constexpr char digits[] = "0123456789ABCDEF";
    std::array<std::array<char, 4>, 256> table{};
    for (int b = 0; b < 256; b++)
        table[b] = {digits[b >> 4], digits[b & 0xF], ' ', '\0'};
    return table;
}
constexpr auto HEX_BYTES = make_hex_table();

// A literal whose length is known here copies in a few moves, without a call.
template <std::size_t N> char *append_literal(char *out, const char (&text)[N])
{
    std::memcpy(out, text, N - 1);
    return out + (N - 1);
}

// As "%-Nu" and "%-Nd" print, for widths up to 8: eight spaces go down first and the digits
// over them, so that padding takes no loop. The line has room for the spaces past the number.
char *padded_end(char *start, char *end_of_number, int width)
{
    return end_of_number - start < width ? start + width : end_of_number;
}

char *append_left_aligned(char *out, uint32_t value, int width)
{
    std::memcpy(out, "        ", 8);
    return padded_end(out, append_unsigned(out, value), width);
}

char *append_left_aligned(char *out, int32_t value, int width)
{
    std::memcpy(out, "        ", 8);
    return padded_end(out, append_signed(out, value), width);
}

} // namespace

void print_raw_line(uint32_t pgn, uint8_t source, int32_t length, const uint8_t *payload)
{
    char line[LINE_MAX_BYTES];
    char *out = line;

    out = append_literal(out, "PGN: ");
    out = append_left_aligned(out, pgn, 6);
    out = append_literal(out, "  SRC: ");
    out = append_left_aligned(out, uint32_t{source}, 3);
    out = append_literal(out, "  LEN: ");
    out = append_left_aligned(out, length, 3);
    out = append_literal(out, "  DATA: ");

    int count = length < 0 ? 0 : length > PAYLOAD_MAX ? PAYLOAD_MAX : length;
    // The fourth byte of each group lands where the next group or the newline goes; the head's
    // bound, counted with its NUL, leaves room for the last one.
    for (int i = 0; i < count; i++) {
        std::memcpy(out, HEX_BYTES[payload[i]].data(), 4);
        out += 3;
    }
    *out++ = '\n';

    emit_output(line, static_cast<std::size_t>(out - line));
}
