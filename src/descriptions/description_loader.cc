#include "descriptions/description_loader.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "descriptions/pgn_table.h"

namespace
{

constexpr int LINE_SIZE = 256;
constexpr int KEY_MAX = 63;
constexpr int VALUE_MAX = 127;
constexpr int NAME_MAX_BYTES = NAME_SIZE - 1;
constexpr int UNIT_MAX_BYTES = UNIT_SIZE - 1;
constexpr char UTF8_BOM[] = "\xEF\xBB\xBF";

// Whitespace as the POSIX locale has it; a byte of 0x80 or above never is.
bool is_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// The numbers and texts of a line are read the way the format conversions "%u", "%d", "%lf",
// "%c" and "%N[^x]" read them, so that stored files keep their meaning. Each reader takes a
// cursor, advances it past what it consumed and reports whether the conversion succeeded.

const char *skip_space(const char *p)
{
    while (is_space(*p))
        p++;
    return p;
}

// "%N[^stop]": one to max bytes up to the stop byte or the end of the text.
bool read_text(const char **cursor, char stop, int max, char *out)
{
    const char *p = *cursor;
    int n = 0;

    while (n < max && p[n] != '\0' && p[n] != stop) {
        out[n] = p[n];
        n++;
    }
    if (n == 0)
        return false;

    out[n] = '\0';
    *cursor = p + n;
    return true;
}

// A literal byte of the format, then the whitespace that a blank after it in the format skips.
bool read_separator(const char **cursor, char literal)
{
    if (**cursor != literal)
        return false;
    *cursor = skip_space(*cursor + 1);
    return true;
}

// Optional sign and decimal digits, after leading whitespace; the magnitude saturates at
// UINT64_MAX so that callers can tell a number that does not fit.
bool read_decimal(const char **cursor, bool *negative, uint64_t *magnitude)
{
    const char *p = skip_space(*cursor);

    *negative = false;
    if (*p == '+' || *p == '-') {
        *negative = *p == '-';
        p++;
    }
    if (*p < '0' || *p > '9')
        return false;

    uint64_t value = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        unsigned digit = static_cast<unsigned>(*p - '0');
        if (value > (UINT64_MAX - digit) / 10)
            value = UINT64_MAX;
        else
            value = value * 10 + digit;
    }

    *magnitude = value;
    *cursor = p;
    return true;
}

// "%u" into 32 bits. A magnitude beyond 32 bits is refused rather than reduced; a negative
// number is negated in 32 bits, as the unsigned conversion does ("-1" is 4294967295).
bool read_u32(const char **cursor, uint32_t *out)
{
    bool negative;
    uint64_t magnitude;

    if (!read_decimal(cursor, &negative, &magnitude) || magnitude > UINT32_MAX)
        return false;
    uint32_t value = static_cast<uint32_t>(magnitude);
    *out = negative ? 0u - value : value;
    return true;
}

// "%d", with a number beyond the 32-bit range saturated to INT32_MIN or INT32_MAX.
bool read_i32(const char **cursor, int32_t *out)
{
    bool negative;
    uint64_t magnitude;

    if (!read_decimal(cursor, &negative, &magnitude))
        return false;
    if (negative)
        *out = magnitude > uint64_t{1} << 31 ? INT32_MIN : static_cast<int32_t>(0 - magnitude);
    else
        *out = magnitude > INT32_MAX ? INT32_MAX : static_cast<int32_t>(magnitude);
    return true;
}

// "%lf", which accepts what strtod accepts.
bool read_double(const char **cursor, double *out)
{
    char *end;
    double value = std::strtod(*cursor, &end);

    if (end == *cursor)
        return false;
    *out = value;
    *cursor = end;
    return true;
}

// "[PGN_%u]": the number is all that is looked at; the closing bracket is not required.
bool parse_header(const char *line, uint32_t *pgn)
{
    static constexpr char PREFIX[] = "[PGN_";

    if (std::strncmp(line, PREFIX, sizeof PREFIX - 1) != 0)
        return false;
    const char *p = line + sizeof PREFIX - 1;
    return read_u32(&p, pgn);
}

// "%63[^=] = %127[^\n]": both the key and the value must be read.
bool parse_key_value(const char *line, char (&key)[KEY_MAX + 1], char (&value)[VALUE_MAX + 1])
{
    const char *p = line;

    if (!read_text(&p, '=', KEY_MAX, key))
        return false;
    p = skip_space(p);
    if (!read_separator(&p, '='))
        return false;
    return read_text(&p, '\n', VALUE_MAX, value);
}

// The bit of a start written "byte.bit": digits right after the dot, saturated like a start.
// Without them the dot is not part of the start, and the reading stops there as it always did.
void read_start_bit(const char **cursor, int32_t *bit)
{
    const char *p = *cursor;
    if (p[0] != '.' || p[1] < '0' || p[1] > '9')
        return;
    p++;
    if (read_i32(&p, bit))
        *cursor = p;
}

