// The simulated bus, met through LD_PRELOAD as the listener meets it.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <linux/can.h>
#include <linux/can/j1939.h>
#include <linux/sock_diag.h>
#include <net/if.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "test_files.h"

namespace
{

struct message {
    uint32_t pgn;
    unsigned source;
    long length;
    bool operator==(const message &) const = default;
};

std::ostream &operator<<(std::ostream &out, const message &m)
{
    return out << "{" << m.pgn << ", " << m.source << ", " << m.length << "}";
}

void ignore_signal(int) {}

volatile sig_atomic_t sigterms = 0;
volatile sig_atomic_t alarms = 0;

void count_sigterm(int)
{
    sigterms = sigterms + 1;
}

void count_alarm(int)
{
    alarms = alarms + 1;
}

// The end of a feed raises SIGTERM; a handler without restart turns it into EINTR here.
void arm_sigterm()
{
    struct sigaction action {
    };
    action.sa_handler = count_sigterm;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigterms = 0;
}

// SIGALRM in `ms`, with a handler without restart, to end a receive that would block for ever.
void alarm_in(int ms)
{
    struct sigaction action {
    };
    action.sa_handler = count_alarm;
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, nullptr);
    alarms = 0;

    itimerval timer{};
    timer.it_value.tv_usec = ms * 1000;
    setitimer(ITIMER_REAL, &timer, nullptr);
}

std::string temp_path(const char *name)
{
    return std::string("/tmp/n2k-sim-test-") + std::to_string(getpid()) + "-" + name;
}

void use_feed(const std::string &text)
{
    std::string path = temp_path("feed.log");
    write_file(path, text);
    setenv("N2K_SIM_FEED", path.c_str(), 1);
}

std::vector<uint8_t> freebsd_record(uint32_t index, uint32_t pgn)
{
    std::vector<uint8_t> record(24, 0);
    record[0] = 24;
    record[1] = 39;
    std::memcpy(&record[4], &index, 4);
    std::memcpy(&record[16], &pgn, 4);
    record[20] = 0xFF;
    return record;
}

std::vector<uint8_t> linux_record(uint32_t index, uint32_t pgn)
{
    sockaddr_can address;
    std::memset(&address, 0, sizeof address);
    address.can_family = AF_CAN;
    address.can_ifindex = static_cast<int>(index);
    address.can_addr.j1939.pgn = pgn;
    address.can_addr.j1939.addr = J1939_NO_ADDR;
    std::vector<uint8_t> record(sizeof address);
    std::memcpy(record.data(), &address, sizeof address);
    return record;
}

struct linux_options {
    bool broadcast = false;
    bool promiscuous = false;
    std::vector<j1939_filter> filters;
    uint8_t address = J1939_NO_ADDR;
};

int open_freebsd(uint32_t pgn)
{
    int fd = socket(39, SOCK_DGRAM, 7);
    EXPECT_GE(fd, 0);
    std::vector<uint8_t> record = freebsd_record(if_nametoindex("can0"), pgn);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(record.data()), 24), 0) << strerror(errno);
    return fd;
}

int open_linux(uint32_t pgn, const linux_options &options)
{
    int fd = socket(AF_CAN, SOCK_DGRAM, CAN_J1939);
    EXPECT_GE(fd, 0);
    int on = 1;
    if (options.broadcast) {
        EXPECT_EQ(setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on), 0);
    }
    if (options.promiscuous) {
        EXPECT_EQ(setsockopt(fd, SOL_CAN_J1939, SO_J1939_PROMISC, &on, sizeof on), 0);
    }
    if (!options.filters.empty()) {
        auto size = static_cast<socklen_t>(options.filters.size() * sizeof(j1939_filter));
        EXPECT_EQ(setsockopt(fd, SOL_CAN_J1939, SO_J1939_FILTER, options.filters.data(), size), 0);
    }
    std::vector<uint8_t> record = linux_record(if_nametoindex("can0"), pgn);
    record[20] = options.address;
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(record.data()), 24), 0) << strerror(errno);
    return fd;
}

// Everything delivered until the end of the feed.
std::vector<message> receive_all(int fd)
{
    std::vector<message> got;
    static uint8_t buffer[4096];
    for (;;) {
        uint8_t sender[24] = {};
        socklen_t length = sizeof sender;
        ssize_t n =
            recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(sender), &length);
        if (n < 0) {
            EXPECT_EQ(errno, EINTR);
            break;
        }
        uint32_t pgn;
        std::memcpy(&pgn, sender + 16, 4);
        got.push_back({pgn, sender[20], n});
    }
    close(fd);
    return got;
}

const char TRAFFIC[] = "(1.0) can0 09F20083#0102\n"   // PDU2 127488 from 131
                       "(1.1) can0 18EAFF45#00EE00\n" // PDU1 59904 to all, from 69
                       "(1.2) can0 18EA2345#00EE00\n" // PDU1 59904 to 0x23, from 69
                       "(1.3) can0 18002301#AA\n"     // PDU1 PGN 0 to 0x23, from 1
                       "(1.4) can1 09F20084#01\n"     // another interface
                       "(1.5) can0 123#0102\n"        // 11-bit
                       "(1.6) can0 09F20083#R\n"      // remote
                       "(1.7) can0 09F20083##1AABB\n" // CAN FD
                       "(1.8) can0 20000004#0000\n"   // error frame
                       "(1.9) can0 0DF50B05#@9\n";    // PDU2 128267 from 5, 9 bytes

const message PDU2 = {127488, 131, 2};
const message PDU1_ALL = {59904, 69, 3};
const message PDU1_OTHER = {59904, 69, 3};
const message PGN0 = {0, 1, 1};
const message DEPTH = {128267, 5, 9};

class SimBus : public testing::Test
{
  protected:
    void SetUp() override
    {
        arm_sigterm();
        for (const char *name :
             {"N2K_SIM_LOG", "N2K_SIM_PACE", "N2K_SIM_INTERFACES", "N2K_SIM_FAIL_SOCKET",
              "N2K_SIM_FAIL_BIND", "N2K_SIM_FAIL_SETSOCKOPT", "N2K_SIM_RAISE_AT_BIND",
              "N2K_SIM_QUEUE", "N2K_SIM_RCVBUF_MAX", "N2K_SIM_UNPRIVILEGED",
              "N2K_SIM_FAIL_GETSOCKOPT"})
            unsetenv(name);
        use_feed(TRAFFIC);
    }
};

} // namespace

