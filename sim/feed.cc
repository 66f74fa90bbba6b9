#include "feed.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace
{

constexpr uint32_t CAN_EFF_MASK = 0x1FFFFFFF;
constexpr uint32_t CAN_ERR_FLAG = 0x20000000;
constexpr uint32_t MAX_ERRNO = 4095;

constexpr std::array<int8_t, 256> make_hex_table()
{
    std::array<int8_t, 256> table{};

    for (auto &value : table)
        value = -1;
    for (int c = '0'; c <= '9'; c++)
        table[c] = static_cast<int8_t>(c - '0');
    for (int c = 'a'; c <= 'f'; c++)
        table[c] = static_cast<int8_t>(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; c++)
        table[c] = static_cast<int8_t>(c - 'A' + 10);
    return table;
}

constexpr std::array<int8_t, 256> HEX_VALUE = make_hex_table();

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view text)
{
    while (!text.empty() && is_blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back()))
        text.remove_suffix(1);
    return text;
}

// Splits off the first blank-separated word.
std::string_view next_word(std::string_view &text)
{
    size_t end = 0;

    text = trim(text);
    while (end < text.size() && !is_blank(text[end]))
        end++;

    std::string_view word = text.substr(0, end);
    text = trim(text.substr(end));
    return word;
}

bool parse_hex_id(std::string_view text, uint32_t &value)
{
    value = 0;
    for (char c : text) {
        int digit = HEX_VALUE[static_cast<uint8_t>(c)];
        if (digit < 0)
            return false;
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    return true;
}

template <typename T> bool parse_decimal(std::string_view text, T &value)
{
    if (text.empty())
        return false;

    auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), value);
    return status == std::errc() && end == text.data() + text.size();
}

// "(1700000000.123456)" to microseconds; digits beyond the sixth are dropped.
bool parse_timestamp(std::string_view text, int64_t &us)
{
    if (text.size() < 3 || text.front() != '(' || text.back() != ')')
        return false;
    text = text.substr(1, text.size() - 2);

    size_t dot = text.find('.');
    int64_t seconds = 0;
    if (!parse_decimal(text.substr(0, dot), seconds) || seconds < 0 || seconds > 1000000000000)
        return false;

    int64_t fraction = 0;
    if (dot != std::string_view::npos) {
        std::string_view digits = text.substr(dot + 1);
        if (digits.empty())
            return false;
        for (size_t i = 0; i < digits.size(); i++) {
            if (digits[i] < '0' || digits[i] > '9')
                return false;
            if (i < 6)
                fraction = fraction * 10 + (digits[i] - '0');
        }
        for (size_t i = digits.size(); i < 6; i++)
            fraction *= 10;
    }

    us = seconds * 1000000 + fraction;
    return true;
}

struct feed_parser {
    std::string_view interface_name;
    feed &out;
    std::string &error;
    size_t line_number = 0;
    bool timed = false; // the first frame of the capture has been seen
    int64_t first_us = 0;
    int64_t last_at_us = 0;
};

bool fail(feed_parser &parser, std::string_view reason)
{
    parser.error = "line " + std::to_string(parser.line_number) + ": " + std::string(reason);
    return false;
}

void add_control(feed_parser &parser, feed_item_kind kind, uint32_t error)
{
    feed_item item{};

    item.at_us = parser.last_at_us;
    item.kind = kind;
    item.length = error;
    parser.out.items.push_back(item);
}

// Returns false on a bad directive; sets `over` after one that ends the capture.
bool parse_directive(feed_parser &parser, std::string_view line, bool &over)
{
    std::string_view word = next_word(line);

    if (word == "!wait" || word == "!end") {
        if (!line.empty())
            return fail(parser, "nothing may follow " + std::string(word));
        add_control(parser, word == "!wait" ? ITEM_WAIT : ITEM_END, 0);
        over = true;
        return true;
    }
    if (word == "!error") {
        std::string_view name = next_word(line);
        int error = errno_from_name(name);
        if (error == 0 || !line.empty())
            return fail(parser, "!error needs one errno name, such as EIO");
        add_control(parser, ITEM_ERROR, static_cast<uint32_t>(error));
        return true;
    }
    return fail(parser, "unknown directive " + std::string(word));
}

bool parse_payload(feed_parser &parser, std::string_view data, feed_item &item)
{
    if (!data.empty() && data.front() == '@') {
        if (!parse_decimal(data.substr(1), item.length))
            return fail(parser, "@ needs a byte count");
        item.kind = ITEM_PATTERN;
        return true;
    }

    if (data.size() % 2 != 0)
        return fail(parser, "data must be whole hex pairs");
    if (data.size() / 2 > UINT32_MAX)
        return fail(parser, "data too long");

    std::vector<uint8_t> &bytes = parser.out.bytes;
    size_t start = bytes.size();
    bytes.resize(start + data.size() / 2);
    for (size_t i = 0; i < data.size(); i += 2) {
        int high = HEX_VALUE[static_cast<uint8_t>(data[i])];
        int low = HEX_VALUE[static_cast<uint8_t>(data[i + 1])];
        if (high < 0 || low < 0) {
            bytes.resize(start);
            return fail(parser, "data must be whole hex pairs");
        }
        bytes[start + i / 2] = static_cast<uint8_t>(high << 4 | low);
    }
    item.kind = ITEM_BYTES;
    item.offset = start;
    item.length = static_cast<uint32_t>(data.size() / 2);
    return true;
}

