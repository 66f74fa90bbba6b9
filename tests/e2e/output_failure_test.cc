// Standard output that cannot be written, and standard descriptors that are closed.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "listener_process.h"

namespace
{

std::string many_messages(int n, const char *tail)
{
    std::string feed;
    for (int i = 0; i < n; i++)
        feed += "(1.0) can0 09F20083#00AB12FF7F0000FF\n";
    return feed + tail;
}

} // namespace

// The loop ends at the first failed write instead of receiving for ever with nowhere to write.
TEST(OutputFailure, FailedWriteEndsTheLoopWithStatusOne)
{
    struct {
        const char *what;
        const char *stdout_path;
        const char *error;
    } cases[] = {
        {"full device", "/dev/full", "No space left on device"},
        {"closed pipe, SIGPIPE ignored", "|", "Broken pipe"},
    };
    std::string feed = many_messages(2000, "!wait\n");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        run_options options;
        options.args = {"can0"};
        options.feed = feed.c_str();
        options.stdout_path = c.stdout_path;
        options.ignore_sigpipe = true;
        run_result r = run_listener(options);

        EXPECT_EQ(r.err, std::string("stdout: ") + c.error + "\n");
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(log_lines(r.log, "close 3").size(), 1u) << r.log;
        EXPECT_EQ(log_lines(r.log, "wait").size(), 0u) << "kept receiving";
    }
}

TEST(OutputFailure, OnlyTheFinalFlushFails)
{
    run_options options;
    options.args = {"can0"};
    options.feed = "(1.0) can0 09F20083#01\n(1.1) can0 09F20083#02\n";
    options.stdout_path = "/dev/full";
    run_result r = run_listener(options);

    EXPECT_EQ(r.err, "stdout: No space left on device\n");
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(log_lines(r.log, "end").size(), 1u) << "stopped before the capture ended";
}

TEST(OutputFailure, DefaultSigpipeEndsTheProcess)
{
    run_options options;
    options.args = {"can0"};
    std::string feed = many_messages(2000, "!wait\n");
    options.feed = feed.c_str();
    options.stdout_path = "|";
    run_result r = run_listener(options);

    EXPECT_EQ(r.term_signal, SIGPIPE);
    EXPECT_EQ(r.err, "");
}

// With descriptor 1 closed the socket would take its number and every line would go to the bus.
TEST(OutputFailure, ClosedStandardOutputNeverReachesTheBus)
{
    run_options options;
    options.args = {"can0"};
    options.feed = "(1.0) can0 09F20083#01\n(1.1) can0 09F20083#02\n";
    options.stdout_path = "-";
    run_result r = run_listener(options);

    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(log_lines(r.log, "socket 39 2 7 -> 3").size() +
                  log_lines(r.log, "socket 29 2 7 -> 3").size(),
              1u)
        << r.log;
    EXPECT_EQ(log_lines(r.log, "transmit").size(), 0u) << r.log;
}