TEST_F(SimBus, FreeBsdSplitsIdentifiersAndFiltersByPgn)
{
    EXPECT_EQ(receive_all(open_freebsd(0)),
              (std::vector<message>{PDU2, PDU1_ALL, PDU1_OTHER, PGN0, DEPTH}));
    EXPECT_EQ(receive_all(open_freebsd(59904)), (std::vector<message>{PDU1_ALL, PDU1_OTHER}));
    EXPECT_EQ(receive_all(open_freebsd(0xFFFFFFFF)), (std::vector<message>{}));
}

TEST_F(SimBus, LinuxNeedsItsOptions)
{
    j1939_filter only_59904{};
    only_59904.pgn = 59904;
    only_59904.pgn_mask = ~0u;
    j1939_filter no_pgn{};
    no_pgn.pgn = 0xFFFFFFFF;
    no_pgn.pgn_mask = ~0u;
    j1939_filter low_bits_masked{};
    low_bits_masked.pgn = 59904 | 0xFF;
    low_bits_masked.pgn_mask = 0x3FF00;
    j1939_filter from_69{};
    from_69.addr = 69;
    from_69.addr_mask = 0xFF;
    j1939_filter from_0x8x{};
    from_0x8x.addr = 0x85;
    from_0x8x.addr_mask = 0xF0;
    j1939_filter named{};
    named.name = 1;
    named.name_mask = ~0ull;
    j1939_filter named_unmasked{};
    named_unmasked.name = 1;
    j1939_filter only_pgn0{};
    only_pgn0.pgn_mask = J1939_PGN_MAX;
    j1939_filter from_5 = from_69;
    from_5.addr = 5;

    struct {
        const char *what;
        uint32_t pgn;
        linux_options options;
        std::vector<message> expected;
    } cases[] = {
        {"no options", J1939_NO_PGN, {false, false, {}, J1939_NO_ADDR}, {}},
        {"broadcast only", J1939_NO_PGN, {true, false, {}, J1939_NO_ADDR}, {PDU2, PDU1_ALL, DEPTH}},
        {"promiscuous only",
         J1939_NO_PGN,
         {false, true, {}, J1939_NO_ADDR},
         {PDU2, PDU1_ALL, PDU1_OTHER, PGN0, DEPTH}},
        {"both",
         J1939_NO_PGN,
         {true, true, {}, J1939_NO_ADDR},
         {PDU2, PDU1_ALL, PDU1_OTHER, PGN0, DEPTH}},
        {"bind PGN 0 is PGN 0 only", 0, {true, false, {}, J1939_NO_ADDR}, {}},
        {"bind PGN 0 with promiscuous is off",
         0,
         {true, true, {}, J1939_NO_ADDR},
         {PDU2, PDU1_ALL, PDU1_OTHER, PGN0, DEPTH}},
        {"bind PGN filters broadcasts", 127488, {true, false, {}, J1939_NO_ADDR}, {PDU2}},
        {"bind PGN 0 on an own address", 0, {false, false, {}, 0x23}, {PGN0}},
        {"own address, nothing else", J1939_NO_PGN, {false, false, {}, 0x23}, {PDU1_OTHER, PGN0}},
        {"socket filter",
         J1939_NO_PGN,
         {true, true, {only_59904}, J1939_NO_ADDR},
         {PDU1_ALL, PDU1_OTHER}},
        {"socket filter without promiscuous",
         J1939_NO_PGN,
         {true, false, {only_59904}, J1939_NO_ADDR},
         {PDU1_ALL}},
        {"socket filter that is no PGN", J1939_NO_PGN, {true, true, {no_pgn}, J1939_NO_ADDR}, {}},
        {"the pattern is masked when set",
         J1939_NO_PGN,
         {true, true, {low_bits_masked}, J1939_NO_ADDR},
         {PDU1_ALL, PDU1_OTHER}},
        {"source address",
         J1939_NO_PGN,
         {true, true, {from_69}, J1939_NO_ADDR},
         {PDU1_ALL, PDU1_OTHER}},
        {"source address under a mask",
         J1939_NO_PGN,
         {true, true, {from_0x8x}, J1939_NO_ADDR},
         {PDU2}},
        {"a NAME no sender has", J1939_NO_PGN, {true, true, {named}, J1939_NO_ADDR}, {}},
        {"a NAME under a zero mask",
         J1939_NO_PGN,
         {true, true, {named_unmasked}, J1939_NO_ADDR},
         {PDU2, PDU1_ALL, PDU1_OTHER, PGN0, DEPTH}},
        {"any of two filters",
         J1939_NO_PGN,
         {true, true, {only_pgn0, from_5}, J1939_NO_ADDR},
         {PGN0, DEPTH}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(receive_all(open_linux(c.pgn, c.options)), c.expected);
    }
}

TEST_F(SimBus, BindChecks)
{
    struct {
        const char *what;
        int family;
        std::vector<uint8_t> record;
        int error;
    } cases[] = {
        {"FreeBSD, loopback", 39, freebsd_record(if_nametoindex("lo"), 0), ENODEV},
        {"FreeBSD, index 0", 39, freebsd_record(0, 0), ENODEV},
        {"FreeBSD, wrong length byte", 39,
         [] {
             auto r = freebsd_record(100, 0);
             r[0] = 16;
             return r;
         }(),
         EINVAL},
        {"FreeBSD, an address", 39,
         [] {
             auto r = freebsd_record(100, 0);
             r[20] = 0x23;
             return r;
         }(),
         EINVAL},
        {"Linux, loopback", AF_CAN, linux_record(if_nametoindex("lo"), J1939_NO_PGN), ENODEV},
        {"Linux, PDU1 PGN with a low byte", AF_CAN, linux_record(100, 0xEA23), EINVAL},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        int fd = socket(c.family, SOCK_DGRAM, 7);
        ASSERT_GE(fd, 0);
        errno = 0;
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(const_cast<uint8_t *>(c.record.data())),
                       static_cast<socklen_t>(c.record.size())),
                  -1);
        EXPECT_EQ(errno, c.error);
        close(fd);
    }
}

