#include "output/json_record.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "descriptions/pgn_table.h"
#include "output/field_decoder.h"
#include "output/output_stream.h"
#include "output/text_format.h"

namespace
{

constexpr std::size_t TEXT_MAX = (NAME_SIZE - 1) * ESCAPE_GROWTH;
constexpr std::size_t HEAD_MAX = sizeof "{\n  \"pgn\": 4294967295,\n  \"description\": \"\",\n"
                                        "  \"sourceAddress\": 255,\n"
                                        "  \"payloadLength\": -2147483648,\n  \"fields\": {\n" +
                                 TEXT_MAX;
constexpr std::size_t FIELD_MAX = sizeof ",\n    \"\": " + TEXT_MAX + FIXED4_MAX;
constexpr std::size_t TAIL_MAX = sizeof "\n  }\n}\n";
constexpr std::size_t RECORD_MAX = HEAD_MAX + MAX_FIELDS * FIELD_MAX + TAIL_MAX;

// A literal whose length is known here copies in a few moves, without a call.
template <std::size_t N> char *append_literal(char *out, const char (&text)[N])
{
    std::memcpy(out, text, N - 1);
    return out + (N - 1);
}

// Descriptions and field names are whole NAME_SIZE arrays, so they are read eight bytes at a
// time: a word without a byte to escape and without the terminating NUL is copied as it is.
// In the first word that has one, the bytes before it are copied too (on a little-endian
// machine the lowest flagged byte is the first in memory), and the rest of the text goes
// byte by byte. Inlined: it runs for every text of every record, and for a short name a call
// costs about as much as the copy.
[[gnu::always_inline]] inline char *append_stored_text(char *out, const char (&text)[NAME_SIZE])
{
    constexpr uint64_t ONES = 0x0101010101010101;
    constexpr uint64_t HIGH_BITS = 0x8080808080808080;
    static_assert(NAME_SIZE % 8 == 0, "names are read in whole words");

    for (int at = 0; at < NAME_SIZE; at += 8) {
        uint64_t word;
        std::memcpy(&word, text + at, sizeof word);
        uint64_t quotes = word ^ (ONES * '"');
        uint64_t backslashes = word ^ (ONES * '\\');
        // A high bit is set in the byte of the first byte below 0x20 (NUL included), quote or
        // backslash, and maybe in later ones; never in an earlier one.
        uint64_t flagged = (((word - ONES * 0x20) & ~word) | ((quotes - ONES) & ~quotes) |
                            ((backslashes - ONES) & ~backslashes)) &
                           HIGH_BITS;

        // The whole word is written either way: the record has room for every text escaped,
        // six bytes for each byte, so eight bytes never reach past it.
        std::memcpy(out, &word, sizeof word);
        if (flagged == 0) {
            out += sizeof word;
            continue;
        }

        int plain = 0;
        if constexpr (std::endian::native == std::endian::little)
            plain = std::countr_zero(flagged) / 8;
        out += plain;
        if (text[at + plain] == '\0')
            return out;
        return append_json_escaped(out, text + at + plain);
    }
    // Every stored text has its NUL within the array; without one, the array's end is the end.
    return out;
}

// JSON has no numbers for infinities and NaN, and a field the decoder cannot read has no value.
char *append_value(char *out, const uint8_t *payload, const field_spec &field)
{
    std::optional<double> value = decode_field(payload, field);
    if (!value || !std::isfinite(*value))
        return append_literal(out, "null");
    return append_fixed4(out, *value);
}

char *append_fields(char *out, const pgn_entry &entry, int32_t length, const uint8_t *payload)
{
    bool first = true;

    for (int i = 0; i < entry.field_count && i < MAX_FIELDS; i++) {
        const field_spec &field = entry.fields[i];
        if (!field_fits(field, length))
            continue;

        if (!first)
            out = append_literal(out, ",\n");
        first = false;

        out = append_literal(out, "    \"");
        out = append_stored_text(out, field.name);
        out = append_literal(out, "\": ");
        out = append_value(out, payload, field);
    }
    return out;
}

} // namespace

void print_json_record(uint32_t pgn, uint8_t source, int32_t length, const uint8_t *payload)
{
    char record[RECORD_MAX];
    char *out = record;
    const pgn_entry *entry = find_entry(pgn);

    out = append_literal(out, "{\n  \"pgn\": ");
    out = append_unsigned(out, pgn);
    out = append_literal(out, ",\n");
    if (entry != nullptr) {
        out = append_literal(out, "  \"description\": \"");
        out = append_stored_text(out, entry->description);
        out = append_literal(out, "\",\n");
    }
    out = append_literal(out, "  \"sourceAddress\": ");
    out = append_unsigned(out, source);
    out = append_literal(out, ",\n  \"payloadLength\": ");
    out = append_signed(out, length);
    out = append_literal(out, ",\n  \"fields\": {\n");
    if (entry != nullptr)
        out = append_fields(out, *entry, length, payload);
    out = append_literal(out, "\n  }\n}\n");

    emit_output(record, static_cast<std::size_t>(out - record));
}
