// Linux SocketCAN J1939. A socket bound with no address sees nothing by default, so the
// listener asks for broadcasts and, promiscuously, for messages to other nodes. Promiscuous
// mode switches off the PGN filter of bind, so bind takes no PGN and a nonzero filter becomes a
// socket filter, which the kernel applies to every message.
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <linux/can.h>
#include <linux/can/j1939.h>

#include "listener/j1939_abi.h"

// Older headers lack the option; a kernel without it answers ENOPROTOOPT.
#ifndef SO_MEMINFO
#define SO_MEMINFO 55
#endif

static_assert(sizeof(sockaddr_can) == sizeof(j1939_address_bytes));
static_assert(offsetof(sockaddr_can, can_ifindex) == 4);
static_assert(offsetof(sockaddr_can, can_addr.j1939.name) == 8);
static_assert(offsetof(sockaddr_can, can_addr.j1939.pgn) == 16);
static_assert(offsetof(sockaddr_can, can_addr.j1939.addr) == 20);

namespace
{

// The kernel's 32-bit memory counters of a socket, as SO_MEMINFO fills them, as many as the
// caller offers room for: the drop count is the ninth (SK_MEMINFO_DROPS), which a kernel that
// fills fewer does not report.
constexpr size_t MEMINFO_DROPS = 8;
constexpr size_t MEMINFO_COUNTERS = 9;

bool set_option(int fd, int level, int option, const void *value, socklen_t size)
{
    if (setsockopt(fd, level, option, value, size) < 0) {
        std::perror("setsockopt");
        return false;
    }
    return true;
}

} // namespace

int open_j1939_socket()
{
    return socket(AF_CAN, SOCK_DGRAM, CAN_J1939);
}

j1939_address_bytes make_bind_address(unsigned interface_index, int32_t)
{
    // Zeroed whole, padding included: the kernel is handed every byte of the record.
    sockaddr_can address;
    std::memset(&address, 0, sizeof address);
    address.can_family = AF_CAN;
    address.can_ifindex = static_cast<int>(interface_index);
    address.can_addr.j1939.name = J1939_NO_NAME;
    address.can_addr.j1939.pgn = J1939_NO_PGN;
    address.can_addr.j1939.addr = J1939_NO_ADDR;

    j1939_address_bytes record;
    std::memcpy(record.bytes, &address, sizeof address);
    return record;
}

bool set_receive_options(int fd, int32_t pgn_filter)
{
    const int on = 1;
    if (!set_option(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) ||
        !set_option(fd, SOL_CAN_J1939, SO_J1939_PROMISC, &on, sizeof on))
        return false;
    if (pgn_filter == 0)
        return true;

    // The kernel keeps pgn & pgn_mask: only a full mask keeps every bit of the filter, so a
    // filter that is no PGN (such as -1) matches nothing instead of turning into one that is.
    j1939_filter filter;
    std::memset(&filter, 0, sizeof filter);
    filter.pgn = static_cast<uint32_t>(pgn_filter);
    filter.pgn_mask = ~uint32_t{0};
    return set_option(fd, SOL_CAN_J1939, SO_J1939_FILTER, &filter, sizeof filter);
}

void enlarge_receive_queue(int fd)
{
    // SO_RCVBUFFORCE passes net.core.rmem_max but needs root or CAP_NET_ADMIN; without them the
    // plain option is capped at rmem_max, which the administrator may raise.
    const int size = RECEIVE_QUEUE_BYTES;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) == 0)
        return;
    (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

int64_t read_dropped_messages(int fd)
{
    uint32_t counters[MEMINFO_COUNTERS] = {};
    socklen_t length = sizeof counters;
    if (getsockopt(fd, SOL_SOCKET, SO_MEMINFO, counters, &length) < 0 ||
        length < (MEMINFO_DROPS + 1) * sizeof counters[0])
        return -1;
    return counters[MEMINFO_DROPS];
}

void read_sender(const j1939_address_bytes &sender, uint32_t *pgn, uint8_t *source)
{
    std::memcpy(pgn, sender.bytes + offsetof(sockaddr_can, can_addr.j1939.pgn), sizeof *pgn);
    *source = sender.bytes[offsetof(sockaddr_can, can_addr.j1939.addr)];
}
