// FreeBSD's J1939 socket layer: family 39, protocol 7, and a record that starts with its
// length and family bytes. The PGN in the bind record is the filter, 0 receiving every PGN.
#include <cstddef>
#include <cstring>

#include "listener/j1939_abi.h"

namespace
{

constexpr int J1939_FAMILY = 39;
constexpr int J1939_PROTOCOL = 7;
constexpr uint8_t NO_ADDRESS = 0xFF;
// Never asked for less than this, nor than the queue already holds: a refused request is halved,
// and a granted one smaller than the default would shrink the queue.
constexpr int SMALLEST_QUEUE_REQUEST = 64 * 1024;

struct j1939_sockaddr {
    uint8_t length;
    uint8_t family;
    uint16_t reserved0;
    uint32_t interface_index;
    uint64_t name;
    uint32_t pgn;
    uint8_t address;
    uint8_t reserved1[3];
};

static_assert(sizeof(j1939_sockaddr) == sizeof(j1939_address_bytes));
static_assert(offsetof(j1939_sockaddr, family) == 1);
static_assert(offsetof(j1939_sockaddr, interface_index) == 4);
static_assert(offsetof(j1939_sockaddr, name) == 8);
static_assert(offsetof(j1939_sockaddr, pgn) == 16);
static_assert(offsetof(j1939_sockaddr, address) == 20);

} // namespace

int open_j1939_socket()
{
    return socket(J1939_FAMILY, SOCK_DGRAM, J1939_PROTOCOL);
}

j1939_address_bytes make_bind_address(unsigned interface_index, int32_t pgn_filter)
{
    j1939_sockaddr address{};
    address.length = sizeof address;
    address.family = J1939_FAMILY;
    address.interface_index = interface_index;
    address.name = 0;
    address.pgn = static_cast<uint32_t>(pgn_filter);
    address.address = NO_ADDRESS;

    j1939_address_bytes record;
    std::memcpy(record.bytes, &address, sizeof address);
    return record;
}

bool set_receive_options(int, int32_t)
{
    return true;
}

void enlarge_receive_queue(int fd)
{
    // The kernel refuses a size above kern.ipc.maxsockbuf instead of capping it.
    int floor = SMALLEST_QUEUE_REQUEST;
    int current = 0;
    socklen_t length = sizeof current;
    if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &current, &length) == 0 && length == sizeof current &&
        current > floor)
        floor = current;

    for (int size = RECEIVE_QUEUE_BYTES; size > floor; size /= 2) {
        if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) == 0)
            return;
    }
}

// No socket option reports the messages that a full queue turned away.
int64_t read_dropped_messages(int)
{
    return -1;
}

void read_sender(const j1939_address_bytes &sender, uint32_t *pgn, uint8_t *source)
{
    std::memcpy(pgn, sender.bytes + offsetof(j1939_sockaddr, pgn), sizeof *pgn);
    *source = sender.bytes[offsetof(j1939_sockaddr, address)];
}
