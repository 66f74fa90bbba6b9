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

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Descriptions and field names are whole NAME_SIZE arrays, so they are read a block at a time:
// a block without a byte to escape and without the terminating NUL is copied as it is. In the
// first block that has one, the bytes before it are copied too, and the rest of the text goes
// byte by byte. Each block is written whole either way: the record has room for every text
// escaped, six bytes for each byte, so a block never reaches past it. Inlined: it runs for
// every text of every record, and for a short name a call costs about as much as the copy.
#if defined(__SSE2__)

// Sixteen bytes at a time; SSE2 is part of every x86-64 processor.
[[gnu::always_inline]] inline char *append_stored_text(char *out, const char (&text)[NAME_SIZE])
{
    static_assert(NAME_SIZE % 16 == 0, "names are read in whole blocks");
    const __m128i controls = _mm_set1_epi8(0x1F);
    const __m128i quotes = _mm_set1_epi8('"');
    const __m128i backslashes = _mm_set1_epi8('\\');

    for (int at = 0; at < NAME_SIZE; at += 16) {
        __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + at));
        // A byte is at most 0x1F (NUL included) when the larger of it and 0x1F is 0x1F.
        __m128i special = _mm_or_si128(
            _mm_cmpeq_epi8(_mm_max_epu8(block, controls), controls),
            _mm_or_si128(_mm_cmpeq_epi8(block, quotes), _mm_cmpeq_epi8(block, backslashes)));
        unsigned flagged = static_cast<unsigned>(_mm_movemask_epi8(special));

        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), block);
        if (flagged == 0) {
            out += 16;
            continue;
        }

        int plain = std::countr_zero(flagged);
        out += plain;
        if (text[at + plain] == '\0')
            return out;
        return append_json_escaped(out, text + at + plain);
    }
    // Every stored text has its NUL within the array; without one, the array's end is the end.
    return out;
}

#else

// Eight bytes at a time in a 64-bit word.
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
        // backslash, and maybe in later ones; never in an earlier one, so on a little-endian
        // machine the lowest flagged byte is the first in memory.
        uint64_t flagged = (((word - ONES * 0x20) & ~word) | ((quotes - ONES) & ~quotes) |
                            ((backslashes - ONES) & ~backslashes)) &
                           HIGH_BITS;

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
    return out;
}

#endif

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
    print_json_record_of(find_entry(pgn), pgn, source, length, payload);
}

void print_json_record_of(const pgn_entry *entry, uint32_t pgn, uint8_t source, int32_t length,
                          const uint8_t *payload)
{
    char record[RECORD_MAX];
    char *out = record;

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