// "%63[^,], %c, %d, %d, %lf, %lf, %15[^\n]": the members read before the first conversion that
// fails are kept; the others stay zero, and the field counts either way. The start may also be
// written "byte.bit" for a value that begins inside a byte.
void parse_field(const char *value, field_spec *field)
{
    const char *p = value;

    if (!read_text(&p, ',', NAME_MAX_BYTES, field->name) || !read_separator(&p, ','))
        return;
    if (*p == '\0')
        return;
    field->type = *p++;
    if (!read_separator(&p, ',') || !read_i32(&p, &field->start))
        return;
    read_start_bit(&p, &field->start_bit);
    if (!read_separator(&p, ',') || !read_i32(&p, &field->length))
        return;
    if (!read_separator(&p, ',') || !read_double(&p, &field->scale))
        return;
    if (!read_separator(&p, ',') || !read_double(&p, &field->offset))
        return;
    if (!read_separator(&p, ','))
        return;
    read_text(&p, '\n', UNIT_MAX_BYTES, field->unit);
}

void copy_text(char *to, int max, const char *from)
{
    std::size_t n = std::strlen(from);
    if (n > static_cast<std::size_t>(max))
        n = static_cast<std::size_t>(max);
    std::memcpy(to, from, n);
    to[n] = '\0';
}

void handle_key_value(pgn_entry *section, char *line)
{
    char key_text[KEY_MAX + 1];
    char value_text[VALUE_MAX + 1];

    if (!parse_key_value(line, key_text, value_text))
        return;
    char *key = trim_whitespace(key_text);
    char *value = trim_whitespace(value_text);

    if (std::strcmp(key, "name") == 0) {
        copy_text(section->description, NAME_MAX_BYTES, value);
    } else if (std::strcmp(key, "fast_packet") == 0) {
        // Only an exact "yes" marks the section; anything else leaves it as it was.
        if (std::strcmp(value, "yes") == 0)
            section->fast_packet = true;
    } else if (std::strncmp(key, "field_", 6) == 0) {
        if (section->field_count >= MAX_FIELDS)
            return;
        parse_field(value, &section->fields[section->field_count]);
        section->field_count++;
    }
}

// Reads one line of at most LINE_SIZE - 1 bytes. The rest of a longer physical line is
// discarded, so the tail of a long comment can never be taken for a line of its own. A full
// buffer is told by where the terminator landed, not by strlen, since a line may hold a NUL.
bool read_line(FILE *file, char (&line)[LINE_SIZE])
{
    line[LINE_SIZE - 1] = 'x';
    if (std::fgets(line, LINE_SIZE, file) == nullptr)
        return false;

    bool full = line[LINE_SIZE - 1] == '\0' && line[LINE_SIZE - 2] != '\n';
    if (full) {
        int c;
        do
            c = std::getc(file);
        while (c != EOF && c != '\n');
    }
    return true;
}

} // namespace

char *trim_whitespace(char *text)
{
    while (is_space(*text))
        text++;
    if (*text == '\0')
        return text;

    char *end = text + std::strlen(text) - 1;
    while (end > text && is_space(*end))
        end--;
    end[1] = '\0';
    return text;
}

load_status load_descriptions_from(FILE *file)
{
    char buffer[LINE_SIZE];
    pgn_entry *section = nullptr;
    bool first_line = true;

    while (read_line(file, buffer)) {
        // Editors on Windows begin a UTF-8 file with a byte-order mark, which would hide the
        // first header; it is skipped at the very start of the file only.
        char *line = buffer;
        if (first_line && std::strncmp(line, UTF8_BOM, sizeof UTF8_BOM - 1) == 0)
            line += sizeof UTF8_BOM - 1;
        first_line = false;
        line = trim_whitespace(line);

        if (*line == '\0' || *line == '#')
            continue;

        if (*line == '[') {
            uint32_t pgn;
            if (!parse_header(line, &pgn))
                continue;
            pgn_entry *entry = append_entry(pgn);
            if (entry == nullptr) {
                std::fputs("Exceeded max PGNs in config\n", stderr);
                return load_status::ok;
            }
            section = entry;
            continue;
        }

        if (section != nullptr)
            handle_key_value(section, line);
    }

    if (std::ferror(file))
        return load_status::read_error;
    return load_status::ok;
}

bool load_descriptions(const char *path)
{
    FILE *file = std::fopen(path, "r");
    if (file == nullptr) {
        std::perror("Could not open config file");
        std::fputs("Could not load config file for JSON mode.\n", stderr);
        return false;
    }

    load_status status = load_descriptions_from(file);
    int read_errno = errno;
    std::fclose(file);

    if (status == load_status::read_error) {
        errno = read_errno;
        std::perror("Could not open config file");
        std::fputs("Could not load config file for JSON mode.\n", stderr);
        return false;
    }
    return true;
}
