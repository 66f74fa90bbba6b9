#include "bench_checks.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include "baselines.h"
#include "bench_inputs.h"
#include "capture_stdout.h"
#include "descriptions/description_loader.h"
#include "descriptions/pgn_table.h"
#include "output/field_decoder.h"
#include "output/json_record.h"
#include "output/raw_line.h"
#include "output/text_format.h"

FILE *text_stream(const std::string &text)
{
    // Read only: the buffer is never written through the stream.
    FILE *file = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    if (file == nullptr)
        throw std::runtime_error("cannot open a stream over the description text");
    return file;
}

void load_text(const std::string &text)
{
    clear_table();
    FILE *file = text_stream(text);
    if (load_descriptions_from(file) != load_status::ok)
        throw std::runtime_error("the description text did not load");
    std::fclose(file);
}

namespace
{

bool same_output(const char *what, const std::string &listener, const std::string &baseline)
{
    if (listener == baseline)
        return true;

    std::size_t at = 0;
    while (at < listener.size() && at < baseline.size() && listener[at] == baseline[at])
        at++;
    std::size_t from = at < 80 ? 0 : at - 80;
    std::fprintf(stderr,
                 "%s: the listener's output differs from the baseline's at byte %zu\n"
                 "listener: ...%s\nbaseline: ...%s\n",
                 what, at, listener.substr(from, 160).c_str(), baseline.substr(from, 160).c_str());
    return false;
}

struct message {
    uint32_t pgn;
    uint8_t source;
    int32_t length;
    const uint8_t *payload;
};

// The listener's writer and the baseline over the same messages.
bool same_writes(const char *what, const std::vector<message> &messages,
                 void (*listener)(uint32_t, uint8_t, int32_t, const uint8_t *),
                 void (*baseline)(uint32_t, uint8_t, int32_t, const uint8_t *))
{
    std::string ours = capture_stdout([&] {
        for (const message &m : messages)
            listener(m.pgn, m.source, m.length, m.payload);
    });
    std::string theirs = capture_stdout([&] {
        for (const message &m : messages)
            baseline(m.pgn, m.source, m.length, m.payload);
    });
    return same_output(what, ours, theirs);
}

const uint8_t SOURCES[] = {0, 7, 9, 10, 99, 100, 254, 255};

} // namespace

bool check_fixed4()
{
    std::vector<double> values = {0.0,
                                  -0.0,
                                  0.00005,
                                  -0.00005,
                                  0.03125,
                                  -0.03125,
                                  1.00005,
                                  2.5,
                                  0.12345,
                                  1.8446744073709552e19,
                                  9.2233720368547758e18,
                                  1.8446744073709550e19};

    // Every tie of the fifth decimal that a double can hold: k / 2^n with k odd.
    for (int n = 1; n <= 16; n++) {
        for (int k = 1; k < 4000; k += 2)
            values.push_back(std::ldexp(k, -n));
    }
    // Raw values as the decoder scales them, and random magnitudes and bit patterns.
    static const double SCALES[] = {1, 0.1, 0.01, 0.001, 0.0001, 1e-05, 1e-07, 1e-16, 0.004, 100};
    uint64_t state = 88172645463325252u;
    for (int i = 0; i < 400000; i++) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        double raw = static_cast<double>(static_cast<int64_t>(state) >> (i % 64));
        values.push_back(raw * SCALES[i % 10] + (i % 3 == 0 ? -273.15 : 0.0));
        double bits_value;
        std::memcpy(&bits_value, &state, sizeof bits_value);
        if (std::isfinite(bits_value))
            values.push_back(bits_value);
    }

    for (double value : values) {
        char ours[FIXED4_MAX + 1];
        *append_fixed4(ours, value) = '\0';
        char theirs[FIXED4_MAX + 1];
        std::snprintf(theirs, sizeof theirs, "%.4f", value);
        if (std::strcmp(ours, theirs) == 0)
            continue;
        std::fprintf(stderr, "append_fixed4(%a): %s, printf: %s\n", value, ours, theirs);
        return false;
    }
    return true;
}

bool check_raw_lines()
{
    static const uint32_t PGNS[] = {0, 9, 99999, 100000, 999999, 1000000, 130311, 4294967295u};
    static const int32_t LENGTHS[] = {0, 1, 7, 8, 9, 99, 100, 223, 999, 1000, 4095, 4096};
    std::vector<std::vector<uint8_t>> payloads = check_payloads();
    std::vector<message> messages;

    // Every width of the head's numbers, with one payload.
    for (uint32_t pgn : PGNS) {
        for (uint8_t source : SOURCES) {
            for (int32_t length : LENGTHS)
                messages.push_back({pgn, source, length, payloads.back().data()});
        }
    }

    // Every payload at every length.
    std::size_t n = 0;
    for (const std::vector<uint8_t> &payload : payloads) {
        for (int32_t length : LENGTHS) {
            messages.push_back({PGNS[n % 8], SOURCES[n % 8], length, payload.data()});
            n++;
        }
    }

    return same_writes("print_raw_line", messages, print_raw_line, printf_raw_line);
}

