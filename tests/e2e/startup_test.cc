// Start-up: the command line, the failures before the loop, and the exact bind record.
#include <gtest/gtest.h>

#include <string>

#include "listener_process.h"

namespace
{

const std::string USAGE = "Usage: n2k-listen <interface> [options]\n"
                          "  -p <pgn>      Filter by a specific PGN (decimal)\n"
                          "  -c <config>   Path to n2k-devices.conf file\n"
                          "  -j            Output in JSON format (requires -c)\n\n";

constexpr bool LINUX_ABI = N2K_TEST_ABI_LINUX;

struct failure_case {
    const char *what;
    std::vector<std::string> args;
    std::vector<std::string> env;
    std::string err;
    bool socket_opened; // and so closed again
};

// A listener that ran into a stop signal at once, to see how it started.
run_result start_and_stop(std::vector<std::string> args)
{
    run_options options;
    options.args = std::move(args);
    options.feed = "!end\n";
    return run_listener(options);
}

} // namespace

TEST(Startup, FailuresBeforeTheLoop)
{
    const failure_case cases[] = {
        {"no interface", {}, {}, USAGE, false},
        {"unknown option",
         {"can0", "-x"},
         {},
         "n2k-listen: invalid option -- 'x'\n" + USAGE,
         false},
        {"-p without argument",
         {"can0", "-p"},
         {},
         "n2k-listen: option requires an argument -- 'p'\n" + USAGE,
         false},
        {"-c without argument",
         {"can0", "-j", "-c"},
         {},
         "n2k-listen: option requires an argument -- 'c'\n" + USAGE,
         false},
        {"socket fails",
         {"can0"},
         {"N2K_SIM_FAIL_SOCKET=EAFNOSUPPORT"},
         "socket: Address family not supported by protocol\n",
         false},
        {"socket comes before the name lookup",
         {"nosuch0"},
         {"N2K_SIM_FAIL_SOCKET=EAFNOSUPPORT"},
         "socket: Address family not supported by protocol\n",
         false},
        {"no interface of that name", {"nosuch0"}, {}, "if_nametoindex: No such device\n", true},
        {"interface that is no CAN interface", {"lo"}, {}, "bind: No such device\n", true},
        {"bind refused",
         {"can0"},
         {"N2K_SIM_FAIL_BIND=EADDRINUSE"},
         "bind: Address already in use\n",
         true},
        {"options before the interface",
         {"-j", "can0"},
         {},
         "if_nametoindex: No such device\n",
         true},
    };
    for (const failure_case &c : cases) {
        SCOPED_TRACE(c.what);
        run_options options;
        options.args = c.args;
        options.env = c.env;
        run_result r = run_listener(options);

        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(log_lines(r.log, "recvfrom").size(), 0u);
        if (c.socket_opened)
            EXPECT_EQ(log_lines(r.log, "close ").size(), 1u) << r.log;
        else
            EXPECT_EQ(log_lines(r.log, "close ").size(), 0u) << r.log;
    }
}

TEST(Startup, FailedSocketOptionIsReported)
{
    if (!LINUX_ABI)
        GTEST_SKIP() << "only the Linux endpoint sets socket options";
    run_options options;
    options.args = {"can0"};
    options.env = {"N2K_SIM_FAIL_SETSOCKOPT=107:2:ENOPROTOOPT"};
    run_result r = run_listener(options);

    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "setsockopt: Protocol not available\n");
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(log_lines(r.log, "bind").size(), 0u);
    EXPECT_EQ(log_lines(r.log, "close ").size(), 1u);
}

