// Raw mode on the simulated bus: the banner, one line per message, and how the loop ends.
#include <gtest/gtest.h>

#include <string>

#include "listener_process.h"

namespace
{

std::vector<unsigned char> counting_bytes(int n)
{
    std::vector<unsigned char> bytes(static_cast<std::size_t>(n));
    for (int i = 0; i < n; i++)
        bytes[static_cast<std::size_t>(i)] = static_cast<unsigned char>(i % 256);
    return bytes;
}

} // namespace

TEST(RawMode, LinesForEveryKindOfMessage)
{
    run_options options;
    options.args = {"can0"};
    options.feed = "(1700000000.000000) can0 09F20083#00AB12FF7F0000FF\n"
                   "(1700000000.010000) can0 18EAFF45#\n"
                   "(1700000000.020000) can0 18EA2345#00EE00\n"
                   "(1700000000.030000) can1 09F20084#01\n"
                   "(1700000000.040000) can0 123#0102\n"
                   "(1700000000.050000) can0 1DEFFF0A#@4096\n"
                   "(1700000000.060000) can0 1DEFFF0B#@5000\n"
                   "(1700000000.070000) can0 0DFA0F01#@223\n";
    run_result r = run_listener(options);

    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, std::string(BANNER_CAN0) +
                         "PGN: 127488  SRC: 131  LEN: 8    DATA: 00 AB 12 FF 7F 00 00 FF \n"
                         "PGN: 59904   SRC: 69   LEN: 0    DATA: \n"
                         "PGN: 59904   SRC: 69   LEN: 3    DATA: 00 EE 00 \n" +
                         raw_line(126720, 10, counting_bytes(4096)) +
                         raw_line(126720, 11, counting_bytes(4096)) +
                         raw_line(129551, 1, counting_bytes(223)) + CLOSING);

    // The sender length goes back to the whole record before every receive.
    for (const std::string &line : log_lines(r.log, "recvfrom"))
        EXPECT_EQ(line.compare(0, 19, "recvfrom 4096 0 24 "), 0) << line;
}

TEST(RawMode, InterruptedReceiveContinues)
{
    run_options options;
    options.args = {"can0"};
    options.feed = "(1.0) can0 09F20083#01\n!error EINTR\n(2.0) can0 09F20083#02\n";
    run_result r = run_listener(options);

    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, std::string(BANNER_CAN0) +
                         "PGN: 127488  SRC: 131  LEN: 1    DATA: 01 \n"
                         "PGN: 127488  SRC: 131  LEN: 1    DATA: 02 \n" +
                         CLOSING);
}

// A lost interface ends the loop as a failure: the diagnostic, the closing line, status 1.
TEST(RawMode, FailedReceiveEndsWithStatusOne)
{
    struct {
        const char *error;
        const char *text;
    } cases[] = {
        {"ENETDOWN", "Network is down"},
        {"EIO", "Input/output error"},
        {"EBADF", "Bad file descriptor"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.error);
        std::string feed = std::string("(1.0) can0 09F20083#0102\n!error ") + c.error +
                           "\n(2.0) can0 09F20083#03\n";
        run_options options;
        options.args = {"can0"};
        options.feed = feed.c_str();
        run_result r = run_listener(options);

        EXPECT_EQ(r.err, std::string("recvfrom: ") + c.text + "\n");
        EXPECT_EQ(r.out, std::string(BANNER_CAN0) +
                             "PGN: 127488  SRC: 131  LEN: 2    DATA: 01 02 \n" + CLOSING);
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(log_lines(r.log, "close 3").size(), 1u) << r.log;
    }
}

// The PGN filter is the kernel's affair: the listener prints whatever it is given.
TEST(RawMode, PgnFilterSelectsMessages)
{
    run_options options;
    options.args = {"can0", "-p", "59904"};
    options.feed = "(1.0) can0 09F20083#01\n"
                   "(1.1) can0 18EA2345#00EE00\n"
                   "(1.2) can0 18EAFF46#00EE01\n"
                   "(1.3) can0 09F10083#02\n";
    run_result r = run_listener(options);

    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, std::string(BANNER_CAN0) +
                         "PGN: 59904   SRC: 69   LEN: 3    DATA: 00 EE 00 \n"
                         "PGN: 59904   SRC: 70   LEN: 3    DATA: 00 EE 01 \n" +
                         CLOSING);
}

TEST(RawMode, PgnFilterThatIsNoPgnShowsNothing)
{
    for (const char *filter : {"-1", "4294967296"}) {
        SCOPED_TRACE(filter);
        run_options options;
        options.args = {"can0", "-p", filter};
        options.feed = "(1.0) can0 09F20083#01\n(1.1) can0 18EAFF45#\n";
        run_result r = run_listener(options);
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.out, std::string(BANNER_CAN0) + CLOSING);
    }
}

TEST(RawMode, BannerNamesTheInterface)
{
    run_options options;
    options.args = {"can1"};
    options.feed = "(1.0) can1 09F20083#FF\n";
    run_result r = run_listener(options);

    EXPECT_EQ(r.out, "Listening for NMEA 2000 messages on can1...\n"
                     "PGN: 127488  SRC: 131  LEN: 1    DATA: FF \n"
                     "\nExiting.\n");
}
