// The receive queue: asked for deep before bind, and its overflow told at the exit.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "listener_process.h"

namespace
{

constexpr bool LINUX_ABI = N2K_TEST_ABI_LINUX;

// SO_RCVBUF and SO_RCVBUFFORCE at start-up, in the order made, up to and with bind.
std::vector<std::string> queue_calls_before_bind(const std::string &log)
{
    std::vector<std::string> calls;
    for (const std::string &line : log_lines(log, "")) {
        for (const char *prefix : {"setsockopt 1 8 ", "setsockopt 1 33 ", "getsockopt 1 8 "})
            if (line.compare(0, std::strlen(prefix), prefix) == 0)
                calls.push_back(line);
        if (line.compare(0, 5, "bind ") == 0) {
            calls.push_back("bind");
            break;
        }
    }
    return calls;
}

// The receive buffer that the bus reports at the exit, from SO_MEMINFO's second counter.
std::string final_receive_buffer(const std::string &log)
{
    std::vector<std::string> reads = log_lines(log, "getsockopt 1 55 36 -> 0 ");
    if (reads.size() != 1)
        return "read " + std::to_string(reads.size()) + " times";
    return reads[0].substr(reads[0].size() - 72 + 8, 8);
}

const char ENOUGH[] = "setsockopt 1 8 00008000 -> 0";

} // namespace

// Linux: forced past net.core.rmem_max where permitted, else the plain option under the cap;
// FreeBSD: halved while refused, never below what the socket has. Nothing is ever said, and the
// listener runs as always whatever is refused.
TEST(ReceiveQueue, AskedForBeforeBind)
{
    struct queue_case {
        const char *what;
        std::vector<std::string> env;
        std::vector<std::string> calls;
        const char *final_buffer; // as the Linux bus reports it, little-endian hex
    };
    const std::vector<queue_case> linux_cases = {
        {"forced", {}, {"setsockopt 1 33 00008000 -> 0", "bind"}, "00000001"},
        {"unprivileged, under the default cap",
         {"N2K_SIM_UNPRIVILEGED=1"},
         {"setsockopt 1 33 00008000 -> -1 EPERM", ENOUGH, "bind"},
         "00800600"},
        {"unprivileged, the cap raised",
         {"N2K_SIM_UNPRIVILEGED=1", "N2K_SIM_RCVBUF_MAX=8388608"},
         {"setsockopt 1 33 00008000 -> -1 EPERM", ENOUGH, "bind"},
         "00000001"},
        {"both refused",
         {"N2K_SIM_UNPRIVILEGED=1", "N2K_SIM_FAIL_SETSOCKOPT=1:8:ENOMEM"},
         {"setsockopt 1 33 00008000 -> -1 EPERM", "setsockopt 1 8 00008000 -> -1 ENOMEM", "bind"},
         "00400300"},
    };
    const std::string current = "getsockopt 1 8 4 -> 0 00400300";
    const std::vector<queue_case> freebsd_cases = {
        {"halved to the limit",
         {},
         {current, "setsockopt 1 8 00008000 -> -1 ENOBUFS", "setsockopt 1 8 00004000 -> -1 ENOBUFS",
          "setsockopt 1 8 00002000 -> 0", "bind"},
         nullptr},
        {"a limit between two steps",
         {"N2K_SIM_RCVBUF_MAX=300000"},
         {current, "setsockopt 1 8 00008000 -> -1 ENOBUFS", "setsockopt 1 8 00004000 -> -1 ENOBUFS",
          "setsockopt 1 8 00002000 -> -1 ENOBUFS", "setsockopt 1 8 00001000 -> -1 ENOBUFS",
          "setsockopt 1 8 00000800 -> -1 ENOBUFS", "setsockopt 1 8 00000400 -> 0", "bind"},
         nullptr},
        {"never below what the socket has",
         {"N2K_SIM_RCVBUF_MAX=100000"},
         {current, "setsockopt 1 8 00008000 -> -1 ENOBUFS", "setsockopt 1 8 00004000 -> -1 ENOBUFS",
          "setsockopt 1 8 00002000 -> -1 ENOBUFS", "setsockopt 1 8 00001000 -> -1 ENOBUFS",
          "setsockopt 1 8 00000800 -> -1 ENOBUFS", "setsockopt 1 8 00000400 -> -1 ENOBUFS", "bind"},
         nullptr},
        {"the size unknown: never below 64 KiB",
         {"N2K_SIM_RCVBUF_MAX=100000", "N2K_SIM_FAIL_GETSOCKOPT=1:8:ENOPROTOOPT"},
         {"getsockopt 1 8 4 -> -1 ENOPROTOOPT", "setsockopt 1 8 00008000 -> -1 ENOBUFS",
          "setsockopt 1 8 00004000 -> -1 ENOBUFS", "setsockopt 1 8 00002000 -> -1 ENOBUFS",
          "setsockopt 1 8 00001000 -> -1 ENOBUFS", "setsockopt 1 8 00000800 -> -1 ENOBUFS",
          "setsockopt 1 8 00000400 -> -1 ENOBUFS", "setsockopt 1 8 00000200 -> -1 ENOBUFS", "bind"},
         nullptr},
    };
    for (const queue_case &c : LINUX_ABI ? linux_cases : freebsd_cases) {
        SCOPED_TRACE(c.what);
        run_options options;
        options.args = {"can0"};
        options.feed = "(1.0) can0 09F20083#2A\n";
        options.env = c.env;
        run_result r = run_listener(options);

        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, std::string(BANNER_CAN0) + "PGN: 127488  SRC: 131  LEN: 1    DATA: 2A \n" +
                             CLOSING);
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(queue_calls_before_bind(r.log), c.calls) << r.log;
        if (c.final_buffer != nullptr) {
            EXPECT_EQ(final_receive_buffer(r.log), c.final_buffer) << r.log;
        }
    }
}

