// The simulated bus, met through LD_PRELOAD as the listener meets it.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <linux/can.h>
#include <linux/can/j1939.h>
#include <net/if.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

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

// The end of a feed raises SIGTERM; a handler without restart turns it into EINTR here.
void arm_sigterm()
{
    struct sigaction action {
    };
    action.sa_handler = ignore_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
}

std::string temp_path(const char *name)
{
    return std::string("/tmp/n2k-sim-test-") + std::to_string(getpid()) + "-" + name;
}

void use_feed(const std::string &text)
{
    std::string path = temp_path("feed.log");
    std::ofstream(path) << text;
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
    const j1939_filter *filter = nullptr;
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
    if (options.filter != nullptr) {
        EXPECT_EQ(
            setsockopt(fd, SOL_CAN_J1939, SO_J1939_FILTER, options.filter, sizeof *options.filter),
            0);
    }
    std::vector<uint8_t> record = linux_record(if_nametoindex("can0"), pgn);
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
        unsetenv("N2K_SIM_LOG");
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

    struct {
        const char *what;
        uint32_t pgn;
        linux_options options;
        std::vector<message> expected;
    } cases[] = {
        {"no options", J1939_NO_PGN, {}, {}},
        {"broadcast only", J1939_NO_PGN, {true, false}, {PDU2, PDU1_ALL, DEPTH}},
        {"promiscuous only",
         J1939_NO_PGN,
         {false, true},
         {PDU2, PDU1_ALL, PDU1_OTHER, PGN0, DEPTH}},
        {"both", J1939_NO_PGN, {true, true}, {PDU2, PDU1_ALL, PDU1_OTHER, PGN0, DEPTH}},
        {"bind PGN 0 is PGN 0 only", 0, {true, false}, {}},
        {"bind PGN 0 with promiscuous is off",
         0,
         {true, true},
         {PDU2, PDU1_ALL, PDU1_OTHER, PGN0, DEPTH}},
        {"bind PGN filters broadcasts", 127488, {true, false}, {PDU2}},
        {"socket filter", J1939_NO_PGN, {true, true, &only_59904}, {PDU1_ALL, PDU1_OTHER}},
        {"socket filter that is no PGN", J1939_NO_PGN, {true, true, &no_pgn}, {}},
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

    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("\ntransmit 5\n"), std::string::npos) << text.str();
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
