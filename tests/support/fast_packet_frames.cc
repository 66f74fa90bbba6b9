#include "fast_packet_frames.h"

std::vector<std::vector<uint8_t>> fast_packet_frames(const std::vector<uint8_t> &payload,
                                                     int sequence)
{
    std::vector<std::vector<uint8_t>> frames;
    std::size_t next = 0;
    for (int counter = 0; next < payload.size() || counter == 0; counter++) {
        std::vector<uint8_t> frame = {static_cast<uint8_t>(sequence << 5 | counter)};
        if (counter == 0)
            frame.push_back(static_cast<uint8_t>(payload.size()));
        while (frame.size() < 8)
            frame.push_back(next < payload.size() ? payload[next++] : 0xFF);
        frames.push_back(frame);
    }
    return frames;
}
