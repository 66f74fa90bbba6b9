#include "baselines.h"

#include <cctype>
#include <cstring>

void printf_raw_line(uint32_t pgn, uint8_t source, int32_t length, const uint8_t *payload)
{
    std::printf("PGN: %-6u  SRC: %-3u  LEN: %-3d  DATA: ", pgn, source, length);
    for (int32_t i = 0; i < length; i++)
        std::printf("%02X ", payload[i]);
    std::printf("\n");
}

const pgn_entry *scan_find_entry(uint32_t pgn)
{
    for (int i = 0; i < pgn_table.count; i++) {
        if (pgn_table.entries[i].pgn == pgn)
            return &pgn_table.entries[i];
    }
    return nullptr;
}

bool literal_decode_field(const uint8_t *payload, const field_spec &field, double *value)
{
    if (field.type != 's' && field.type != 'u')
        return false;

    uint64_t raw = 0;
    for (int i = 0; i < (field.length + 7) / 8; i++)
        raw |= static_cast<uint64_t>(payload[field.start + i]) << (8 * i);

    double number;
    if (field.type == 's') {
        if (field.length >= 1 && field.length <= 63 && (raw >> (field.length - 1) & 1) != 0) {
            for (int bit = field.length; bit < 64; bit++)
                raw |= uint64_t{1} << bit;
        }
        number = static_cast<double>(static_cast<int64_t>(raw));
    } else {
        number = static_cast<double>(raw);
    }

    double scaled = number * field.scale;
    *value = scaled + field.offset;
    return true;
}

void printf_json_record(uint32_t pgn, uint8_t source, int32_t length, const uint8_t *payload)
{
    const pgn_entry *entry = scan_find_entry(pgn);

    std::printf("{\n");
    std::printf("  \"pgn\": %u,\n", pgn);
    if (entry != nullptr)
        std::printf("  \"description\": \"%s\",\n", entry->description);
    std::printf("  \"sourceAddress\": %u,\n", source);
    std::printf("  \"payloadLength\": %d,\n", length);
    std::printf("  \"fields\": {\n");

    if (entry != nullptr) {
        int printed = 0;
        for (int i = 0; i < entry->field_count; i++) {
            const field_spec &field = entry->fields[i];
            if (field.length + int64_t{field.start} * 8 > int64_t{length} * 8)
                continue;

            if (printed > 0)
                std::printf(",\n");
            printed++;
            std::printf("    \"%s\": ", field.name);
            double value;
            if (literal_decode_field(payload, field, &value))
                std::printf("%.4f", value);
        }
    }

    std::printf("\n  }\n");
    std::printf("}\n");
}

namespace
{

char *trim(char *text)
{
    while (std::isspace(static_cast<unsigned char>(*text)))
        text++;
    if (*text == '\0')
        return text;

    char *end = text + std::strlen(text) - 1;
    while (end > text && std::isspace(static_cast<unsigned char>(*end)))
        end--;
    end[1] = '\0';
    return text;
}

void take_key_value(pgn_entry *section, const char *line)
{
    char key_text[64];
    char value_text[128];

    if (std::sscanf(line, "%63[^=] = %127[^\n]", key_text, value_text) != 2)
        return;
    char *key = trim(key_text);
    char *value = trim(value_text);

    if (std::strcmp(key, "name") == 0) {
        std::size_t n = std::strlen(value);
        if (n > NAME_SIZE - 1)
            n = NAME_SIZE - 1;
        std::memcpy(section->description, value, n);
        section->description[n] = '\0';
        return;
    }
    if (std::strncmp(key, "field_", 6) != 0 || section->field_count >= MAX_FIELDS)
        return;

    field_spec *field = &section->fields[section->field_count];
    (void)std::sscanf(value, "%63[^,], %c, %d, %d, %lf, %lf, %15[^\n]", field->name, &field->type,
                      &field->start, &field->length, &field->scale, &field->offset, field->unit);
    section->field_count++;
}

} // namespace

void sscanf_load_descriptions(FILE *file)
{
    char buffer[256];
    pgn_entry *section = nullptr;

    while (std::fgets(buffer, sizeof buffer, file) != nullptr) {
        char *line = trim(buffer);
        if (*line == '\0' || *line == '#')
            continue;

        if (*line == '[') {
            unsigned pgn;
            if (std::sscanf(line, "[PGN_%u]", &pgn) != 1)
                continue;
            section = append_entry(pgn);
            if (section == nullptr) {
                std::fputs("Exceeded max PGNs in config\n", stderr);
                return;
            }
            continue;
        }

        if (section != nullptr)
            take_key_value(section, line);
    }
}