bool check_json_records()
{
    static const uint32_t PGNS[] = {TYPICAL_PGN,        FULL_PGN,    EXTREME_PGN,
                                    UNNAMED_PGN_NUMBER, MISSING_PGN, 127250};
    static const int32_t LENGTHS[] = {0, 1, 2, 7, 8, 9, 47, 48, 4095, 4096};
    std::vector<std::vector<uint8_t>> payloads = check_payloads();
    std::vector<message> messages;

    load_text(json_description_text());
    std::size_t n = 0;
    for (uint32_t pgn : PGNS) {
        for (int32_t length : LENGTHS) {
            for (const std::vector<uint8_t> &payload : payloads) {
                messages.push_back({pgn, SOURCES[n % 8], length, payload.data()});
                n++;
            }
        }
    }

    return same_writes("print_json_record", messages, print_json_record, printf_json_record);
}

bool check_stored_texts()
{
    // Every byte value at every place of a description and a field name, with leftovers of a
    // longer text after the NUL, against the byte-by-byte escape of the same text.
    clear_table();
    pgn_entry *entry = append_entry(1);
    entry->field_count = 1;
    entry->fields[0].type = 'u';
    entry->fields[0].length = 8;
    entry->fields[0].scale = 1;

    for (int place = 0; place < NAME_SIZE - 1; place++) {
        for (int value = 1; value < 256; value++) {
            char text[NAME_SIZE];
            std::memset(text, 'x', sizeof text);
            text[place] = static_cast<char>(value);
            int end = place + 1 + value % (NAME_SIZE - 1 - place);
            text[end] = '\0';
            std::memcpy(entry->description, text, sizeof text);
            std::memcpy(entry->fields[0].name, text, sizeof text);

            char escaped[NAME_SIZE * ESCAPE_GROWTH + 1];
            *append_json_escaped(escaped, text) = '\0';
            std::string want = std::string("{\n  \"pgn\": 1,\n  \"description\": \"") + escaped +
                               "\",\n  \"sourceAddress\": 0,\n  \"payloadLength\": 1,\n  "
                               "\"fields\": {\n    \"" +
                               escaped + "\": 7.0000\n  }\n}\n";
            const uint8_t payload[] = {7};
            std::string got = capture_stdout([&] { print_json_record(1, 0, 1, payload); });
            if (!same_output("print_json_record texts", got, want))
                return false;
        }
    }
    return true;
}

bool check_decoding()
{
    struct scaling {
        double scale;
        double offset;
    };
    static const scaling SCALINGS[] = {{1, 0},       {0.0001, 0},  {0.01, -273.15},
                                       {1e-16, 0},   {-0.5, 0.25}, {1e280, 0},
                                       {0.00001, 0}, {-1, -0.0},   {0.1, 0.12345}};
    static const int LENGTHS[] = {8, 16, 32, 64};
    static const int STARTS[] = {0, 1, 5};
    std::vector<std::vector<uint8_t>> payloads = check_payloads();

    for (int length : LENGTHS) {
        for (char type : {'s', 'u'}) {
            for (int start : STARTS) {
                for (const scaling &s : SCALINGS) {
                    field_spec field{};
                    field.type = type;
                    field.start = start;
                    field.length = length;
                    field.scale = s.scale;
                    field.offset = s.offset;
                    for (const std::vector<uint8_t> &payload : payloads) {
                        std::optional<double> ours = decode_field(payload.data(), field);
                        double theirs;
                        bool decoded = literal_decode_field(payload.data(), field, &theirs);
                        if (ours.has_value() && decoded &&
                            std::memcmp(&*ours, &theirs, sizeof theirs) == 0)
                            continue;
                        std::fprintf(stderr,
                                     "decode_field: %c%d at %d, scale %g offset %g: %.17g, "
                                     "the baseline %.17g\n",
                                     type, length, start, s.scale, s.offset, ours ? *ours : 0.0,
                                     theirs);
                        return false;
                    }
                }
            }
        }
    }
    return true;
}

namespace
{

bool same_lookups(const char *table, const std::vector<uint32_t> &pgns)
{
    for (uint32_t pgn : pgns) {
        if (find_entry(pgn) == scan_find_entry(pgn))
            continue;
        std::fprintf(stderr, "find_entry: %s table, PGN %u: not the first entry in table order\n",
                     table, pgn);
        return false;
    }
    return true;
}

} // namespace

