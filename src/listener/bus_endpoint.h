// The listener's only contact with the CAN bus: a passive J1939 datagram socket.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int RECEIVE_BUFFER_SIZE = 4096;

// Opens the socket on the named interface with the PGN filter (0: every PGN). Returns the
// descriptor, or -1 after the diagnostic is written and anything opened is closed.
int open_bus_endpoint(const char *interface_name, int32_t pgn_filter);

// One blocking receive. Returns the payload length (0 to RECEIVE_BUFFER_SIZE) with the PGN and
// source address filled in, or -1 with errno as the call left it.
int32_t receive_message(int socket_fd, uint8_t (&buffer)[RECEIVE_BUFFER_SIZE], uint32_t *pgn,
                        uint8_t *source);

// The messages that arrived while the receive queue was full and were dropped, read once before
// the socket is closed; -1 where the kernel cannot tell.
int64_t lost_messages(int socket_fd);
