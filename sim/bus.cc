// A J1939 socket layer for a machine without one: the calls below take over the J1939 socket
// of a program they are preloaded into, and hand every other call on to the C library.
//
// The program's J1939 descriptor is one end of an AF_UNIX stream pair. A feeder child writes
// the 32-bit index of each feed item into the other end, in order and, when paced, on time; a
// receive blocks in a real recv of one index on the program's end, so signals interrupt it
// exactly as they would interrupt a kernel socket. The payloads stay in this process and are
// copied from here. A stream, not a datagram pair: the feeder writes a thousand indexes at a
// time and a 4-byte read from a stream costs a quarter of a datagram's send and receive.
//
// A paced feed may be given a receive queue of a few messages (N2K_SIM_QUEUE). An index that
// the feeder has written counts as a message that has arrived; each receive first takes every
// arrived index off the stream, and one that finds the queue full is dropped and counted, as
// the kernel counts it. So messages are lost exactly while the program does not receive: while
// it formats, or sits in a blocked write to a reader that does not read.
#include "event_log.h"
#include "feed.h"
#include "libc_calls.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/can.h>
#include <linux/can/j1939.h>
#include <linux/sock_diag.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#define SIM_EXPORT extern "C" __attribute__((visibility("default")))

namespace
{

constexpr int FREEBSD_AF_CAN = 39;
constexpr int CAN_J1939_PROTOCOL = 7;
constexpr socklen_t ADDRESS_SIZE = 24;
constexpr socklen_t ADDRESS_LENGTH_REPORTED = 16;
constexpr int SOCKET_TABLE_SIZE = 1024;
constexpr int HIGH_FD = 200;
constexpr size_t SEND_BATCH = 1024;
constexpr size_t MAX_LOGGED_OPTION = 65536;

// The receive queue's size before the program sets one, Linux's net.core.rmem_default; the
// largest SO_RCVBUF granted without force, Linux's net.core.rmem_max and FreeBSD's
// kern.ipc.maxsockbuf, both as the kernels ship; and the least Linux keeps (SOCK_MIN_RCVBUF).
constexpr int DEFAULT_RCVBUF = 212992;
constexpr unsigned long LINUX_RCVBUF_MAX = 212992;
constexpr unsigned long FREEBSD_RCVBUF_MAX = 2097152;
constexpr int LINUX_MIN_RCVBUF = 2304;
// What one queued CAN frame costs the queue on Linux, for the memory counters.
constexpr uint32_t QUEUED_FRAME_BYTES = 768;

enum j1939_flavour : uint8_t { FLAVOUR_FREEBSD, FLAVOUR_LINUX };

struct sim_socket {
    j1939_flavour flavour = FLAVOUR_FREEBSD;
    int peer_fd = -1; // the feeder writes here; what the program sends lands here
    pid_t feeder = -1;
    bool bound = false;
    bool drained = true; // nothing more will arrive: silent bus, unbound, after !wait or !end
    bool broadcast = false;
    bool promiscuous = false;
    bool transmit_logged = false;
    uint8_t index_bytes = 0; // of the index being read, when a signal cut its read short
    uint8_t index_part[sizeof(uint32_t)] = {};
    uint32_t ifindex = 0;
    uint32_t bound_pgn = 0;
    uint8_t bound_address = J1939_NO_ADDR;
    std::vector<j1939_filter> filters;
    int rcvbuf = DEFAULT_RCVBUF;
    // The queue of a paced feed with N2K_SIM_QUEUE: 0 for none, so that every index waits in
    // the stream until it is received, as an unpaced feed needs.
    uint32_t queue_capacity = 0;
    uint32_t queued_messages = 0;
    uint32_t drops = 0;
    // Indexes of arrived items, in order, from queue_head on; a vector allocates nothing until
    // used, so the bus's heap count stays what it was without a queue.
    std::vector<uint32_t> queue;
    size_t queue_head = 0;
    feed traffic;
};

sim_socket *socket_table[SOCKET_TABLE_SIZE];

template <typename T> T next_symbol(const char *name)
{
    void *symbol = dlsym(RTLD_NEXT, name);

    if (symbol == nullptr)
        sim_fatal(std::string("the C library has no ") + name);
    return reinterpret_cast<T>(symbol);
}

sim_socket *find_sim_socket(int fd)
{
    if (fd < 0 || fd >= SOCKET_TABLE_SIZE)
        return nullptr;
    return socket_table[fd];
}

int move_out_of_the_way(int fd)
{
    int high = fcntl(fd, F_DUPFD_CLOEXEC, HIGH_FD);

    if (high < 0)
        return fd;
    libc().close(fd);
    return high;
}

// An errno named by an environment variable; a name the C library does not know is fatal.
int errno_from_setting(const char *variable, std::string_view name)
{
    int error = errno_from_name(name);

    if (error == 0)
        sim_fatal(std::string(variable) + ": unknown errno name " + std::string(name));
    return error;
}

int injected_error(const char *variable)
{
    const char *name = std::getenv(variable);

    if (name == nullptr || *name == '\0')
        return 0;
    return errno_from_setting(variable, name);
}

bool parse_unsigned(std::string_view text, unsigned long &value)
{
    std::string copy(text);
    char *end = nullptr;

    if (copy.empty() || copy[0] == '-')
        return false;
    errno = 0;
    value = std::strtoul(copy.c_str(), &end, 0);
    return errno == 0 && *end == '\0';
}

// N2K_SIM_FAIL_SETSOCKOPT or N2K_SIM_FAIL_GETSOCKOPT=LEVEL:OPTNAME:ERRNAME, checked against
// this call.
int injected_option_error(const char *variable, int level, int name)
{
    const char *setting = std::getenv(variable);
    if (setting == nullptr || *setting == '\0')
        return 0;

    std::string_view text = setting;
    size_t first = text.find(':');
    size_t second = first == std::string_view::npos ? first : text.find(':', first + 1);
    unsigned long wanted_level = 0;
    unsigned long wanted_name = 0;
    if (second == std::string_view::npos || !parse_unsigned(text.substr(0, first), wanted_level) ||
        !parse_unsigned(text.substr(first + 1, second - first - 1), wanted_name))
        sim_fatal(std::string(variable) + " must be LEVEL:OPTNAME:ERRNAME, not " +
                  std::string(text));

    int error = errno_from_setting(variable, text.substr(second + 1));
    if (wanted_level != static_cast<unsigned long>(level) ||
        wanted_name != static_cast<unsigned long>(name))
        return 0;
    return error;
}

// A number from 1 to `largest` named by an environment variable, or `fallback` when it is unset.
unsigned long number_setting(const char *variable, unsigned long fallback, unsigned long largest)
{
    const char *setting = std::getenv(variable);
    if (setting == nullptr || *setting == '\0')
        return fallback;

    unsigned long value = 0;
    if (!parse_unsigned(setting, value) || value == 0 || value > largest)
        sim_fatal(std::string(variable) + " must be a number from 1 to " + std::to_string(largest) +
                  ", not " + setting);
    return value;
}

// N2K_SIM_UNPRIVILEGED=1: the program has neither root nor CAP_NET_ADMIN.
bool unprivileged()
{
    const char *setting = std::getenv("N2K_SIM_UNPRIVILEGED");
    if (setting == nullptr || *setting == '\0' || std::strcmp(setting, "0") == 0)
        return false;
    if (std::strcmp(setting, "1") != 0)
        sim_fatal(std::string("N2K_SIM_UNPRIVILEGED must be 0 or 1, not ") + setting);
    return true;
}

struct sim_interface {
    std::string name;
    uint32_t index;
};

// N2K_SIM_INTERFACES=name=index,...; read at every use, so a test may change it.
std::vector<sim_interface> sim_interfaces()
{
    const char *setting = std::getenv("N2K_SIM_INTERFACES");
    std::string_view text = setting != nullptr ? setting : "can0=100,can1=101";
    std::vector<sim_interface> interfaces;

    while (!text.empty()) {
        size_t comma = text.find(',');
        std::string_view entry = text.substr(0, comma);
        text.remove_prefix(comma == std::string_view::npos ? text.size() : comma + 1);

        size_t equals = entry.find('=');
        unsigned long index = 0;
        if (equals == 0 || equals == std::string_view::npos || equals >= IF_NAMESIZE ||
            !parse_unsigned(entry.substr(equals + 1), index) || index == 0 || index > UINT32_MAX)
            sim_fatal("N2K_SIM_INTERFACES must be name=index,..., with indexes above 0, not " +
                      std::string(setting));
        interfaces.push_back({std::string(entry.substr(0, equals)), static_cast<uint32_t>(index)});
    }
    return interfaces;
}

std::string interface_name_of(uint32_t index)
{
    for (const sim_interface &interface : sim_interfaces()) {
        if (interface.index == index)
            return interface.name;
    }
    return "";
}

std::string result_text(long result, int error)
{
    if (result >= 0)
        return std::to_string(result);
    return "-1 " + errno_name(error);
}

// Makes the call's outcome the program's: -1 with errno, or the result.
long finish(long result, int error)
{
    if (result < 0)
        errno = error;
    return result;
}

// What the program has written into its J1939 socket sits unread in the other end.
void log_transmission(sim_socket &s)
{
    int pending = 0;

    if (s.transmit_logged || !event_log_on())
        return;
    if (ioctl(s.peer_fd, FIONREAD, &pending) != 0 || pending <= 0)
        return;
    s.transmit_logged = true;
    log_event("transmit " + std::to_string(pending));
}

void release_sim_socket(sim_socket *s)
{
    libc().close(s->peer_fd);
    if (s->feeder > 0) {
        kill(s->feeder, SIGKILL);
        while (waitpid(s->feeder, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    delete s;
}

void sleep_until(const timespec &start, int64_t after_us)
{
    timespec deadline = start;

    deadline.tv_sec += static_cast<time_t>(after_us / 1000000);
    deadline.tv_nsec += static_cast<long>(after_us % 1000000 * 1000);
    if (deadline.tv_nsec >= 1000000000) {
        deadline.tv_sec++;
        deadline.tv_nsec -= 1000000000;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

// Sends the indexes of items [first, last); false when the program's end is gone.
bool send_indexes(int fd, uint32_t first, uint32_t last)
{
    uint32_t indexes[SEND_BATCH];

    while (first < last) {
        auto count = static_cast<uint32_t>(std::min<size_t>(last - first, SEND_BATCH));
        for (uint32_t i = 0; i < count; i++)
            indexes[i] = first + i;

        const auto *bytes = reinterpret_cast<const uint8_t *>(indexes);
        size_t left = count * sizeof indexes[0];
        while (left > 0) {
            ssize_t sent = send(fd, bytes, left, MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR)
                continue;
            if (sent <= 0)
                return false;
            bytes += sent;
            left -= static_cast<size_t>(sent);
        }
        first += count;
    }
    return true;
}

// The child that plays the feed into the socket. It holds nothing of the parent's but its own
// end, so that it never keeps a test's pipe open, and it dies with the parent.
[[noreturn]] void run_feeder(const sim_socket &s, pid_t parent, bool paced)
{
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)
        _exit(0);

    int out = fcntl(s.peer_fd, F_DUPFD, 3);
    int null_fd = open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= 2; fd++) {
        if (null_fd < 0 || dup2(null_fd, fd) < 0)
            close(fd);
    }
    if (out < 0)
        _exit(0);
    close_range(3, static_cast<unsigned>(out - 1), 0);
    close_range(static_cast<unsigned>(out + 1), ~0U, 0);

    struct sigaction default_action {
    };
    default_action.sa_handler = SIG_DFL;
    for (int signal_number = 1; signal_number < NSIG; signal_number++)
        sigaction(signal_number, &default_action, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    const std::vector<feed_item> &items = s.traffic.items;
    auto count = static_cast<uint32_t>(items.size());
    if (!paced) {
        if (!send_indexes(out, 0, count))
            _exit(0);
    } else {
        timespec start{};
        clock_gettime(CLOCK_MONOTONIC, &start);
        for (uint32_t i = 0; i < count; i++) {
            sleep_until(start, items[i].at_us);
            if (!send_indexes(out, i, i + 1))
                _exit(0);
        }
    }

    // Stay until the program's end closes, so that the parent reaps a child it knows.
    pollfd hangup{out, 0, 0};
    while (poll(&hangup, 1, -1) < 0 && errno == EINTR) {
    }
    _exit(0);
}

int start_feed(sim_socket &s)
{
    const char *path = std::getenv("N2K_SIM_FEED");
    if (path == nullptr || *path == '\0')
        return 0;

    std::string error;
    if (!load_feed(path, interface_name_of(s.ifindex), s.traffic, error))
        sim_fatal(error);

    const char *pace = std::getenv("N2K_SIM_PACE");
    bool paced = pace != nullptr && std::strcmp(pace, "1") == 0;
    s.queue_capacity = static_cast<uint32_t>(number_setting("N2K_SIM_QUEUE", 0, UINT32_MAX));
    if (s.queue_capacity > 0 && !paced)
        sim_fatal("N2K_SIM_QUEUE needs N2K_SIM_PACE=1: an unpaced feed waits for the program");
    pid_t parent = getpid();
    pid_t child = fork();
    if (child < 0)
        sim_fatal(std::string("cannot start the feeder: ") + strerror(errno));
    if (child == 0)
        run_feeder(s, parent, paced);

    s.feeder = child;
    s.drained = false;
    return 0;
}

bool is_pdu1_pgn(uint32_t pgn)
{
    return (pgn >> 8 & 0xFF) < 240;
}

// 0, or the errno of a record the flavour's kernel refuses.
int check_bind_record(const sim_socket &s, const uint8_t *record, socklen_t length,
                      uint32_t &ifindex, uint32_t &pgn, uint8_t &address)
{
    if (record == nullptr)
        return length == 0 ? EINVAL : EFAULT;

    if (s.flavour == FLAVOUR_FREEBSD) {
        uint64_t name = 0;
        if (length != ADDRESS_SIZE || record[0] != ADDRESS_SIZE || record[1] != FREEBSD_AF_CAN)
            return EINVAL;
        std::memcpy(&ifindex, record + 4, sizeof ifindex);
        std::memcpy(&name, record + 8, sizeof name);
        std::memcpy(&pgn, record + 16, sizeof pgn);
        address = record[20];
        if (name != J1939_NO_NAME || address != J1939_NO_ADDR)
            return EINVAL;
    } else {
        uint16_t family = 0;
        if (length < ADDRESS_SIZE || length > sizeof(sockaddr_storage))
            return EINVAL;
        std::memcpy(&family, record, sizeof family);
        std::memcpy(&ifindex, record + 4, sizeof ifindex);
        std::memcpy(&pgn, record + 16, sizeof pgn);
        address = record[20];
        if (family != AF_CAN)
            return EINVAL;
        if (ifindex == 0)
            return ENODEV;
        if (pgn <= J1939_PGN_MAX && is_pdu1_pgn(pgn) && (pgn & 0xFF) != 0)
            return EINVAL;
    }

    if (interface_name_of(ifindex).empty())
        return ENODEV;
    return 0;
}

// N2K_SIM_RAISE_AT_BIND=SIGINT, SIGTERM or SIGHUP: a stop signal that reaches the program after it
// armed its handlers and before its first receive, a moment no test could hit from outside.
void raise_at_bind()
{
    const char *name = std::getenv("N2K_SIM_RAISE_AT_BIND");
    if (name == nullptr || *name == '\0')
        return;
    if (std::strcmp(name, "SIGINT") == 0)
        kill(getpid(), SIGINT);
    else if (std::strcmp(name, "SIGTERM") == 0)
        kill(getpid(), SIGTERM);
    else if (std::strcmp(name, "SIGHUP") == 0)
        kill(getpid(), SIGHUP);
    else
        sim_fatal(std::string("N2K_SIM_RAISE_AT_BIND: not a stop signal: ") + name);
}

int bind_sim_socket(sim_socket &s, const sockaddr *address, socklen_t length)
{
    int error = injected_error("N2K_SIM_FAIL_BIND");
    if (error != 0)
        return error;
    if (s.bound)
        return EINVAL;

    uint32_t ifindex = 0;
    uint32_t pgn = 0;
    uint8_t own_address = J1939_NO_ADDR;
    error = check_bind_record(s, reinterpret_cast<const uint8_t *>(address), length, ifindex, pgn,
                              own_address);
    if (error != 0)
        return error;

    s.bound = true;
    s.ifindex = ifindex;
    s.bound_pgn = pgn;
    s.bound_address = own_address;
    error = start_feed(s);
    if (error == 0)
        raise_at_bind();
    return error;
}

int read_flag(const void *value, socklen_t length, socklen_t wanted, bool exact, bool &flag)
{
    int number = 0;

    if (exact ? length != wanted : length < wanted)
        return EINVAL;
    if (value == nullptr)
        return EFAULT;
    std::memcpy(&number, value, sizeof number);
    flag = number != 0;
    return 0;
}

int set_filters(sim_socket &s, const void *value, socklen_t length)
{
    if (value == nullptr || length == 0) {
        s.filters.clear();
        return 0;
    }
    if (length % sizeof(j1939_filter) != 0 || length > J1939_FILTER_MAX * sizeof(j1939_filter))
        return EINVAL;

    s.filters.resize(length / sizeof(j1939_filter));
    std::memcpy(s.filters.data(), value, length);
    for (j1939_filter &filter : s.filters) {
        filter.name &= filter.name_mask;
        filter.pgn &= filter.pgn_mask;
        filter.addr &= filter.addr_mask;
    }
    return 0;
}

unsigned long rcvbuf_max(const sim_socket &s)
{
    return number_setting("N2K_SIM_RCVBUF_MAX",
                          s.flavour == FLAVOUR_LINUX ? LINUX_RCVBUF_MAX : FREEBSD_RCVBUF_MAX,
                          INT_MAX);
}

// Linux caps SO_RCVBUF at rmem_max, lets SO_RCVBUFFORCE past it for a privileged process only,
// and keeps twice what it grants, for its own overhead. FreeBSD refuses a size above its limit.
int set_receive_buffer(sim_socket &s, int name, const void *value, socklen_t length)
{
    int size = 0;
    if (length < sizeof size)
        return EINVAL;
    if (value == nullptr)
        return EFAULT;
    std::memcpy(&size, value, sizeof size);

    if (s.flavour == FLAVOUR_FREEBSD) {
        if (size < 1)
            return EINVAL;
        if (static_cast<unsigned long>(size) > rcvbuf_max(s))
            return ENOBUFS;
        s.rcvbuf = size;
        return 0;
    }

    unsigned long granted = 0;
    if (name == SO_RCVBUFFORCE) {
        if (unprivileged())
            return EPERM;
        granted = size < 0 ? 0 : static_cast<unsigned long>(size);
    } else {
        granted = std::min<unsigned long>(static_cast<uint32_t>(size), rcvbuf_max(s));
    }
    granted = std::min<unsigned long>(granted, INT_MAX / 2);
    s.rcvbuf = std::max(static_cast<int>(granted) * 2, LINUX_MIN_RCVBUF);
    return 0;
}

// Options the Linux kernel acts on are modelled, and FreeBSD's receive buffer size; the rest
// are taken without effect.
int setsockopt_sim(sim_socket &s, int level, int name, const void *value, socklen_t length)
{
    int error = injected_option_error("N2K_SIM_FAIL_SETSOCKOPT", level, name);
    if (error != 0)
        return error;
    if (level == SOL_SOCKET &&
        (name == SO_RCVBUF || (name == SO_RCVBUFFORCE && s.flavour == FLAVOUR_LINUX)))
        return set_receive_buffer(s, name, value, length);
    if (s.flavour == FLAVOUR_FREEBSD)
        return 0;

    if (level == SOL_SOCKET && name == SO_BROADCAST)
        return read_flag(value, length, sizeof(int), false, s.broadcast);
    if (level == SOL_CAN_J1939 && name == SO_J1939_PROMISC)
        return read_flag(value, length, sizeof(int), true, s.promiscuous);
    if (level == SOL_CAN_J1939 && name == SO_J1939_FILTER)
        return set_filters(s, value, length);
    return 0;
}

bool passes_filters(const sim_socket &s, const feed_item &m)
{
    // No node here claims a NAME, so every sender counts as NAME 0.
    const uint64_t sender_name = J1939_NO_NAME;

    if (s.filters.empty())
        return true;

    for (const j1939_filter &filter : s.filters) {
        if ((m.pgn & filter.pgn_mask) != filter.pgn)
            continue;
        if ((m.source & filter.addr_mask) != filter.addr)
            continue;
        if ((sender_name & filter.name_mask) != filter.name)
            continue;
        return true;
    }
    return false;
}

bool accepts(const sim_socket &s, const feed_item &m)
{
    if (s.flavour == FLAVOUR_FREEBSD)
        return s.bound_pgn == 0 || s.bound_pgn == m.pgn;

    if (!s.promiscuous) {
        if (m.destination <= J1939_MAX_UNICAST_ADDR) {
            if (m.destination != s.bound_address)
                return false;
        } else if (!s.broadcast) {
            return false;
        }
        if (s.bound_pgn <= J1939_PGN_MAX && s.bound_pgn != m.pgn)
            return false;
    }
    return passes_filters(s, m);
}

void copy_payload(const sim_socket &s, const feed_item &m, uint8_t *buffer, size_t size)
{
    if (m.kind == ITEM_BYTES) {
        std::memcpy(buffer, s.traffic.bytes.data() + m.offset, size);
        return;
    }

    static const auto PATTERN = [] {
        std::array<uint8_t, 256> bytes{};
        for (size_t i = 0; i < bytes.size(); i++)
            bytes[i] = static_cast<uint8_t>(i);
        return bytes;
    }();
    for (size_t done = 0; done < size; done += PATTERN.size())
        std::memcpy(buffer + done, PATTERN.data(), std::min(PATTERN.size(), size - done));
}

void fill_sender(const sim_socket &s, const feed_item &m, sockaddr *address, socklen_t *length)
{
    uint8_t record[ADDRESS_SIZE] = {};

    if (s.flavour == FLAVOUR_FREEBSD) {
        record[0] = ADDRESS_SIZE;
        record[1] = FREEBSD_AF_CAN;
    } else {
        uint16_t family = AF_CAN;
        std::memcpy(record, &family, sizeof family);
    }
    std::memcpy(record + 4, &s.ifindex, sizeof s.ifindex);
    std::memcpy(record + 16, &m.pgn, sizeof m.pgn);
    record[20] = m.source;

    // Like the kernel, never more than the caller offered; the short length handed back
    // catches a caller that offers it again without resetting it.
    std::memcpy(address, record, std::min(*length, ADDRESS_SIZE));
    *length = ADDRESS_LENGTH_REPORTED;
}

// Blocks for the next index; a read cut short by a signal keeps its bytes for the next call.
bool read_index(sim_socket &s, int fd, uint32_t &index, int &error)
{
    while (s.index_bytes < sizeof index) {
        ssize_t n = recv(fd, s.index_part + s.index_bytes, sizeof index - s.index_bytes, 0);
        if (n < 0) {
            error = errno;
            return false;
        }
        if (n == 0) {
            error = EIO;
            return false;
        }
        s.index_bytes = static_cast<uint8_t>(s.index_bytes + n);
    }

    std::memcpy(&index, s.index_part, sizeof index);
    s.index_bytes = 0;
    if (index >= s.traffic.items.size()) {
        error = EIO;
        return false;
    }
    return true;
}

bool is_message(const feed_item &m)
{
    return m.kind == ITEM_BYTES || m.kind == ITEM_PATTERN;
}

// An arrived item joins the queue; a message the socket does not take never counts, and one
// that finds the queue full is dropped. What the feed says about itself is never dropped.
void admit(sim_socket &s, uint32_t index)
{
    const feed_item &m = s.traffic.items[index];

    if (!is_message(m)) {
        s.queue.push_back(index);
        return;
    }
    if (!accepts(s, m))
        return;
    if (s.queued_messages >= s.queue_capacity) {
        s.drops++;
        return;
    }
    s.queue.push_back(index);
    s.queued_messages++;
}

// Takes every index the feeder has written so far off the stream, without waiting.
void admit_arrivals(sim_socket &s, int fd)
{
    int saved = errno;

    while (s.queue_capacity > 0) {
        ssize_t n =
            recv(fd, s.index_part + s.index_bytes, sizeof(uint32_t) - s.index_bytes, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        s.index_bytes = static_cast<uint8_t>(s.index_bytes + n);
        if (s.index_bytes < sizeof(uint32_t))
            continue;

        uint32_t index = 0;
        std::memcpy(&index, s.index_part, sizeof index);
        s.index_bytes = 0;
        if (index >= s.traffic.items.size())
            break;
        admit(s, index);
    }
    errno = saved;
}

// The next item for the program: straight off the stream, or through the queue.
bool next_index(sim_socket &s, int fd, uint32_t &index, int &error)
{
    if (s.queue_capacity == 0)
        return read_index(s, fd, index, error);

    admit_arrivals(s, fd);
    while (s.queue_head == s.queue.size()) {
        if (!read_index(s, fd, index, error))
            return false;
        admit(s, index);
    }
    index = s.queue[s.queue_head++];
    if (s.queue_head == s.queue.size()) {
        s.queue.clear();
        s.queue_head = 0;
    }
    if (is_message(s.traffic.items[index]))
        s.queued_messages--;
    return true;
}

// One message, or -1 with the errno in `error`.
ssize_t receive_sim(sim_socket &s, int fd, void *buffer, size_t size, int flags, sockaddr *address,
                    socklen_t *length, int &error)
{
    if (flags != 0) {
        error = EINVAL;
        return -1;
    }
    if ((address != nullptr && length == nullptr) || (buffer == nullptr && size > 0)) {
        error = EFAULT;
        return -1;
    }
    if (address != nullptr && static_cast<int>(*length) < 0) {
        error = EINVAL;
        return -1;
    }

    for (;;) {
        if (s.drained && event_log_on())
            log_event("wait");

        uint32_t index = 0;
        if (!next_index(s, fd, index, error))
            return -1;

        const feed_item &m = s.traffic.items[index];
        switch (m.kind) {
        case ITEM_WAIT:
            s.drained = true;
            continue;
        case ITEM_END:
            s.drained = true;
            if (event_log_on())
                log_event("end");
            // A handler that runs inside kill() clears the program's flag before this
            // receive returns; EINTR then sends the program to look at it.
            kill(getpid(), SIGTERM);
            error = EINTR;
            return -1;
        case ITEM_ERROR:
            error = static_cast<int>(m.length);
            return -1;
        default:
            break;
        }

        if (!accepts(s, m))
            continue;

        size_t copied = std::min<size_t>(size, m.length);
        copy_payload(s, m, static_cast<uint8_t *>(buffer), copied);
        if (address != nullptr)
            fill_sender(s, m, address, length);
        return static_cast<ssize_t>(copied);
    }
}

// As the kernels answer: at most what was offered, and the length that was written.
int answer_option(void *value, socklen_t *length, const void *data, size_t size)
{
    auto written = static_cast<socklen_t>(std::min<size_t>(*length, size));

    if (written > 0 && value == nullptr)
        return EFAULT;
    if (written > 0)
        std::memcpy(value, data, written);
    *length = written;
    return 0;
}

int getsockopt_sim(sim_socket &s, int fd, int level, int name, void *value, socklen_t *length)
{
    int error = injected_option_error("N2K_SIM_FAIL_GETSOCKOPT", level, name);
    if (error != 0)
        return error;
    if (length == nullptr)
        return EFAULT;
    if (static_cast<int>(*length) < 0)
        return EINVAL;

    if (level == SOL_SOCKET && name == SO_RCVBUF)
        return answer_option(value, length, &s.rcvbuf, sizeof s.rcvbuf);
    if (level == SOL_SOCKET && name == SO_MEMINFO && s.flavour == FLAVOUR_LINUX) {
        admit_arrivals(s, fd);
        uint32_t counters[SK_MEMINFO_VARS] = {};
        counters[SK_MEMINFO_RMEM_ALLOC] = s.queued_messages * QUEUED_FRAME_BYTES;
        counters[SK_MEMINFO_RCVBUF] = static_cast<uint32_t>(s.rcvbuf);
        counters[SK_MEMINFO_SNDBUF] = DEFAULT_RCVBUF;
        counters[SK_MEMINFO_DROPS] = s.drops;
        return answer_option(value, length, counters, sizeof counters);
    }
    return ENOPROTOOPT;
}

bool is_j1939_request(int domain, int type, int protocol)
{
    int base_type = type & ~(SOCK_CLOEXEC | SOCK_NONBLOCK);

    return (domain == FREEBSD_AF_CAN || domain == AF_CAN) && base_type == SOCK_DGRAM &&
           protocol == CAN_J1939_PROTOCOL;
}

int open_sim_socket(int domain, int type, int &error)
{
    error = injected_error("N2K_SIM_FAIL_SOCKET");
    if (error != 0)
        return -1;

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | (type & SOCK_CLOEXEC), 0, pair) != 0) {
        error = errno;
        return -1;
    }
    if (pair[0] >= SOCKET_TABLE_SIZE) {
        libc().close(pair[0]);
        libc().close(pair[1]);
        error = EMFILE;
        return -1;
    }
    if ((type & SOCK_NONBLOCK) != 0 && fcntl(pair[0], F_SETFL, O_NONBLOCK) != 0) {
        error = errno;
        libc().close(pair[0]);
        libc().close(pair[1]);
        return -1;
    }

    auto *s = new sim_socket;
    s->flavour = domain == AF_CAN ? FLAVOUR_LINUX : FLAVOUR_FREEBSD;
    s->peer_fd = move_out_of_the_way(pair[1]);
    fcntl(s->peer_fd, F_SETFD, FD_CLOEXEC);
    socket_table[pair[0]] = s;
    return pair[0];
}

[[gnu::destructor]] void log_transmissions_at_exit()
{
    if (!event_log_on())
        return;

    bool any = false;
    for (sim_socket *s : socket_table)
        any = any || (s != nullptr && !s->transmit_logged);
    if (!any)
        return;

    // The C library flushes standard output only after this runs; output bound for a
    // descriptor that is the J1939 socket must be in it before it is looked at.
    std::fflush(nullptr);
    for (sim_socket *s : socket_table) {
        if (s != nullptr)
            log_transmission(*s);
    }
}

} // namespace

const libc_calls &libc()
{
    static const libc_calls calls = {
        next_symbol<int (*)(int, int, int)>("socket"),
        next_symbol<int (*)(int, const sockaddr *, socklen_t)>("bind"),
        next_symbol<int (*)(int, int, int, const void *, socklen_t)>("setsockopt"),
        next_symbol<ssize_t (*)(int, void *, size_t, int, sockaddr *, socklen_t *)>("recvfrom"),
        next_symbol<int (*)(int)>("close"),
        next_symbol<unsigned (*)(const char *)>("if_nametoindex"),
        next_symbol<int (*)(int, int, int, void *, socklen_t *)>("getsockopt"),
    };
    return calls;
}

SIM_EXPORT int socket(int domain, int type, int protocol) noexcept
{
    if (!is_j1939_request(domain, type, protocol))
        return libc().socket(domain, type, protocol);

    follow_event_log();

    int error = 0;
    int fd = open_sim_socket(domain, type, error);
    if (event_log_on())
        log_event("socket " + std::to_string(domain) + " " + std::to_string(type) + " " +
                  std::to_string(protocol) + " -> " + result_text(fd, error));
    return static_cast<int>(finish(fd, error));
}

SIM_EXPORT int bind(int fd, const sockaddr *address, socklen_t length) noexcept
{
    sim_socket *s = find_sim_socket(fd);
    if (s == nullptr)
        return libc().bind(fd, address, length);

    int error = bind_sim_socket(*s, address, length);
    if (event_log_on()) {
        std::string line = "bind ";
        if (address != nullptr)
            append_hex(line, address, std::min<size_t>(length, MAX_LOGGED_OPTION));
        log_event(line + " -> " + result_text(error == 0 ? 0 : -1, error));
    }
    return static_cast<int>(finish(error == 0 ? 0 : -1, error));
}

SIM_EXPORT int setsockopt(int fd, int level, int name, const void *value, socklen_t length) noexcept
{
    sim_socket *s = find_sim_socket(fd);
    if (s == nullptr)
        return libc().setsockopt(fd, level, name, value, length);

    int error = setsockopt_sim(*s, level, name, value, length);
    if (event_log_on()) {
        std::string line = "setsockopt " + std::to_string(level) + " " + std::to_string(name) + " ";
        if (value != nullptr)
            append_hex(line, value, std::min<size_t>(length, MAX_LOGGED_OPTION));
        log_event(line + " -> " + result_text(error == 0 ? 0 : -1, error));
    }
    return static_cast<int>(finish(error == 0 ? 0 : -1, error));
}

SIM_EXPORT int getsockopt(int fd, int level, int name, void *value, socklen_t *length) noexcept
{
    sim_socket *s = find_sim_socket(fd);
    if (s == nullptr)
        return libc().getsockopt(fd, level, name, value, length);

    socklen_t offered = length != nullptr ? *length : 0;
    int error = getsockopt_sim(*s, fd, level, name, value, length);
    if (event_log_on()) {
        std::string line = "getsockopt " + std::to_string(level) + " " + std::to_string(name) +
                           " " +
                           (length != nullptr ? std::to_string(static_cast<int>(offered)) : "-") +
                           " -> " + result_text(error == 0 ? 0 : -1, error);
        if (error == 0) {
            line += " ";
            append_hex(line, value, std::min<size_t>(*length, MAX_LOGGED_OPTION));
        }
        log_event(line);
    }
    return static_cast<int>(finish(error == 0 ? 0 : -1, error));
}

SIM_EXPORT ssize_t recvfrom(int fd, void *buffer, size_t size, int flags, sockaddr *address,
                            socklen_t *length)
{
    sim_socket *s = find_sim_socket(fd);
    if (s == nullptr)
        return libc().recvfrom(fd, buffer, size, flags, address, length);

    socklen_t passed = length != nullptr ? *length : 0;
    int error = 0;
    ssize_t result = receive_sim(*s, fd, buffer, size, flags, address, length, error);
    if (event_log_on())
        log_event("recvfrom " + std::to_string(size) + " " + std::to_string(flags) + " " +
                  (length != nullptr ? std::to_string(passed) : "-") + " -> " +
                  result_text(result, error));
    return finish(result, error);
}

// What a program built with _FORTIFY_SOURCE calls instead of recvfrom.
SIM_EXPORT ssize_t __recvfrom_chk(int fd, void *buffer, size_t size, size_t buffer_size, int flags,
                                  sockaddr *address, socklen_t *length)
{
    if (size > buffer_size)
        abort();
    return recvfrom(fd, buffer, size, flags, address, length);
}

SIM_EXPORT int close(int fd)
{
    sim_socket *s = find_sim_socket(fd);
    if (s == nullptr)
        return libc().close(fd);

    if (event_log_on())
        log_event("close " + std::to_string(fd));
    log_transmission(*s);

    socket_table[fd] = nullptr;
    int result = libc().close(fd);
    int error = errno;
    release_sim_socket(s);
    return static_cast<int>(finish(result, error));
}

SIM_EXPORT unsigned if_nametoindex(const char *name) noexcept
{
    follow_event_log();

    unsigned index = 0;
    int error = 0;
    bool simulated = false;
    for (const sim_interface &interface : sim_interfaces()) {
        if (name != nullptr && interface.name == name) {
            index = interface.index;
            simulated = true;
        }
    }
    if (!simulated) {
        index = libc().if_nametoindex(name);
        error = errno;
    }

    if (event_log_on()) {
        std::string line = std::string("if_nametoindex ") + name + " -> " + std::to_string(index);
        if (index == 0)
            line += " " + errno_name(error);
        log_event(line);
    }
    if (index == 0)
        errno = error;
    return index;
}