bool check_lookups()
{
    std::vector<uint32_t> probes;
    for (uint32_t pgn = 0; pgn < 140000; pgn++)
        probes.push_back(pgn);
    for (uint32_t pgn : lookup_table_pgns())
        probes.push_back(pgn);
    for (uint32_t pgn = 0; pgn < 4096; pgn++)
        probes.push_back(4294967295u - pgn);

    clear_table();
    for (uint32_t pgn : lookup_table_pgns())
        (void)append_entry(pgn);
    if (!same_lookups("full", probes))
        return false;

    // Many entries for few PGNs: only the first of each may be found.
    clear_table();
    for (int i = 0; i < MAX_PGNS; i++)
        (void)append_entry(static_cast<uint32_t>(i % 7) * 512);
    if (!same_lookups("duplicates", probes))
        return false;

    load_text(json_description_text());
    return same_lookups("JSON", probes);
}

namespace
{

// The lines that the file format treats in unusual ways, where both loaders must agree.
std::string odd_lines()
{
    std::string long_name(70, 'n');
    std::string long_key(70, 'k');

    return "name = before any section\n"
           "[PGN_ 42]\n"
           "name=Engine\n"
           "[Engine]\n"
           "name   =   Engine Room\n"
           "Name = Skipped\n"
           "name =\n"
           "field_ = bare, u\n"
           "field_abc = letters, s, 1, 8, 2, 3, x\n"
           "field = no underscore, u, 0, 8, 1, 0, x\n"
           "field_9 = rpm, u , 0, 8, 1, 0, x\n"
           "field_10 = , u, 0, 8, 1, 0, x\n"
           "field_11 = name only\n"
           "\tfield_12 = indented, u, 1, 16, 0.5, -1, unit with, commas\n"
           "field_13 = crlf, s, 0, 8, 1, 0, x\r\n"
           "field_14 = extremes, s, -2147483648, 2147483647, -1e308, 1e-308, "
           "a unit longer than fifteen\n"
           "field_15 = " +
           long_name +
           ", u, 0, 8, 1, 0, x\n"
           "field_16 = last, u, 0, 8, 1, 0, x\n"
           "field_17 = seventeenth, u, 0, 8, 1, 0, x\n"
           "[PGN_42\n"
           "name = Engine # main\n"
           "   \n"
           "[PGN_-1]\n" +
           long_key +
           " = v\n"
           "[PGN_42]\n"
           "name = a description of more than sixty-three bytes, which is cut right there\n";
}

std::unique_ptr<description_table> loaded_by(void (*load)(FILE *), const std::string &text)
{
    clear_table();
    FILE *file = text_stream(text);
    load(file);
    std::fclose(file);
    return std::make_unique<description_table>(pgn_table);
}

void listener_load(FILE *file)
{
    (void)load_descriptions_from(file);
}

// What a reader of the table can see: the used entries and fields, texts up to their NUL.
std::string table_difference(const description_table &ours, const description_table &theirs)
{
    if (ours.count != theirs.count)
        return "entry count " + std::to_string(ours.count) + ", " + std::to_string(theirs.count);

    for (int i = 0; i < ours.count; i++) {
        const pgn_entry &a = ours.entries[i];
        const pgn_entry &b = theirs.entries[i];
        std::string where = "entry " + std::to_string(i);
        if (a.pgn != b.pgn || std::strcmp(a.description, b.description) != 0 ||
            a.field_count != b.field_count)
            return where;
        for (int f = 0; f < a.field_count; f++) {
            const field_spec &x = a.fields[f];
            const field_spec &y = b.fields[f];
            if (std::strcmp(x.name, y.name) != 0 || x.type != y.type || x.start != y.start ||
                x.length != y.length || std::memcmp(&x.scale, &y.scale, sizeof x.scale) != 0 ||
                std::memcmp(&x.offset, &y.offset, sizeof x.offset) != 0 ||
                std::strcmp(x.unit, y.unit) != 0)
                return where + ", field " + std::to_string(f) + " (" + x.name + ")";
        }
    }
    return "";
}

} // namespace

bool check_loading()
{
    const std::string texts[] = {full_description_text(), json_description_text(), odd_lines()};

    for (const std::string &text : texts) {
        std::unique_ptr<description_table> theirs = loaded_by(sscanf_load_descriptions, text);
        std::unique_ptr<description_table> ours = loaded_by(listener_load, text);
        std::string difference = table_difference(*ours, *theirs);
        if (!difference.empty()) {
            std::fprintf(stderr, "load_descriptions_from: differs from the baseline at %s\n",
                         difference.c_str());
            return false;
        }
    }
    return true;
}
