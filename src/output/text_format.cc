#include "output/text_format.h"

#include <charconv>
#include <cstring>

namespace
{

constexpr char HEX_LOWER[] = "0123456789abcdef";

// Long enough for any 32-bit number with its sign.
constexpr std::size_t NUMBER_MAX = 11;

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
    return std::to_chars(out, out + NUMBER_MAX, value).ptr;
}

char *append_signed(char *out, int32_t value)
{
    return std::to_chars(out, out + NUMBER_MAX, value).ptr;
}

char *append_unsigned_padded(char *out, uint32_t value, int width)
{
    return append_padding(out, append_unsigned(out, value), width);
}

char *append_signed_padded(char *out, int32_t value, int width)
{
    return append_padding(out, append_signed(out, value), width);
}

char *append_fixed4(char *out, double value)
{
    return std::to_chars(out, out + FIXED4_MAX, value, std::chars_format::fixed, 4).ptr;
}

char *append_json_escaped(char *out, const char *text)
{
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++) {
        unsigned char c = *p;
        if (c >= 0x20 && c != '"' && c != '\\') {
            *out++ = static_cast<char>(c);
            continue;
        }

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
    return out;
}
