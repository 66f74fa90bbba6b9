#include "listener/bus_endpoint.h"

#include <cstdio>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include "listener/j1939_abi.h"

int open_bus_endpoint(const char *interface_name, int32_t pgn_filter)
{
    // The socket comes first: without J1939 support that is the error worth reporting.
    int fd = open_j1939_socket();
    if (fd < 0) {
        std::perror("socket");
        return -1;
    }

    unsigned index = if_nametoindex(interface_name);
    if (index == 0) {
        std::perror("if_nametoindex");
        close(fd);
        return -1;
    }

    if (!set_receive_options(fd, pgn_filter)) {
        close(fd);
        return -1;
    }
    enlarge_receive_queue(fd);

    j1939_address_bytes address = make_bind_address(index, pgn_filter);
    if (bind(fd, reinterpret_cast<const sockaddr *>(address.bytes), sizeof address.bytes) < 0) {
        std::perror("bind");
        close(fd);
        return -1;
    }
    return fd;
}

int32_t receive_message(int socket_fd, uint8_t (&buffer)[RECEIVE_BUFFER_SIZE], uint32_t *pgn,
                        uint8_t *source)
{
    // The length goes back to the full record before every call: the kernel shortens it to
    // what it wrote, and a short length would cut the PGN and address from the next record.
    j1939_address_bytes sender{};
    socklen_t sender_length = sizeof sender.bytes;

    ssize_t n = recvfrom(socket_fd, buffer, sizeof buffer, 0,
                         reinterpret_cast<sockaddr *>(sender.bytes), &sender_length);
    if (n < 0)
        return -1;

    read_sender(sender, pgn, source);
    return static_cast<int32_t>(n);
}

int64_t lost_messages(int socket_fd)
{
    return read_dropped_messages(socket_fd);
}