// The record is spelled out byte by byte: length 24 and family 39 (FreeBSD) or the 16-bit
// family 29 (Linux), index 100 of can0, NAME 0, the PGN, address 0xFF.
TEST(Startup, BindRecordBytes)
{
    struct {
        std::vector<std::string> args;
        const char *freebsd_pgn;  // the PGN field of the bind record
        const char *linux_filter; // the PGN of SO_J1939_FILTER, or nullptr for none
    } cases[] = {
        {{"can0"}, "00000000", nullptr},
        {{"can0", "-p", "0"}, "00000000", nullptr},
        {{"can0", "-p", "127488"}, "00f20100", "00f20100"},
        {{"can0", "-p", "-1"}, "ffffffff", "ffffffff"},
        {{"can0", "-p", "12abc"}, "0c000000", "0c000000"},
        {{"can0", "-p", "4294967296"}, "ffffff7f", "ffffff7f"},
        {{"can0", "-p", "-j"}, "00000000", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args.back());
        run_result r = start_and_stop(c.args);
        ASSERT_EQ(r.exit_status, 0) << r.err;

        std::vector<std::string> expected;
        if (!LINUX_ABI) {
            expected = {"socket 39 2 7 -> 3",
                        "if_nametoindex can0 -> 100",
                        "setsockopt 1 8 00008000 -> -1 ENOBUFS",
                        "setsockopt 1 8 00004000 -> -1 ENOBUFS",
                        "setsockopt 1 8 00002000 -> 0",
                        std::string("bind ") + "18270000" + "64000000" + "0000000000000000" +
                            c.freebsd_pgn + "ff000000" + " -> 0"};
        } else {
            expected = {"socket 29 2 7 -> 3", "if_nametoindex can0 -> 100",
                        "setsockopt 1 6 01000000 -> 0", "setsockopt 107 2 01000000 -> 0"};
            if (c.linux_filter != nullptr)
                expected.push_back(std::string("setsockopt 107 1 ") +
                                   "00000000000000000000000000000000" + c.linux_filter +
                                   "ffffffff" + "0000000000000000 -> 0");
            expected.push_back("setsockopt 1 33 00008000 -> 0");
            expected.push_back(std::string("bind ") + "1d000000" + "64000000" + "0000000000000000" +
                               "00000400" + "ff000000" + " -> 0");
        }
        std::vector<std::string> got;
        for (const char *prefix : {"socket", "if_nametoindex", "setsockopt", "bind"})
            for (const std::string &line : log_lines(r.log, prefix))
                got.push_back(line);
        EXPECT_EQ(got, expected) << r.log;
    }
}

// Options are scanned from the second argument and stop at the first that is not an option.
TEST(Startup, OptionScanning)
{
    struct {
        std::vector<std::string> args;
        const char *what;
    } raw_cases[] = {
        {{"can0", "--", "-j"}, "two hyphens end the options"},
        {{"can0", "extra", "-j"}, "a non-option ends the options"},
        {{"can0", "-p", "-j"}, "-p takes -j as its argument"},
        {{"can0", "-c", "-j"}, "-c takes -j as its path"},
        {{"can0", "-c", "/nonexistent.conf"}, "-c without -j is never opened"},
    };
    for (const auto &c : raw_cases) {
        SCOPED_TRACE(c.what);
        run_result r = start_and_stop(c.args);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, std::string(BANNER_CAN0) + CLOSING);
        EXPECT_EQ(r.exit_status, 0);
    }
}

// --help and --version answer on standard output and open nothing; anywhere else, or beside
// another argument, they are what any first argument is: the interface's name.
TEST(Startup, HelpAndVersion)
{
    struct {
        std::vector<std::string> args;
        const char *stdout_path;
        std::string out;
        std::string err;
        int status;
    } cases[] = {
        {{"--help"}, nullptr, USAGE, "", 0},
        {{"--version"}, nullptr, "n2k-listen " N2K_TEST_VERSION "\n", "", 0},
        {{"--version"}, "/dev/full", "", "stdout: No space left on device\n", 1},
        {{"--help", "extra"}, nullptr, "", "if_nametoindex: No such device\n", 1},
        {{"--version", "--"}, nullptr, "", "if_nametoindex: No such device\n", 1},
        {{"-j", "--version"}, nullptr, "", "n2k-listen: invalid option -- '-'\n" + USAGE, 1},
        {{"can0", "--help"}, nullptr, "", "n2k-listen: invalid option -- '-'\n" + USAGE, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
        run_options options;
        options.args = c.args;
        options.feed = "!end\n";
        options.stdout_path = c.stdout_path;
        run_result r = run_listener(options);

        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exit_status, c.status);
        if (c.args.size() == 1) {
            EXPECT_EQ(log_lines(r.log, "socket").size(), 0u) << r.log;
        }
    }
}
