#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "capture_stdout.h"
#include "output/raw_line.h"

namespace
{

std::string raw_line(uint32_t pgn, uint8_t source, const std::vector<uint8_t> &payload)
{
    return capture_stdout(
        [&] { print_raw_line(pgn, source, static_cast<int32_t>(payload.size()), payload.data()); });
}

// The line as the formats read, one printf per piece.
std::string printf_line(uint32_t pgn, uint8_t source, const std::vector<uint8_t> &payload)
{
    return capture_stdout([&] {
        std::printf("PGN: %-6u  SRC: %-3u  LEN: %-3d  DATA: ", pgn, source,
                    static_cast<int>(payload.size()));
        for (uint8_t b : payload)
            std::printf("%02X ", b);
        std::printf("\n");
    });
}

} // namespace

TEST(RawLine, LiteralLines)
{
    EXPECT_EQ(raw_line(59904, 5, {0x00, 0xEE, 0x00}),
              "PGN: 59904   SRC: 5    LEN: 3    DATA: 00 EE 00 \n");
    EXPECT_EQ(raw_line(127488, 255, {}), "PGN: 127488  SRC: 255  LEN: 0    DATA: \n");
    EXPECT_EQ(raw_line(4294967295u, 0, {0xAB}), "PGN: 4294967295  SRC: 0    LEN: 1    DATA: AB \n");
}

TEST(RawLine, EveryByteValueAndWideLengths)
{
    std::vector<uint8_t> every(256);
    for (int i = 0; i < 256; i++)
        every[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(raw_line(130306, 35, every), printf_line(130306, 35, every));

    std::vector<uint8_t> full(4096, 0x5A);
    std::string line = raw_line(1, 2, full);
    EXPECT_EQ(line, printf_line(1, 2, full));
    EXPECT_EQ(line.substr(0, 38), "PGN: 1       SRC: 2    LEN: 4096  DATA");
}