// A message longer than the buffer is cut to it and the rest dropped; the sender length comes
// back shorter than the record, and a short length is honoured on the next receive.
TEST_F(SimBus, TruncationAndSenderLength)
{
    use_feed("(1.0) can0 09F20083#@4097\n(1.1) can0 09F20083#@3\n");
    int fd = open_freebsd(0);

    static uint8_t buffer[4096];
    uint8_t sender[24];
    std::memset(sender, 0xEE, sizeof sender);
    socklen_t length = sizeof sender;
    EXPECT_EQ(recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(sender), &length),
              4096);
    EXPECT_EQ(buffer[4095], 4095 % 256);
    EXPECT_LT(length, 24u);

    std::memset(sender, 0xEE, sizeof sender);
    EXPECT_EQ(recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(sender), &length),
              3);
    EXPECT_EQ(sender[16], 0xEE) << "wrote past the length it was given";
    close(fd);
}

TEST_F(SimBus, InjectedErrorsAndFlags)
{
    use_feed("!error ENETDOWN\n!error EINTR\n");
    int fd = open_freebsd(0);
    uint8_t buffer[8];
    EXPECT_EQ(recvfrom(fd, buffer, sizeof buffer, MSG_PEEK, nullptr, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(recvfrom(fd, buffer, sizeof buffer, 0, nullptr, nullptr), -1);
    EXPECT_EQ(errno, ENETDOWN);
    EXPECT_EQ(recvfrom(fd, buffer, sizeof buffer, 0, nullptr, nullptr), -1);
    EXPECT_EQ(errno, EINTR);
    close(fd);
}

TEST_F(SimBus, TransmissionIsLogged)
{
    std::string log = temp_path("bus.log");
    std::remove(log.c_str());
    setenv("N2K_SIM_LOG", log.c_str(), 1);
    use_feed("!wait\n");
    int fd = open_freebsd(0);
    ASSERT_EQ(write(fd, "hello", 5), 5);
    close(fd);
    unsetenv("N2K_SIM_LOG");

    std::string text = read_file_or_empty(log);
    EXPECT_NE(text.find("\ntransmit 5\n"), std::string::npos) << text;
}

// A blocked receive is a real system call: a handler installed with SA_RESTART does not end it,
// one installed without does.
TEST_F(SimBus, OnlyAHandlerWithoutRestartInterruptsTheReceive)
{
    use_feed("!wait\n");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        struct sigaction action {
        };
        action.sa_handler = ignore_signal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGUSR1, &action, nullptr);
        action.sa_flags = 0;
        sigaction(SIGUSR2, &action, nullptr);
        int fd = open_freebsd(0);
        if (write(ready[1], "r", 1) != 1)
            _exit(2);
        uint8_t buffer[8];
        ssize_t n = recvfrom(fd, buffer, sizeof buffer, 0, nullptr, nullptr);
        if (n < 0 && errno == EINTR)
            _exit(0);
        std::fprintf(stderr, "receive gave %zd, errno %d\n", n, errno);
        _exit(1);
    }

    auto blocked = [child] {
        for (int i = 0; i < 2000; i++) {
            std::ifstream in("/proc/" + std::to_string(child) + "/syscall");
            int number = -1;
            in >> number;
            if (number == 47 || number == 45)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    };
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    ASSERT_TRUE(blocked());
    kill(child, SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, WNOHANG), 0) << "SA_RESTART let the receive end: " << status;
    ASSERT_TRUE(blocked());
    kill(child, SIGUSR2);
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

namespace
{

std::string hex_pattern(size_t size)
{
    std::string text;
    char pair[3];
    for (size_t i = 0; i < size; i++) {
        std::snprintf(pair, sizeof pair, "%02X", static_cast<unsigned>(i % 256));
        text += pair;
    }
    return text;
}

ssize_t receive(int fd, uint8_t *buffer, size_t size)
{
    uint8_t sender[24];
    socklen_t length = sizeof sender;
    return recvfrom(fd, buffer, size, 0, reinterpret_cast<sockaddr *>(sender), &length);
}

std::string start_log()
{
    std::string path = temp_path("events.log");
    std::remove(path.c_str());
    setenv("N2K_SIM_LOG", path.c_str(), 1);
    return path;
}

struct probe_run {
    int status;
    std::string out;
    std::string err;
};

// Runs the probe, which is built without the bus, under this process's LD_PRELOAD.
probe_run run_probe(const std::vector<std::string> &args, bool close_stdout)
{
    std::string out_path = temp_path("probe.out");
    std::string err_path = temp_path("probe.err");
    pid_t child = fork();
    if (child == 0) {
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
            _exit(126);
        if (close_stdout)
            close(1);
        std::vector<char *> argv{const_cast<char *>(SIM_PROBE_PATH)};
        for (const std::string &arg : args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        execv(SIM_PROBE_PATH, argv.data());
        _exit(127);
    }
    int status = -1;
    waitpid(child, &status, 0);
    return {status, read_file_or_empty(out_path), read_file_or_empty(err_path)};
}

} // namespace

TEST_F(SimBus, SplitsIdentifiersByPduFormat)
{
    struct {
        const char *id;
        uint32_t pgn;
        unsigned source;
        bool to_all; // PDU2, or PDU1 to an address that is no single node
    } cases[] = {
        {"09F20083", 127488, 0x83, true},
        {"0CF00400", 61444, 0x00, true},   // PF 240, the first PDU2 format
        {"18EFFE10", 61184, 0x10, true},   // PF 239 to 0xFE
        {"18EA2345", 59904, 0x45, false},  // the destination is not part of the PGN
        {"1DFF1234", 130834, 0x34, true},  // priority 7, data page 1
        {"01EE0002", 126464, 0x02, false}, // data page 1, PDU1 to address 0
        {"02000001", 131072, 0x01, false}, // extended data page
        {"0FFFFF30", J1939_PGN_MAX, 0x30, true},
    };
    std::string text;
    std::vector<message> every;
    std::vector<message> to_all;
    for (const auto &c : cases) {
        text += std::string("(1.0) can0 ") + c.id + "#AA\n";
        every.push_back({c.pgn, c.source, 1});
        if (c.to_all)
            to_all.push_back({c.pgn, c.source, 1});
    }
    use_feed(text);

    EXPECT_EQ(receive_all(open_freebsd(0)), every);
    EXPECT_EQ(receive_all(open_linux(J1939_NO_PGN, {true, false, {}, J1939_NO_ADDR})), to_all);
}

TEST_F(SimBus, AnEmptySocketFilterRemovesFiltering)
{
    j1939_filter only_pgn0{};
    only_pgn0.pgn_mask = J1939_PGN_MAX;
    int fd = open_linux(J1939_NO_PGN, {true, true, {only_pgn0}, J1939_NO_ADDR});

    EXPECT_EQ(setsockopt(fd, SOL_CAN_J1939, SO_J1939_FILTER, nullptr, 0), 0);
    EXPECT_EQ(receive_all(fd), (std::vector<message>{PDU2, PDU1_ALL, PDU1_OTHER, PGN0, DEPTH}));
}

TEST_F(SimBus, OptionLengthsAsTheKernelChecksThem)
{
    std::vector<j1939_filter> filters(J1939_FILTER_MAX + 1);
    struct {
        const char *what;
        int family;
        int level;
        int name;
        socklen_t length;
        int error;
    } cases[] = {
        {"broadcast, short", AF_CAN, SOL_SOCKET, SO_BROADCAST, 2, EINVAL},
        {"broadcast, long", AF_CAN, SOL_SOCKET, SO_BROADCAST, 8, 0},
        {"promiscuous, long", AF_CAN, SOL_CAN_J1939, SO_J1939_PROMISC, 8, EINVAL},
        {"filter, not whole records", AF_CAN, SOL_CAN_J1939, SO_J1939_FILTER,
         sizeof(j1939_filter) + 1, EINVAL},
        {"filter, the most records", AF_CAN, SOL_CAN_J1939, SO_J1939_FILTER,
         J1939_FILTER_MAX * sizeof(j1939_filter), 0},
        {"filter, one record too many", AF_CAN, SOL_CAN_J1939, SO_J1939_FILTER,
         (J1939_FILTER_MAX + 1) * sizeof(j1939_filter), EINVAL},
        {"an option nobody models", AF_CAN, SOL_CAN_J1939, SO_J1939_SEND_PRIO, 4, 0},
        {"FreeBSD takes anything", 39, SOL_CAN_J1939, SO_J1939_PROMISC, 1, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        int fd = socket(c.family, SOCK_DGRAM, 7);
        ASSERT_GE(fd, 0);
        errno = 0;
        EXPECT_EQ(setsockopt(fd, c.level, c.name, filters.data(), c.length), c.error ? -1 : 0);
        EXPECT_EQ(errno, c.error);
        close(fd);
    }
}

TEST_F(SimBus, BindRefusesMalformedRecords)
{
    auto changed = [](std::vector<uint8_t> record, size_t at, uint8_t value) {
        record[at] = value;
        return record;
    };
    std::vector<uint8_t> freebsd = freebsd_record(100, 0);
    std::vector<uint8_t> linux = linux_record(100, J1939_NO_PGN);
    struct {
        const char *what;
        int family;
        std::vector<uint8_t> record;
        socklen_t length;
        int error;
    } cases[] = {
        {"FreeBSD, short length", 39, freebsd, 23, EINVAL},
        {"FreeBSD, long length", 39,
         [&] {
             auto r = freebsd;
             r.push_back(0);
             return r;
         }(),
         25, EINVAL},
        {"FreeBSD, Linux's family", 39, changed(freebsd, 1, AF_CAN), 24, EINVAL},
        {"FreeBSD, a NAME", 39, changed(freebsd, 8, 1), 24, EINVAL},
        {"FreeBSD, an unknown index", 39, changed(freebsd, 4, 99), 24, ENODEV},
        {"Linux, short length", AF_CAN, linux, 16, EINVAL},
        {"Linux, FreeBSD's length and family", AF_CAN, freebsd, 24, EINVAL},
        {"Linux, index 0", AF_CAN, linux_record(0, J1939_NO_PGN), 24, ENODEV},
        {"Linux, an unknown index", AF_CAN, linux_record(99, J1939_NO_PGN), 24, ENODEV},
        {"Linux, a clean PDU1 PGN", AF_CAN, linux_record(100, 0xEA00), 24, 0},
        {"Linux, a PDU2 PGN", AF_CAN, linux_record(100, 0xF004), 24, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        int fd = socket(c.family, SOCK_DGRAM, 7);
        ASSERT_GE(fd, 0);
        errno = 0;
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(const_cast<uint8_t *>(c.record.data())),
                       c.length),
                  c.error ? -1 : 0);
        EXPECT_EQ(errno, c.error);
        close(fd);
    }
}

TEST_F(SimBus, LongMessagesAreCutAndTheNextArrivesWhole)
{
    struct {
        const char *what;
        std::string data;
    } cases[] = {
        {"hex bytes", hex_pattern(4097)},
        {"generated bytes", "@4097"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        use_feed("(1.0) can0 09F20083#" + c.data + "\n(1.1) can0 09F20083#A1B2C3\n");
        int fd = open_freebsd(0);

        static uint8_t buffer[4096 + 16];
        std::memset(buffer, 0xEE, sizeof buffer);
        EXPECT_EQ(receive(fd, buffer, 4096), 4096);
        for (size_t i = 0; i < 4096; i++)
            ASSERT_EQ(buffer[i], i % 256) << "byte " << i;
        EXPECT_EQ(buffer[4096], 0xEE) << "wrote past the buffer";

        EXPECT_EQ(receive(fd, buffer, 4096), 3);
        EXPECT_EQ(buffer[0], 0xA1);
        EXPECT_EQ(buffer[2], 0xC3);
        close(fd);
    }

    use_feed("(1.0) can0 09F20083#@100000\n(1.1) can0 18EAFF45#\n");
    int fd = open_freebsd(0);
    std::vector<uint8_t> large(200000);
    EXPECT_EQ(receive(fd, large.data(), large.size()), 100000) << "a buffer that holds it all";
    EXPECT_EQ(large[99999], 99999 % 256);
    EXPECT_EQ(receive(fd, large.data(), large.size()), 0) << "an empty message is a message";
    close(fd);
}

TEST_F(SimBus, SenderRecordOfEachFlavour)
{
    use_feed("(1.0) can0 18EAFF45#01\n(1.0) can0 18EAFF45#01\n(1.0) can0 18EAFF45#01\n");
    const uint8_t freebsd[24] = {24, 39, 0, 0, 100, 0,    0, 0, 0,    0, 0, 0,
                                 0,  0,  0, 0, 0,   0xEA, 0, 0, 0x45, 0, 0, 0};
    const uint8_t linux[24] = {AF_CAN, 0, 0, 0, 100, 0,    0, 0, 0,    0, 0, 0,
                               0,      0, 0, 0, 0,   0xEA, 0, 0, 0x45, 0, 0, 0};
    struct {
        const char *what;
        bool is_linux;
        const uint8_t *expected;
    } cases[] = {
        {"FreeBSD", false, freebsd},
        {"Linux", true, linux},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        int fd = c.is_linux ? open_linux(J1939_NO_PGN, {true, false, {}, J1939_NO_ADDR})
                            : open_freebsd(0);
        for (socklen_t offered : {24u, 16u, 0u}) {
            uint8_t sender[24];
            std::memset(sender, 0xEE, sizeof sender);
            socklen_t length = offered;
            uint8_t byte;
            ASSERT_EQ(recvfrom(fd, &byte, 1, 0, reinterpret_cast<sockaddr *>(sender), &length), 1);
            EXPECT_EQ(length, 16u) << "handed back shorter than the record";
            for (socklen_t i = 0; i < 24; i++)
                EXPECT_EQ(sender[i], i < offered ? c.expected[i] : 0xEE)
                    << "byte " << i << " of " << offered;
        }
        close(fd);
    }
}

TEST_F(SimBus, RefusedReceiveFlagsLeaveTheMessage)
{
    use_feed("(1.0) can0 09F20083#0102\n");
    int fd = open_freebsd(0);
    uint8_t buffer[8];
    for (int flags : {MSG_PEEK, MSG_TRUNC, MSG_WAITALL}) {
        errno = 0;
        EXPECT_EQ(recvfrom(fd, buffer, sizeof buffer, flags, nullptr, nullptr), -1);
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_EQ(recvfrom(fd, buffer, sizeof buffer, 0, nullptr, nullptr), 2);
    close(fd);
}

TEST_F(SimBus, FailuresFromTheEnvironment)
{
    setenv("N2K_SIM_FAIL_SOCKET", "EAFNOSUPPORT", 1);
    for (int family : {39, AF_CAN}) {
        errno = 0;
        EXPECT_EQ(socket(family, SOCK_DGRAM, 7), -1);
        EXPECT_EQ(errno, EAFNOSUPPORT);
    }
    int other = socket(AF_UNIX, SOCK_DGRAM, 0);
    EXPECT_GE(other, 0) << "only the J1939 socket fails";
    close(other);
    unsetenv("N2K_SIM_FAIL_SOCKET");

    setenv("N2K_SIM_FAIL_SETSOCKOPT", "1:6:EPERM", 1);
    int fd = socket(AF_CAN, SOCK_DGRAM, CAN_J1939);
    int on = 1;
    EXPECT_EQ(setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(setsockopt(fd, SOL_CAN_J1939, SO_J1939_PROMISC, &on, sizeof on), 0);
    unsetenv("N2K_SIM_FAIL_SETSOCKOPT");

    setenv("N2K_SIM_FAIL_BIND", "EADDRINUSE", 1);
    std::vector<uint8_t> record = linux_record(100, J1939_NO_PGN);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(record.data()), 24), -1);
    EXPECT_EQ(errno, EADDRINUSE);
    close(fd);
}

TEST_F(SimBus, AnInjectedErrorFailsOneReceive)
{
    use_feed("(1.0) can0 09F20083#01\n!error EIO\n(1.1) can0 09F20083#0203\n");
    int fd = open_freebsd(0);
    uint8_t buffer[8];
    EXPECT_EQ(receive(fd, buffer, sizeof buffer), 1);
    EXPECT_EQ(receive(fd, buffer, sizeof buffer), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(receive(fd, buffer, sizeof buffer), 2);
    close(fd);
}

TEST_F(SimBus, InterfacesFromTheEnvironment)
{
    EXPECT_EQ(if_nametoindex("can0"), 100u);
    EXPECT_EQ(if_nametoindex("can1"), 101u);

    setenv("N2K_SIM_INTERFACES", "vcan7=7,bus2=12", 1);
    EXPECT_EQ(if_nametoindex("vcan7"), 7u);
    EXPECT_EQ(if_nametoindex("bus2"), 12u);
    errno = 0;
    EXPECT_EQ(if_nametoindex("can0"), 0u);
    EXPECT_EQ(errno, ENODEV);
    unsigned lo = 0;
    std::ifstream("/sys/class/net/lo/ifindex") >> lo;
    EXPECT_EQ(if_nametoindex("lo"), lo) << "a real interface keeps its index";

    use_feed("(1.0) can0 09F20083#01\n(1.1) vcan7 09F20084#0102\n");
    int fd = socket(39, SOCK_DGRAM, 7);
    std::vector<uint8_t> record = freebsd_record(7, 0);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(record.data()), 24), 0);
    EXPECT_EQ(receive_all(fd), (std::vector<message>{{127488, 0x84, 2}}));
}

// The end of a capture stops the program as a user would, and the bus then stays quiet.
TEST_F(SimBus, TheEndRaisesSigtermOnce)
{
    for (const char *feed :
         {"(1.0) can0 09F20083#01\n!end\n(1.1) can0 09F20083#02\n", "(1.0) can0 09F20083#01\n"}) {
        SCOPED_TRACE(feed);
        arm_sigterm();
        use_feed(feed);
        int fd = open_freebsd(0);
        uint8_t buffer[8];
        EXPECT_EQ(receive(fd, buffer, sizeof buffer), 1);

        EXPECT_EQ(receive(fd, buffer, sizeof buffer), -1);
        EXPECT_EQ(errno, EINTR);
        EXPECT_EQ(sigterms, 1) << "the handler runs before the receive returns";

        alarm_in(100);
        EXPECT_EQ(receive(fd, buffer, sizeof buffer), -1);
        EXPECT_EQ(errno, EINTR);
        EXPECT_EQ(alarms, 1) << "what follows the end is never delivered";
        EXPECT_EQ(sigterms, 1);
        close(fd);
    }
}

TEST_F(SimBus, PacedByTimestamps)
{
    using clock = std::chrono::steady_clock;
    for (bool paced : {true, false}) {
        SCOPED_TRACE(paced ? "paced" : "as fast as possible");
        if (paced)
            setenv("N2K_SIM_PACE", "1", 1);
        else
            unsetenv("N2K_SIM_PACE");
        use_feed("(1700000000.900000) can0 09F20083#01\n(1700000001.150000) can0 09F20083#02\n");

        auto start = clock::now();
        int fd = open_freebsd(0);
        uint8_t buffer[8];
        EXPECT_EQ(receive(fd, buffer, sizeof buffer), 1);
        EXPECT_LT(clock::now() - start, std::chrono::milliseconds(200)) << "the first at once";
        EXPECT_EQ(receive(fd, buffer, sizeof buffer), 1);
        auto elapsed = clock::now() - start;
        if (paced)
            EXPECT_GE(elapsed, std::chrono::milliseconds(250));
        else
            EXPECT_LT(elapsed, std::chrono::milliseconds(200));
        close(fd);
    }
}

TEST_F(SimBus, EventLogLines)
{
    std::string log = start_log();
    use_feed("(1.0) can0 09F20083#00AB12FF\n!error EIO\n(1.1) can0 18EAFF45#0102\n!end\n");

    unsigned index = if_nametoindex("can0");
    int fd = socket(39, SOCK_DGRAM, 7);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    std::vector<uint8_t> record = freebsd_record(index, 0);
    bind(fd, reinterpret_cast<sockaddr *>(record.data()), 24);

    uint8_t buffer[4096];
    uint8_t sender[24];
    socklen_t length = 24;
    recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(sender), &length);
    length = 24;
    recvfrom(fd, buffer, sizeof buffer, MSG_PEEK, reinterpret_cast<sockaddr *>(sender), &length);
    recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(sender), &length);
    length = 16;
    recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(sender), &length);
    length = 24;
    recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(sender), &length);
    alarm_in(50);
    length = 24;
    recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(sender), &length);
    close(fd);

    std::string n = std::to_string(fd);
    EXPECT_EQ(read_file_or_empty(log),
              "if_nametoindex can0 -> 100\n"
              "socket 39 2 7 -> " +
                  n +
                  "\n"
                  "setsockopt 1 6 01000000 -> 0\n"
                  "bind 1827000064000000000000000000000000000000ff000000 -> 0\n"
                  "recvfrom 4096 0 24 -> 4\n"
                  "recvfrom 4096 2 24 -> -1 EINVAL\n"
                  "recvfrom 4096 0 24 -> -1 EIO\n"
                  "recvfrom 4096 0 16 -> 2\n"
                  "end\n"
                  "recvfrom 4096 0 24 -> -1 EINTR\n"
                  "wait\n"
                  "recvfrom 4096 0 24 -> -1 EINTR\n"
                  "close " +
                  n + "\n");
}

