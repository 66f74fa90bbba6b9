#include "output/json_record.h"

#include <cmath>
#include <cstdio>

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

// JSON has no numbers for infinities and NaN, and a field the decoder cannot read has no value.
char *append_value(char *out, const uint8_t *payload, const field_spec &field)
{
    std::optional<double> value = decode_field(payload, field);
    if (!value || !std::isfinite(*value))
        return append_text(out, "null");
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
            out = append_text(out, ",\n");
        first = false;

        out = append_text(out, "    \"");
        out = append_json_escaped(out, field.name);
        out = append_text(out, "\": ");
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

    out = append_text(out, "{\n  \"pgn\": ");
    out = append_unsigned(out, pgn);
    out = append_text(out, ",\n");
    if (entry != nullptr) {
        out = append_text(out, "  \"description\": \"");
        out = append_json_escaped(out, entry->description);
        out = append_text(out, "\",\n");
    }
    out = append_text(out, "  \"sourceAddress\": ");
    out = append_unsigned(out, source);
    out = append_text(out, ",\n  \"payloadLength\": ");
    out = append_signed(out, length);
    out = append_text(out, ",\n  \"fields\": {\n");
    if (entry != nullptr)
        out = append_fields(out, *entry, length, payload);
    out = append_text(out, "\n  }\n}\n");

    emit_output(record, static_cast<std::size_t>(out - record));
}
