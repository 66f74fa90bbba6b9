// Splits arbitrary bytes into a small description file and one message, prints the message as
// the JSON writer does, and checks the object against one written here with printf's own
// formats, and against a JSON parser.
#include <cinttypes>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "descriptions/description_loader.h"
#include "descriptions/pgn_table.h"
#include "output/json_record.h"

namespace
{

constexpr std::size_t PAYLOAD_MAX = 4096;

[[noreturn]] void fail(const char *what, const std::string &detail)
{
    std::fprintf(stderr, "%s\n%s\n", what, detail.c_str());
    std::abort();
}

// Standard output goes to a memory file, emptied before every message.
int capture_fd = -1;

void start_capture()
{
    if (capture_fd >= 0)
        return;
    capture_fd = memfd_create("json_record_output", 0);
    if (capture_fd < 0 || dup2(capture_fd, 1) < 0) {
        std::perror("capturing standard output");
        std::abort();
    }
}

void reset_capture()
{
    if (std::fflush(stdout) != 0 || ftruncate(1, 0) < 0 || lseek(1, 0, SEEK_SET) < 0) {
        std::perror("resetting the capture");
        std::abort();
    }
}

std::string captured()
{
    if (std::fflush(stdout) != 0) {
        std::perror("fflush");
        std::abort();
    }
    off_t size = lseek(1, 0, SEEK_CUR);
    if (size < 0) {
        std::perror("lseek");
        std::abort();
    }
    std::string text(static_cast<std::size_t>(size), '\0');
    if (pread(1, text.data(), text.size(), 0) != size) {
        std::perror("pread");
        std::abort();
    }
    return text;
}

void load_text(const uint8_t *text, std::size_t size)
{
    clear_table();
    if (size == 0)
        return;
    FILE *file = fmemopen(const_cast<uint8_t *>(text), size, "r");
    if (file == nullptr) {
        std::perror("fmemopen");
        std::abort();
    }
    if (load_descriptions_from(file) != load_status::ok)
        fail("a readable stream reported a read error", "");
    std::fclose(file);
}

// RFC 3629: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(const char *text)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    while (*p != 0) {
        unsigned c = *p;
        int extra;
        unsigned low = 0x80, high = 0xBF;
        if (c < 0x80)
            extra = 0;
        else if (c >= 0xC2 && c <= 0xDF)
            extra = 1;
        else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            if (c == 0xE0)
                low = 0xA0;
            if (c == 0xED)
                high = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            if (c == 0xF0)
                low = 0x90;
            if (c == 0xF4)
                high = 0x8F;
        } else
            return false;
        p++;
        for (int i = 0; i < extra; i++, p++) {
            if (*p < low || *p > high)
                return false;
            low = 0x80;
            high = 0xBF;
        }
    }
    return true;
}

std::string escaped(const char *text)
{
    std::string out;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++) {
        char piece[8];
        switch (*p) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (*p < 0x20) {
                std::snprintf(piece, sizeof piece, "\\u%04x", *p);
                out += piece;
            } else {
                out += static_cast<char>(*p);
            }
        }
    }
    return out;
}

bool fits(const field_spec &field, int32_t length)
{
    if (field.start < 0 || field.length < 0 || field.length > 64)
        return false;
    if (field.start_bit < 0 || field.start_bit > 7 || field.start_bit + field.length > 64)
        return false;
    return int64_t{field.start} * 8 + field.start_bit + field.length <= int64_t{length} * 8;
}

// Bit by bit, where the writer copies whole bytes and masks.
std::string value_text(const uint8_t *payload, const field_spec &field)
{
    if (field.type != 's' && field.type != 'u')
        return "null";

    uint64_t raw = 0;
    for (int bit = 0; bit < field.length; bit++) {
        int64_t at = int64_t{field.start} * 8 + field.start_bit + bit;
        if (payload[at / 8] >> (at % 8) & 1)
            raw |= uint64_t{1} << bit;
    }

    double value;
    if (field.type == 'u') {
        value = static_cast<double>(raw);
    } else {
        int64_t wide = static_cast<int64_t>(raw);
        if (field.length > 0 && field.length < 64 && (raw >> (field.length - 1) & 1))
            wide = static_cast<int64_t>(raw - (uint64_t{1} << field.length));
        value = static_cast<double>(wide);
    }
    double product = value * field.scale;
    double result = product + field.offset;
    if (!std::isfinite(result))
        return "null";

    char text[400];
    std::snprintf(text, sizeof text, "%.4f", result);
    return text;
}