TEST_F(SimBus, EventLogLinesOfFailures)
{
    std::string log = start_log();
    unsetenv("N2K_SIM_FEED");

    setenv("N2K_SIM_FAIL_SOCKET", "EAFNOSUPPORT", 1);
    socket(39, SOCK_DGRAM, 7);
    unsetenv("N2K_SIM_FAIL_SOCKET");
    if_nametoindex("nosuch0");
    int fd = socket(AF_CAN, SOCK_DGRAM, CAN_J1939);
    setenv("N2K_SIM_FAIL_SETSOCKOPT", "107:1:ENOPROTOOPT", 1);
    j1939_filter filter{};
    filter.pgn = 0x1F200;
    filter.pgn_mask = J1939_PGN_MAX;
    setsockopt(fd, SOL_CAN_J1939, SO_J1939_FILTER, &filter, sizeof filter);
    unsetenv("N2K_SIM_FAIL_SETSOCKOPT");
    std::vector<uint8_t> record = linux_record(5, J1939_NO_PGN);
    bind(fd, reinterpret_cast<sockaddr *>(record.data()), 24);
    close(fd);

    std::string n = std::to_string(fd);
    EXPECT_EQ(read_file_or_empty(log),
              "socket 39 2 7 -> -1 EAFNOSUPPORT\n"
              "if_nametoindex nosuch0 -> 0 ENODEV\n"
              "socket 29 2 7 -> " +
                  n +
                  "\n"
                  "setsockopt 107 1 "
                  "0000000000000000000000000000000000f20100ffff030000000000000000"
                  "00 -> -1 ENOPROTOOPT\n"
                  "bind 1d00000005000000000000000000000000000400ff000000 -> -1 ENODEV\n"
                  "close " +
                  n + "\n");
}