bool parse_frame(feed_parser &parser, std::string_view line)
{
    int64_t us = 0;
    std::string_view stamp = next_word(line);
    std::string_view interface_name = next_word(line);
    std::string_view frame = next_word(line);

    if (!parse_timestamp(stamp, us))
        return fail(parser, "a frame starts with a timestamp such as (1700000000.123456)");
    if (interface_name.empty() || frame.empty() || !line.empty())
        return fail(parser, "a frame is: (timestamp) interface id#data");

    // Time runs on the whole capture, whatever interface or kind of frame.
    if (!parser.timed) {
        parser.timed = true;
        parser.first_us = us;
    }
    parser.last_at_us = us > parser.first_us ? us - parser.first_us : 0;

    size_t hash = frame.find('#');
    if (hash == std::string_view::npos)
        return fail(parser, "a frame is: (timestamp) interface id#data");

    std::string_view id_text = frame.substr(0, hash);
    std::string_view data = frame.substr(hash + 1);
    uint32_t id = 0;
    if ((id_text.size() != 3 && id_text.size() != 8) || !parse_hex_id(id_text, id))
        return fail(parser, "the identifier must be 3 or 8 hex digits");

    // The J1939 layer never sees standard, remote, FD or error frames.
    bool flexible = !data.empty() && data.front() == '#';
    bool remote = !data.empty() && data.front() == 'R';
    if (id_text.size() == 3 || flexible || remote || (id & CAN_ERR_FLAG) != 0)
        return true;
    if (id > CAN_EFF_MASK)
        return fail(parser, "an extended identifier has 29 bits");
    if (interface_name != parser.interface_name)
        return true;

    feed_item item{};
    if (!parse_payload(parser, data, item))
        return false;

    j1939_id_fields fields = split_j1939_id(id);
    item.at_us = parser.last_at_us;
    item.pgn = fields.pgn;
    item.source = fields.source;
    item.destination = fields.destination;
    parser.out.items.push_back(item);
    return true;
}

} // namespace

j1939_id_fields split_j1939_id(uint32_t id)
{
    j1939_id_fields fields{};
    uint32_t format = id >> 16 & 0xFF;

    fields.priority = static_cast<uint8_t>(id >> 26 & 0x7);
    fields.source = static_cast<uint8_t>(id & 0xFF);
    fields.pgn = id >> 8 & 0x3FFFF;
    if (format < 240) {
        fields.destination = static_cast<uint8_t>(id >> 8 & 0xFF);
        fields.pgn &= 0x3FF00;
    } else {
        fields.destination = 0xFF;
    }
    return fields;
}

bool parse_feed(std::string_view text, std::string_view interface_name, feed &out,
                std::string &error)
{
    feed_parser parser{interface_name, out, error};

    out.items.clear();
    out.bytes.clear();

    // Sized once from the text, so that the bus allocates the same few blocks whatever the
    // length of the capture: a heap count of the listener then shows only the listener's own.
    // At most one item per line plus the end, and at most one payload byte per two hex digits.
    out.items.reserve(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 2);
    out.bytes.reserve(text.size() / 2);

    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = trim(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        parser.line_number++;

        if (line.empty() || line.front() == '#')
            continue;

        bool over = false;
        bool ok =
            line.front() == '!' ? parse_directive(parser, line, over) : parse_frame(parser, line);
        if (!ok)
            return false;
        if (over)
            return true;
    }

    add_control(parser, ITEM_END, 0);
    return true;
}

bool load_feed(const char *path, std::string_view interface_name, feed &out, std::string &error)
{
    // Through stdio: its close is the C library's own, not the one this library puts in front.
    std::FILE *file = std::fopen(path, "re");
    if (file == nullptr) {
        error = std::string(path) + ": " + strerror(errno);
        return false;
    }

    std::string text;
    struct stat status {
    };
    if (fstat(fileno(file), &status) == 0 && status.st_size > 0)
        text.reserve(static_cast<size_t>(status.st_size));

    char chunk[65536];
    size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        text.append(chunk, n);
    bool failed = std::ferror(file) != 0;
    int read_error = errno;
    std::fclose(file);
    if (failed) {
        error = std::string(path) + ": " + strerror(read_error);
        return false;
    }

    if (!parse_feed(text, interface_name, out, error)) {
        error = std::string(path) + ": " + error;
        return false;
    }
    return true;
}

int errno_from_name(std::string_view name)
{
    // Names that share a number with another, which the C library reports under the other.
    if (name == "EWOULDBLOCK")
        return EWOULDBLOCK;
    if (name == "ENOTSUP")
        return ENOTSUP;
    if (name == "EDEADLOCK")
        return EDEADLOCK;

    for (uint32_t error = 1; error <= MAX_ERRNO; error++) {
        const char *known = strerrorname_np(static_cast<int>(error));
        if (known != nullptr && name == known)
            return static_cast<int>(error);
    }
    return 0;
}

std::string errno_name(int error)
{
    const char *known = strerrorname_np(error);

    return known != nullptr ? std::string(known) : std::to_string(error);
}
