// Stop signals: they end the loop in order, and never cost a message already received.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <thread>

#include "listener_process.h"
#include "test_files.h"

namespace
{

int count_lines_starting(const std::string &text, const std::string &prefix)
{
    int count = 0;
    std::size_t at = 0;
    while ((at = text.find("\n" + prefix, at)) != std::string::npos) {
        count++;
        at++;
    }
    return count;
}

int successful_receives(const std::string &log)
{
    int count = 0;
    for (const std::string &line : log_lines(log, "recvfrom"))
        if (line.find("-> -1") == std::string::npos)
            count++;
    return count;
}

} // namespace

TEST(Signals, StopWhileWaitingForTraffic)
{
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(sig));
        run_options options;
        options.args = {"can0"};
        options.feed = "(1.0) can0 09F20083#2A\n!wait\n";
        options.while_running = [sig](pid_t pid, const std::string &log) {
            ASSERT_TRUE(wait_until_waiting(pid, log));
            kill(pid, sig);
        };
        run_result r = run_listener(options);

        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, std::string(BANNER_CAN0) + "PGN: 127488  SRC: 131  LEN: 1    DATA: 2A \n" +
                             CLOSING);
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(log_lines(r.log, "close 3").size(), 1u) << r.log;
    }
}

TEST(Signals, SilentBusStopsOnSignal)
{
    run_options options;
    options.args = {"can0"};
    options.while_running = [](pid_t pid, const std::string &log) {
        ASSERT_TRUE(wait_until_waiting(pid, log));
        kill(pid, SIGINT);
    };
    run_result r = run_listener(options);

    EXPECT_EQ(r.out, std::string(BANNER_CAN0) + CLOSING);
    EXPECT_EQ(r.exit_status, 0);
}

// The end of a capture stops the listener as a user would, with SIGTERM.
TEST(Signals, EndOfCaptureStopsInOrder)
{
    run_options options;
    options.args = {"can0"};
    options.feed = "(1.0) can0 09F20083#2A\n";
    run_result r = run_listener(options);

    EXPECT_EQ(r.out,
              std::string(BANNER_CAN0) + "PGN: 127488  SRC: 131  LEN: 1    DATA: 2A \n" + CLOSING);
    EXPECT_EQ(r.exit_status, 0);
}

TEST(Signals, SignalBeforeTheFirstReceive)
{
    for (const char *name : {"SIGINT", "SIGHUP"}) {
        SCOPED_TRACE(name);
        run_options options;
        options.args = {"can0"};
        options.feed = "(1.0) can0 09F20083#2A\n";
        options.env = {std::string("N2K_SIM_RAISE_AT_BIND=") + name};
        run_result r = run_listener(options);

        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, std::string(BANNER_CAN0) + CLOSING);
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(log_lines(r.log, "recvfrom").size(), 0u) << r.log;
        EXPECT_EQ(log_lines(r.log, "close 3").size(), 1u) << r.log;
    }
}

// Started under nohup(1), the listener keeps SIGHUP ignored and outlives the session; the next
// stop signal still ends it in order.
TEST(Signals, IgnoredHangUpStaysIgnored)
{
    run_options options;
    options.args = {"can0"};
    options.feed = "(1.0) can0 09F20083#2A\n!wait\n";
    options.ignore_sighup = true;
    bool stopped_by_hangup = true;
    options.while_running = [&](pid_t pid, const std::string &log) {
        ASSERT_TRUE(wait_until_waiting(pid, log));
        kill(pid, SIGHUP);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stopped_by_hangup = !log_lines(read_file_or_empty(log), "close 3").empty();
        kill(pid, SIGTERM);
    };
    run_result r = run_listener(options);

    EXPECT_FALSE(stopped_by_hangup) << r.log;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              std::string(BANNER_CAN0) + "PGN: 127488  SRC: 131  LEN: 1    DATA: 2A \n" + CLOSING);
    EXPECT_EQ(r.exit_status, 0);
}

// A reader that lets the pipe fill: the listener blocks in a write, the stop signal arrives
// then, and once the reader drains every message received is there, whole, before the closing
// line. Were the stop signals not held back during writes, the write would fail and stdio drop
// what it held.
TEST(Signals, StopWhileAWriteIsBlocked)
{
    std::string feed;
    for (int i = 0; i < 4000; i++)
        feed += "(1.0) can0 09F20083#@64\n";
    feed += "!wait\n";

    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(sig));
        run_options options;
        options.args = {"can0"};
        options.feed = feed.c_str();
        options.stall_output = true;
        options.while_running = [sig](pid_t pid, const std::string &) {
            ASSERT_TRUE(wait_for_syscall(pid, {1})); // write
            kill(pid, sig);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        };
        run_result r = run_listener(options);

        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.exit_status, 0);
        int received = successful_receives(r.log);
        EXPECT_GT(received * 230, 65536) << "the output never filled the pipe";
        EXPECT_EQ(
            count_lines_starting("\n" + r.out, "PGN: 127488  SRC: 131  LEN: 64   DATA: 00 01 "),
            received);
        ASSERT_GE(r.out.size(), sizeof CLOSING);
        EXPECT_EQ(r.out.substr(r.out.size() - (sizeof CLOSING - 1)), CLOSING);
        EXPECT_EQ(r.out.size(),
                  (sizeof BANNER_CAN0 - 1) + received * (39u + 64 * 3 + 1) + (sizeof CLOSING - 1));
    }
}