TEST_F(SimBus, NothingTransmittedIsNothingLogged)
{
    std::string log = start_log();
    int fd = open_freebsd(0);
    close(fd);
    EXPECT_EQ(read_file_or_empty(log).find("transmit"), std::string::npos)
        << read_file_or_empty(log);
}

// A program whose standard output was closed gets the socket as descriptor 1 and prints into
// it; the bus sees that at the exit, when the C library has flushed it.
TEST_F(SimBus, TransmissionAtTheExit)
{
    struct {
        const char *what;
        std::vector<std::string> args;
        std::string log_end;
    } cases[] = {
        {"open at the exit", {"can0", "--keep-open"}, "transmit 13\n"},
        {"closed before the flush", {"can0"}, "close 1\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::string log = start_log();
        use_feed("(1.0) can0 09F20083#00AB12FF\n");
        probe_run run = run_probe(c.args, true);
        EXPECT_EQ(run.status, 0) << run.err;
        std::string text = read_file_or_empty(log);
        EXPECT_EQ(text.substr(0, 19), "socket 39 2 7 -> 1\n");
        ASSERT_GE(text.size(), c.log_end.size());
        EXPECT_EQ(text.substr(text.size() - c.log_end.size()), c.log_end) << text;
    }
}

TEST_F(SimBus, ProbeSeesTheFeedThroughPreload)
{
    use_feed("(1.0) can0 09F20083#00AB12FF\n(1.1) can0 18EAFF45#0102\n(1.2) can0 0CF00400#@5000\n");
    probe_run run = run_probe({"can0"}, false);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "127488 131 4\n59904 69 2\n61444 0 4096\n");
    EXPECT_EQ(run.err, "");
}

