// What differs between the kernels' J1939 socket interfaces, behind one plain interface. The
// build picks one implementation: j1939_abi_freebsd.cc or j1939_abi_linux.cc.
#pragma once

#include <cstdint>
#include <sys/socket.h>

// Room for the 24-byte address record of either kernel.
struct j1939_address_bytes {
    alignas(8) unsigned char bytes[24];
};

// socket() with the kernel's J1939 family, SOCK_DGRAM and protocol 7.
int open_j1939_socket();

// The record to bind a passive listener to the interface with the PGN filter (0: every PGN).
j1939_address_bytes make_bind_address(unsigned interface_index, int32_t pgn_filter);

// Socket options the kernel needs before bind; false after perror("setsockopt").
bool set_receive_options(int fd, int32_t pgn_filter);

// A second of a full 250 kbit/s bus is under 2,000 messages, and a stalled log on an SD card or a
// paused pipe reader holds the listener up about that long.
inline constexpr int RECEIVE_QUEUE_BYTES = 8 * 1024 * 1024;

// Asks, before bind, for a receive queue deep enough to ride out a stalled standard output.
// Silent whatever the kernel grants: a smaller queue still works.
void enlarge_receive_queue(int fd);

// How many messages the kernel dropped because the receive queue was full, or -1 where it
// cannot tell.
int64_t read_dropped_messages(int fd);

// The PGN and source address from the sender record of a receive.
void read_sender(const j1939_address_bytes &sender, uint32_t *pgn, uint8_t *source);