namespace
{

const std::string LONG_LINE = raw_line(127488, 131, [] {
    std::vector<unsigned char> bytes(4096);
    for (std::size_t i = 0; i < bytes.size(); i++)
        bytes[i] = static_cast<unsigned char>(i % 256);
    return bytes;
}());
const std::string SHORT_LINE = "PGN: 127488  SRC: 131  LEN: 1    DATA: 01 \n";

// A long message that blocks the listener in its write to a pipe of one page nobody reads,
// then, a second later, a burst of short ones while it is still blocked, then the tail.
std::string stalling_feed(int burst, const char *tail)
{
    std::string feed = "(0.0) can0 09F20083#@4096\n";
    for (int i = 0; i < burst; i++)
        feed += "(1.0) can0 09F20083#01\n";
    return feed + tail;
}

std::string repeated(const std::string &text, int count)
{
    std::string all;
    for (int i = 0; i < count; i++)
        all += text;
    return all;
}

std::string lost_line(const char *count)
{
    if (!LINUX_ABI)
        return "";
    return std::string("n2k-listen: ") + count + " lost: the receive queue overflowed\n";
}

} // namespace

// Four messages fit the bus's queue; what comes while it is full is lost and told after the
// closing line, with status 1, however the loop ended. FreeBSD cannot tell, and says nothing.
TEST(ReceiveQueue, LostMessagesAreTold)
{
    const int QUEUE = 4;
    struct loss_case {
        const char *what;
        int burst;
        const char *tail;
        std::vector<std::string> env;
        bool close_output; // the reader goes away instead of reading on
        std::string out;
        std::string err;
        int status;
    };
    const std::string banner_and_long = BANNER_CAN0 + LONG_LINE;
    const std::string all_four = banner_and_long + repeated(SHORT_LINE, QUEUE) + CLOSING;
    const int linux_failure = LINUX_ABI ? 1 : 0;
    const loss_case cases[] = {
        {"everything fits", QUEUE, "!end\n", {}, false, all_four, "", 0},
        {"stopped by a signal",
         QUEUE + 8,
         "!end\n",
         {},
         false,
         all_four,
         lost_line("8 messages"),
         linux_failure},
        {"one lost",
         QUEUE + 1,
         "!end\n",
         {},
         false,
         all_four,
         lost_line("1 message"),
         linux_failure},
        {"a failed receive",
         QUEUE + 8,
         "!error ENETDOWN\n!wait\n",
         {},
         false,
         all_four,
         "recvfrom: Network is down\n" + lost_line("8 messages"),
         1},
        {"standard output failed too",
         QUEUE + 8,
         "!end\n",
         {},
         true,
         "",
         "stdout: Broken pipe\n" + lost_line("8 messages"),
         1},
        {"the count cannot be read",
         QUEUE + 8,
         "!end\n",
         {"N2K_SIM_FAIL_GETSOCKOPT=1:55:ENOPROTOOPT"},
         false,
         all_four,
         "",
         0},
    };
    for (const loss_case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string feed = stalling_feed(c.burst, c.tail);
        run_options options;
        options.args = {"can0"};
        options.feed = feed.c_str();
        options.env = {"N2K_SIM_PACE=1", "N2K_SIM_QUEUE=" + std::to_string(QUEUE)};
        options.env.insert(options.env.end(), c.env.begin(), c.env.end());
        options.stall_output = true;
        options.close_stalled_output = c.close_output;
        options.ignore_sigpipe = true;
        options.stdout_pipe_size = 4096;
        options.while_running = [](pid_t pid, const std::string &) {
            ASSERT_TRUE(wait_for_syscall(pid, {1})) << "never blocked in its write";
            ASSERT_TRUE(wait_until_fed(pid)) << "the bus never sent the burst";
        };
        run_result r = run_listener(options);

        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exit_status, c.status);
        // Read once, before the socket is closed.
        std::vector<std::string> reads = log_lines(r.log, "getsockopt 1 55 ");
        EXPECT_EQ(reads.size(), LINUX_ABI ? 1u : 0u) << r.log;
        if (!reads.empty()) {
            std::string log = r.log;
            EXPECT_LT(log.find(reads[0]), log.find("close 3")) << log;
        }
    }
}