// A setup the bus cannot follow ends the program at once, so no test passes on it unnoticed.
TEST_F(SimBus, ABrokenSetupIsFatal)
{
    std::string feed = temp_path("feed.log");
    struct {
        const char *what;
        std::string text;
        std::string message;
    } cases[] = {
        {"no timestamp", "# a capture\n09F20083#01\n",
         "line 2: a frame starts with a timestamp such as (1700000000.123456)"},
        {"half a byte", "(1.0) can0 09F20083#0\n", "line 1: data must be whole hex pairs"},
        {"seven digits", "(1.0) can0 9F20083#00\n",
         "line 1: the identifier must be 3 or 8 hex digits"},
        {"no errno", "!error EBOGUS\n", "line 1: !error needs one errno name, such as EIO"},
        {"no directive", "!sleep 5\n", "line 1: unknown directive !sleep"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        use_feed(c.text);
        probe_run run = run_probe({"can0"}, false);
        EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 3) << run.status;
        EXPECT_EQ(run.err, "n2k_sim: " + feed + ": " + c.message + "\n");
        EXPECT_EQ(run.out, "");
    }

    setenv("N2K_SIM_FEED", temp_path("missing.log").c_str(), 1);
    probe_run run = run_probe({"can0"}, false);
    EXPECT_EQ(run.err, "n2k_sim: " + temp_path("missing.log") + ": No such file or directory\n");

    use_feed("(1.0) can0 09F20083#01\n");
    setenv("N2K_SIM_FAIL_BIND", "EBOGUS", 1);
    run = run_probe({"can0"}, false);
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 3) << run.status;
    EXPECT_EQ(run.err, "n2k_sim: N2K_SIM_FAIL_BIND: unknown errno name EBOGUS\n");
    unsetenv("N2K_SIM_FAIL_BIND");

    struct {
        const char *queue;
        const char *pace;
        const char *message;
    } queue_cases[] = {
        {"4", nullptr, "N2K_SIM_QUEUE needs N2K_SIM_PACE=1: an unpaced feed waits for the program"},
        {"0", "1", "N2K_SIM_QUEUE must be a number from 1 to 4294967295, not 0"},
        {"four", "1", "N2K_SIM_QUEUE must be a number from 1 to 4294967295, not four"},
    };
    for (const auto &c : queue_cases) {
        SCOPED_TRACE(c.queue);
        setenv("N2K_SIM_QUEUE", c.queue, 1);
        if (c.pace != nullptr)
            setenv("N2K_SIM_PACE", c.pace, 1);
        else
            unsetenv("N2K_SIM_PACE");
        run = run_probe({"can0"}, false);
        EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 3) << run.status;
        EXPECT_EQ(run.err, std::string("n2k_sim: ") + c.message + "\n");
    }
}

