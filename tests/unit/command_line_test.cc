#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture_stdout.h"
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

TEST(HelpAndVersion, OnlyAsTheSoleArgument)
{
    const std::string usage = "Usage: ./n2k-listen <interface> [options]\n"
                              "  -p <pgn>      Filter by a specific PGN (decimal)\n"
                              "  -c <config>   Path to n2k-devices.conf file\n"
                              "  -j            Output in JSON format (requires -c)\n\n";
    struct {
        std::vector<std::string> args; // after the program name
        int status;
        std::string out;
    } cases[] = {
        {{"--help"}, 0, usage},
        {{"--version"}, 0, "n2k-listen " N2K_VERSION "\n"},
        {{}, -1, ""},
        {{"can0"}, -1, ""},
        {{"--help", "can0"}, -1, ""},
        {{"can0", "--version"}, -1, ""},
        {{"--version", "--help"}, -1, ""},
        {{"-h"}, -1, ""},
        {{"--helpx"}, -1, ""},
        {{"--hel"}, -1, ""},
        {{"-version"}, -1, ""},
    };
    for (const auto &c : cases) {
        std::vector<std::string> words = {"./n2k-listen"};
        words.insert(words.end(), c.args.begin(), c.args.end());
        std::vector<char *> argv;
        for (std::string &word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);

        int status = 0;
        std::string out = capture_stdout(
            [&] { status = answer_help_or_version(static_cast<int>(words.size()), argv.data()); });
        EXPECT_EQ(status, c.status) << words.size() << " words, " << words.back();
        EXPECT_EQ(out, c.out) << words.back();
    }
}
