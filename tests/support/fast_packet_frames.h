// Fast-packet frames as a sender cuts a message into them, for tests that feed a listener.
#pragma once

#include <cstdint>
#include <vector>

// Frame 0 holds the sequence and frame counters, the length and six bytes; every later frame
// the counters and seven more; the last frame is padded with 0xFF.
std::vector<std::vector<uint8_t>> fast_packet_frames(const std::vector<uint8_t> &payload,
                                                     int sequence);