namespace
{

int receive_buffer(int fd)
{
    int size = -1;
    socklen_t length = sizeof size;
    EXPECT_EQ(getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &length), 0) << strerror(errno);
    EXPECT_EQ(length, sizeof size);
    return size;
}

// The kernel's memory counters of the socket, as many as it fills.
std::vector<uint32_t> memory_counters(int fd, socklen_t offered = SK_MEMINFO_VARS * 4)
{
    std::vector<uint32_t> counters(offered / 4 + 1, 0xEEEEEEEE);
    socklen_t length = offered;
    EXPECT_EQ(getsockopt(fd, SOL_SOCKET, SO_MEMINFO, counters.data(), &length), 0)
        << strerror(errno);
    counters.resize(length / 4);
    return counters;
}

// Until the bus's feeder, the one child of this thread, has sent everything and waits.
bool wait_until_fed()
{
    std::string children = "/proc/self/task/" + std::to_string(gettid()) + "/children";
    for (int i = 0; i < 4000; i++) {
        int feeder = std::atoi(read_file_or_empty(children).c_str());
        std::string call =
            feeder > 0 ? read_file_or_empty("/proc/" + std::to_string(feeder) + "/syscall") : "";
        int number = std::atoi(call.c_str());
        if (!call.empty() && call.compare(0, 7, "running") != 0 && (number == 7 || number == 271))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

} // namespace

// Linux caps SO_RCVBUF at rmem_max and keeps twice what it grants; SO_RCVBUFFORCE passes the
// cap for a privileged process only. FreeBSD refuses what is over its limit.
TEST_F(SimBus, ReceiveBufferSizes)
{
    struct {
        const char *what;
        int family;
        int name;
        int size;
        std::vector<const char *> env;
        int error;
        int granted;
    } cases[] = {
        {"Linux, under the cap", AF_CAN, SO_RCVBUF, 100000, {}, 0, 200000},
        {"Linux, capped", AF_CAN, SO_RCVBUF, 8388608, {}, 0, 425984},
        {"Linux, a raised cap",
         AF_CAN,
         SO_RCVBUF,
         8388608,
         {"N2K_SIM_RCVBUF_MAX=8388608"},
         0,
         16777216},
        {"Linux, negative is the cap", AF_CAN, SO_RCVBUF, -1, {}, 0, 425984},
        {"Linux, the least kept", AF_CAN, SO_RCVBUF, 1, {}, 0, 2304},
        {"Linux, forced", AF_CAN, SO_RCVBUFFORCE, 8388608, {}, 0, 16777216},
        {"Linux, forced negative", AF_CAN, SO_RCVBUFFORCE, -1, {}, 0, 2304},
        {"Linux, forced without privilege",
         AF_CAN,
         SO_RCVBUFFORCE,
         8388608,
         {"N2K_SIM_UNPRIVILEGED=1"},
         EPERM,
         212992},
        {"FreeBSD, under the limit", 39, SO_RCVBUF, 2097152, {}, 0, 2097152},
        {"FreeBSD, over the limit", 39, SO_RCVBUF, 2097153, {}, ENOBUFS, 212992},
        {"FreeBSD, a lowered limit",
         39,
         SO_RCVBUF,
         300000,
         {"N2K_SIM_RCVBUF_MAX=262144"},
         ENOBUFS,
         212992},
        {"FreeBSD, nothing", 39, SO_RCVBUF, 0, {}, EINVAL, 212992},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        for (const char *setting : c.env)
            putenv(const_cast<char *>(setting));
        int fd = socket(c.family, SOCK_DGRAM, 7);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(receive_buffer(fd), 212992);
        errno = 0;
        EXPECT_EQ(setsockopt(fd, SOL_SOCKET, c.name, &c.size, sizeof c.size), c.error ? -1 : 0);
        EXPECT_EQ(errno, c.error);
        EXPECT_EQ(receive_buffer(fd), c.granted);
        close(fd);
        for (const char *setting : c.env)
            unsetenv(std::string(setting, std::strchr(setting, '=')).c_str());
    }

    int fd = socket(AF_CAN, SOCK_DGRAM, CAN_J1939);
    short half = 1;
    EXPECT_EQ(setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &half, sizeof half), -1);
    EXPECT_EQ(errno, EINVAL);
    close(fd);
}

