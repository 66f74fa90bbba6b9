#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "output/text_format.h"

namespace
{

std::string fixed4(double value)
{
    char buffer[FIXED4_MAX + 1];
    return std::string(buffer, append_fixed4(buffer, value));
}

std::string printf_fixed4(double value)
{
    char buffer[400];
    std::snprintf(buffer, sizeof buffer, "%.4f", value);
    return buffer;
}

} // namespace

TEST(Fixed4, MatchesPrintfOnChosenValues)
{
    const double values[] = {0.0,
                             -0.0,
                             -0.00004,
                             0.00005,
                             0.00015,
                             0.00025,
                             1.00005,
                             2.5,
                             -2.5,
                             0.12345,
                             1e15,
                             9007199254740993.0,
                             -9223372036854775808.0,
                             18446744073709551615.0,
                             DBL_MAX,
                             -DBL_MAX,
                             DBL_MIN,
                             DBL_TRUE_MIN,
                             1.0 / 3,
                             123456.78905};
    for (double v : values)
        EXPECT_EQ(fixed4(v), printf_fixed4(v)) << v;
}

// Every finite bit pattern is fair game, so compare over random patterns and random magnitudes.
TEST(Fixed4, MatchesPrintfOnRandomDoubles)
{
    std::mt19937_64 random(20261210);
    for (int i = 0; i < 200000; i++) {
        double v;
        if (i % 2 == 0) {
            uint64_t bits = random();
            std::memcpy(&v, &bits, sizeof v);
            if (!std::isfinite(v))
                continue;
        } else {
            // Values near ties of the fourth decimal.
            v = static_cast<double>(static_cast<int64_t>(random() % 2000000) - 1000000) / 20000.0;
        }
        ASSERT_EQ(fixed4(v), printf_fixed4(v)) << std::hexfloat << v;
    }
}

TEST(PaddedNumbers, MatchPrintfWidths)
{
    const uint32_t unsigned_values[] = {0, 7, 99999, 127488, 999999, 1000000, 4294967295u};
    for (uint32_t v : unsigned_values) {
        for (int width : {3, 6}) {
            char want[32];
            std::snprintf(want, sizeof want, "%-*u", width, v);
            char got[32];
            *append_unsigned_padded(got, v, width) = '\0';
            EXPECT_STREQ(got, want);
        }
    }
    const int32_t signed_values[] = {0, 8, 4096, -1, INT32_MIN, INT32_MAX};
    for (int32_t v : signed_values) {
        char want[32];
        std::snprintf(want, sizeof want, "%-3d", v);
        char got[32];
        *append_signed_padded(got, v, 3) = '\0';
        EXPECT_STREQ(got, want);
    }
}

TEST(JsonEscape, EscapesWhatJsonRequires)
{
    struct {
        const char *in;
        const char *out;
    } cases[] = {
        {"Engine Parameters", "Engine Parameters"},
        {"say \"hi\"", "say \\\"hi\\\""},
        {"back\\slash", "back\\\\slash"},
        {"\b\f\n\r\t", "\\b\\f\\n\\r\\t"},
        {"\x01\x1f", "\\u0001\\u001f"},
        {"\x7f\x80\xc3\xa9\xff", "\x7f\x80\xc3\xa9\xff"},
        {"/", "/"},
    };
    for (const auto &c : cases) {
        char buffer[128];
        *append_json_escaped(buffer, c.in) = '\0';
        EXPECT_STREQ(buffer, c.out);
    }
}