std::string expected_record(uint32_t pgn, uint8_t source, int32_t length, const uint8_t *payload,
                            bool *names_valid)
{
    char line[128];
    const pgn_entry *entry = nullptr;
    for (int i = 0; i < pgn_table.count && entry == nullptr; i++) {
        if (pgn_table.entries[i].pgn == pgn)
            entry = &pgn_table.entries[i];
    }

    *names_valid = true;
    std::snprintf(line, sizeof line, "{\n  \"pgn\": %" PRIu32 ",\n", pgn);
    std::string out = line;
    if (entry != nullptr) {
        out += "  \"description\": \"" + escaped(entry->description) + "\",\n";
        *names_valid = valid_utf8(entry->description);
    }
    std::snprintf(line, sizeof line, "  \"sourceAddress\": %u,\n  \"payloadLength\": %d,\n", source,
                  length);
    out += line;
    out += "  \"fields\": {\n";

    if (entry != nullptr) {
        const char *separator = "";
        for (int i = 0; i < entry->field_count; i++) {
            const field_spec &field = entry->fields[i];
            if (!fits(field, length))
                continue;
            out += separator;
            separator = ",\n";
            out += "    \"" + escaped(field.name) + "\": " + value_text(payload, field);
            if (!valid_utf8(field.name))
                *names_valid = false;
        }
    }
    out += "\n  }\n}\n";
    return out;
}

void check_parsed(const std::string &text, uint32_t pgn, uint8_t source, int32_t length)
{
    nlohmann::json object;
    try {
        object = nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception &error) {
        fail(error.what(), text);
    }
    if (!object.is_object() || object["pgn"] != pgn || object["sourceAddress"] != source ||
        object["payloadLength"] != length || !object["fields"].is_object())
        fail("the parsed object does not carry the message", text);
}

} // namespace

// Input: a 2-byte description length, the description text, a selector byte (odd: take the
// PGN of a table entry, so that described messages are common), the source address, a 4-byte
// PGN, then the payload.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    if (size < 2)
        return 0;
    std::size_t text_size = (std::size_t{data[0]} | std::size_t{data[1]} << 8);
    data += 2;
    size -= 2;
    if (text_size > size)
        text_size = size;
    load_text(data, text_size);
    data += text_size;
    size -= text_size;

    uint8_t selector = size > 0 ? data[0] : 0;
    uint8_t source = size > 1 ? data[1] : 0;
    uint32_t pgn = 0;
    for (std::size_t i = 0; i < 4 && i + 2 < size; i++)
        pgn |= uint32_t{data[i + 2]} << (8 * i);
    if ((selector & 1) && pgn_table.count > 0)
        pgn = pgn_table.entries[(selector >> 1) % pgn_table.count].pgn;
    std::size_t skip = size < 6 ? size : 6;
    data += skip;
    size -= skip;
    if (size > PAYLOAD_MAX)
        size = PAYLOAD_MAX;

    // The payload in a buffer of its own size, so that a read past it is caught.
    uint8_t *payload = static_cast<uint8_t *>(std::malloc(size > 0 ? size : 1));
    if (payload == nullptr)
        std::abort();
    if (size > 0)
        std::memcpy(payload, data, size);
    int32_t length = static_cast<int32_t>(size);

    start_capture();
    reset_capture();
    print_json_record(pgn, source, length, payload);
    std::string text = captured();

    bool names_valid;
    std::string expected = expected_record(pgn, source, length, payload, &names_valid);
    std::free(payload);
    if (text != expected)
        fail("the object differs from the one printf would write",
             text + "\nexpected:\n" + expected);
    if (names_valid)
        check_parsed(text, pgn, source, length);
    return 0;
}