// At most what is offered, and the length written; FreeBSD has no such option.
TEST_F(SimBus, MemoryCounters)
{
    int fd = socket(AF_CAN, SOCK_DGRAM, CAN_J1939);
    EXPECT_EQ(memory_counters(fd), (std::vector<uint32_t>{0, 212992, 0, 212992, 0, 0, 0, 0, 0}));
    EXPECT_EQ(memory_counters(fd, 100).size(), size_t{SK_MEMINFO_VARS});
    EXPECT_EQ(memory_counters(fd, 8), (std::vector<uint32_t>{0, 212992}));

    setenv("N2K_SIM_FAIL_GETSOCKOPT", "1:55:ENOPROTOOPT", 1);
    uint32_t counters[SK_MEMINFO_VARS];
    socklen_t length = sizeof counters;
    EXPECT_EQ(getsockopt(fd, SOL_SOCKET, SO_MEMINFO, counters, &length), -1);
    EXPECT_EQ(errno, ENOPROTOOPT);
    unsetenv("N2K_SIM_FAIL_GETSOCKOPT");
    close(fd);

    fd = socket(39, SOCK_DGRAM, 7);
    EXPECT_EQ(getsockopt(fd, SOL_SOCKET, SO_MEMINFO, counters, &length), -1);
    EXPECT_EQ(errno, ENOPROTOOPT);
    close(fd);
}

// A paced feed's messages wait in a queue of N2K_SIM_QUEUE; what arrives while it is full is
// dropped and counted. A message the socket does not take never counts, nor does the end.
TEST_F(SimBus, TheQueueDropsWhatArrivesWhileNobodyReceives)
{
    setenv("N2K_SIM_PACE", "1", 1);
    setenv("N2K_SIM_QUEUE", "2", 1);
    j1939_filter only_59904{};
    only_59904.pgn = 59904;
    only_59904.pgn_mask = ~0u;
    struct {
        const char *what;
        std::string feed;
        std::vector<j1939_filter> filters;
        std::vector<message> expected;
        uint32_t drops;
    } cases[] = {
        {"five at once", std::string(5, '\0'), {}, {PDU2, PDU2}, 3},
        {"two at once", std::string(2, '\0'), {}, {PDU2, PDU2}, 0},
        {"those not taken",
         "(1.0) can0 09F20083#0102\n(1.0) can0 18EAFF45#00EE00\n"
         "(1.0) can0 09F20083#0102\n(1.0) can0 18EAFF45#00EE00\n",
         {only_59904},
         {PDU1_ALL, PDU1_ALL},
         0},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.feed.find('(') == std::string::npos) {
            std::string feed;
            for (size_t i = 0; i < c.feed.size(); i++)
                feed += "(1.0) can0 09F20083#0102\n";
            c.feed = feed;
        }
        arm_sigterm();
        use_feed(c.feed);
        int fd = open_linux(J1939_NO_PGN, {true, true, c.filters, J1939_NO_ADDR});
        ASSERT_TRUE(wait_until_fed());
        EXPECT_EQ(memory_counters(fd)[SK_MEMINFO_DROPS], c.drops) << "counted on arrival";
        EXPECT_EQ(memory_counters(fd)[SK_MEMINFO_RMEM_ALLOC], c.expected.size() * 768);
        EXPECT_EQ(receive_all(fd), c.expected);
        EXPECT_EQ(sigterms, 1) << "the end is never dropped";
    }
}

// While the program waits in its receive, every arrival is taken at once: a queue of one loses
// nothing to a feed it keeps up with.
TEST_F(SimBus, NothingIsDroppedWhileTheProgramReceives)
{
    setenv("N2K_SIM_PACE", "1", 1);
    setenv("N2K_SIM_QUEUE", "1", 1);
    std::string feed;
    for (int i = 0; i < 10; i++)
        feed += "(1." + std::to_string(i) + "0) can0 09F20083#0102\n";
    use_feed(feed);
    int fd = open_linux(J1939_NO_PGN, {true, true, {}, J1939_NO_ADDR});
    uint8_t buffer[8];
    for (int i = 0; i < 10; i++)
        EXPECT_EQ(receive(fd, buffer, sizeof buffer), 2);
    EXPECT_EQ(memory_counters(fd)[SK_MEMINFO_DROPS], 0u);
    close(fd);
}
