// Building blocks for the writers: each appends to a caller's buffer and returns the new end.
// The caller sizes the buffer for the worst case; the bounds below say what that is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// "%.4f" of the largest double: 309 integer digits, a sign, a point and four decimals.
inline constexpr std::size_t FIXED4_MAX = 1 + 309 + 1 + 4;
// Each byte of a text may grow to "\u00xx".
inline constexpr std::size_t ESCAPE_GROWTH = 6;

char *append_text(char *out, std::string_view text);
char *append_unsigned(char *out, uint32_t value);
char *append_signed(char *out, int32_t value);

// Left-aligned in a field of at least width characters, as "%-Nu" and "%-Nd" print.
char *append_unsigned_padded(char *out, uint32_t value, int width);
char *append_signed_padded(char *out, int32_t value, int width);

// Exactly what printf("%.4f") prints in the POSIX locale, for every finite double.
char *append_fixed4(char *out, double value);

// The bytes of a NUL-terminated text as the inside of a JSON string: '"' and '\\' escaped, the
// control bytes as \b \f \n \r \t or \u00xx, every other byte (0x80 and above too) unchanged.
char *append_json_escaped(char *out, const char *text);
