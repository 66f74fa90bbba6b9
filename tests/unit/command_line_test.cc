#include <gtest/gtest.h>

#include "listener/command_line.h"

TEST(PgnFilter, ReadsAsAtoiAndSaturates)
{
    struct {
        const char *text;
        int32_t filter;
    } cases[] = {
        {"127488", 127488},
        {"0", 0},
        {"", 0},
        {"abc", 0},
        {"-j", 0},
        {"12abc", 12},
        {"  42", 42},
        {"+7", 7},
        {"-1", -1},
        {"2147483647", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"2147483648", INT32_MAX},
        {"4294967296", INT32_MAX},
        {"99999999999999999999999", INT32_MAX},
        {"-4294967296", INT32_MIN},
    };
    for (const auto &c : cases)
        EXPECT_EQ(parse_pgn_filter(c.text), c.filter) << '"' << c.text << '"';
}
