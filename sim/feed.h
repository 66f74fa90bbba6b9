// Recorded bus traffic for one simulated interface, read once into compact items so that a
// receive costs no more than a lookup and a copy.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum feed_item_kind : uint8_t {
    ITEM_BYTES,   // payload taken from the feed's byte pool
    ITEM_PATTERN, // generated payload: byte i is i % 256
    ITEM_ERROR,   // the receive fails with the errno in `length`
    ITEM_WAIT,    // nothing more arrives
    ITEM_END,     // the capture is over
};

struct feed_item {
    int64_t at_us;   // since the first frame of the capture, for pacing
    uint64_t offset; // into feed::bytes, for ITEM_BYTES
    uint32_t length; // payload length, or the errno of ITEM_ERROR
    uint32_t pgn;
    uint8_t kind;
    uint8_t source;
    uint8_t destination; // 0xFF for every PDU2 message
};

// Always ends with ITEM_WAIT or ITEM_END: whatever follows either in the capture is never seen.
struct feed {
    std::vector<feed_item> items;
    std::vector<uint8_t> bytes;
};

struct j1939_id_fields {
    uint32_t pgn;
    uint8_t source;
    uint8_t destination;
    uint8_t priority;
};

// Splits a 29-bit identifier by the PDU1/PDU2 rule.
j1939_id_fields split_j1939_id(uint32_t id);

// Keeps the J1939 messages of `interface_name` and every directive. On a line it cannot read,
// returns false with `error` naming the line.
bool parse_feed(std::string_view text, std::string_view interface_name, feed &out,
                std::string &error);

bool load_feed(const char *path, std::string_view interface_name, feed &out, std::string &error);

// The errno of a name such as "EINTR", or 0 for a name the C library does not know.
int errno_from_name(std::string_view name);

// "EINTR" for EINTR; the decimal number for an errno without a name.
std::string errno_name(int error);
