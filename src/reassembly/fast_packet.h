// NMEA 2000 fast packets: messages of up to 223 bytes that the sender cuts into 8-byte frames.
// The kernel's J1939 layer delivers them frame by frame; the PGNs whose section in the
// description file says "fast_packet = yes" are put back together here, per PGN and source.
#pragma once

#include <cstdint>

inline constexpr int FAST_PACKET_MAX_LENGTH = 223;
// Messages in progress at once; beyond that the least recently continued one is abandoned.
inline constexpr int FAST_PACKET_SLOTS = 64;

#include "descriptions/pgn_table.h"

// A whole message, as it is handed on to be printed, with its PGN's entry (nullptr: none).
struct assembled_message {
    const pgn_entry *entry;
    const uint8_t *payload;
    int32_t length;
};

// Takes one received message. A message of a PGN that is not marked as fast packet is whole
// as it stands. A frame of a marked PGN is added to the message in progress for its PGN and
// source; true once it completes one, whose payload stays valid until the next call.
bool assemble_message(uint32_t pgn, uint8_t source, int32_t length, const uint8_t *frame,
                      assembled_message *out);

// Forgets every message in progress.
void drop_unfinished_messages();
