// Feeds arbitrary frames to the fast-packet reassembly and checks every message it hands on
// against a plain model of the rules, written here with a map and a vector. The frames use two
// marked PGNs and 32 sources, so no more messages are ever open than the table has room for,
// and the model needs no eviction.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "descriptions/description_loader.h"
#include "descriptions/pgn_table.h"
#include "reassembly/fast_packet.h"

namespace
{

constexpr uint32_t PGNS[] = {129029, 129540, 127250}; // the last one is not marked

struct model_message {
    int sequence;
    int next_frame;
    std::size_t length;
    std::vector<uint8_t> payload;
};

using model = std::map<std::pair<uint32_t, uint8_t>, model_message>;

// The rules as they read: returns whether the frame completes a message, and its payload.
bool model_frame(model &open, uint32_t pgn, uint8_t source, const std::vector<uint8_t> &frame,
                 std::vector<uint8_t> *whole)
{
    if (pgn == PGNS[2]) {
        *whole = frame;
        return true;
    }

    auto key = std::make_pair(pgn, source);
    auto found = open.find(key);
    if (frame.empty()) {
        open.erase(key);
        return false;
    }

    int sequence = frame[0] >> 5;
    int counter = frame[0] & 0x1F;
    std::size_t from;
    if (counter == 0) {
        open.erase(key);
        if (frame.size() < 2 || frame[1] > 223)
            return false;
        found = open.emplace(key, model_message{sequence, 1, frame[1], {}}).first;
        from = 2;
    } else {
        if (found == open.end())
            return false;
        if (found->second.sequence != sequence || found->second.next_frame != counter) {
            open.erase(found);
            return false;
        }
        found->second.next_frame++;
        from = 1;
    }

    model_message &m = found->second;
    for (std::size_t i = from; i < frame.size() && i < 8 && m.payload.size() < m.length; i++)
        m.payload.push_back(frame[i]);
    if (m.payload.size() < m.length)
        return false;
    *whole = m.payload;
    open.erase(found);
    return true;
}

[[noreturn]] void fail(const char *what, std::size_t frame_number)
{
    std::fprintf(stderr, "frame %zu: %s\n", frame_number, what);
    std::abort();
}

} // namespace

// Input: frames, each a head byte (bits 5-6: the PGN, bits 0-4: the source), a length byte
// (taken modulo 12) and that many bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    static bool loaded = [] {
        static char text[] = "[PGN_129029]\nfast_packet = yes\n"
                             "[PGN_129540]\nfast_packet = yes\n"
                             "[PGN_127250]\n";
        clear_table();
        FILE *file = fmemopen(text, sizeof text - 1, "r");
        if (file == nullptr || load_descriptions_from(file) != load_status::ok)
            std::abort();
        std::fclose(file);
        return true;
    }();
    (void)loaded;

    drop_unfinished_messages();
    model open;
    std::size_t frame_number = 0;

    while (size >= 2) {
        uint32_t pgn = PGNS[(data[0] >> 5 & 3) % 3];
        uint8_t source = data[0] & 0x1F;
        std::size_t length = data[1] % 12;
        data += 2;
        size -= 2;
        if (length > size)
            length = size;
        std::vector<uint8_t> frame(data, data + length);
        data += length;
        size -= length;

        std::vector<uint8_t> expected;
        bool expect_whole = model_frame(open, pgn, source, frame, &expected);
        assembled_message got{};
        bool whole =
            assemble_message(pgn, source, static_cast<int32_t>(frame.size()), frame.data(), &got);
        if (whole != expect_whole)
            fail(expect_whole ? "a whole message was not handed on" : "a message came early",
                 frame_number);
        if (whole && (got.length != static_cast<int32_t>(expected.size()) ||
                      !std::equal(expected.begin(), expected.end(), got.payload)))
            fail("the payload differs from the frames'", frame_number);
        frame_number++;
    }
    return 0;
}
