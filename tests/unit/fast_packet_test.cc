#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "capture_stdout.h"
#include "descriptions/pgn_table.h"
#include "fast_packet_frames.h"
#include "reassembly/fast_packet.h"

namespace
{

constexpr uint32_t MARKED = 129029;
constexpr uint32_t OTHER_MARKED = 129540;
constexpr uint32_t UNMARKED = 127250;
constexpr uint32_t UNDESCRIBED = 60928;

const char DESCRIPTIONS[] = "[PGN_129029]\n"
                            "fast_packet = yes\n"
                            "[PGN_129540]\n"
                            "fast_packet = yes\n"
                            "[PGN_127250]\n"
                            "fast_packet = no\n";

struct frame {
    uint32_t pgn;
    uint8_t source;
    std::vector<uint8_t> bytes;
};

// Each message handed on, as "after frame <i>: <pgn> <source> <length>: <bytes>".
std::vector<std::string> assemble(const std::vector<frame> &frames)
{
    std::vector<std::string> whole;
    for (std::size_t i = 0; i < frames.size(); i++) {
        const frame &f = frames[i];
        assembled_message message{};
        if (!assemble_message(f.pgn, f.source, static_cast<int32_t>(f.bytes.size()), f.bytes.data(),
                              &message))
            continue;
        std::string text = "after frame " + std::to_string(i) + ": " + std::to_string(f.pgn) + " " +
                           std::to_string(f.source) + " " + std::to_string(message.length) + ":";
        for (int b = 0; b < message.length; b++) {
            char hex[4];
            std::snprintf(hex, sizeof hex, " %02X", message.payload[b]);
            text += hex;
        }
        whole.push_back(text);
    }
    return whole;
}

// The frames of a payload as a sender cuts them.
std::vector<frame> frames_of(uint32_t pgn, uint8_t source, int sequence,
                             const std::vector<uint8_t> &payload)
{
    std::vector<frame> frames;
    for (std::vector<uint8_t> &bytes : fast_packet_frames(payload, sequence))
        frames.push_back({pgn, source, bytes});
    return frames;
}

std::vector<uint8_t> counting(int length)
{
    std::vector<uint8_t> bytes;
    for (int i = 0; i < length; i++)
        bytes.push_back(static_cast<uint8_t>(i + 1));
    return bytes;
}

std::string counting_text(int length)
{
    std::string text;
    for (int i = 0; i < length; i++) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02X", i + 1);
        text += hex;
    }
    return text;
}

class FastPacket : public testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(load_description_text(DESCRIPTIONS));
        drop_unfinished_messages();
    }
};

} // namespace

TEST_F(FastPacket, FramesFollowTheRules)
{
    const struct {
        const char *what;
        std::vector<frame> frames;
        std::vector<std::string> whole;
    } cases[] = {
        {"two frames, padding after the total is not payload",
         {{MARKED, 7, {0x20, 9, 1, 2, 3, 4, 5, 6}},
          {MARKED, 7, {0x21, 7, 8, 9, 0xFF, 0xFF, 0xFF, 0xFF}}},
         {"after frame 1: 129029 7 9: 01 02 03 04 05 06 07 08 09"}},
        {"six bytes or fewer are whole with frame 0",
         {{MARKED, 7, {0x40, 3, 0xAA, 0xBB, 0xCC, 0xFF, 0xFF, 0xFF}},
          {MARKED, 7, {0x60, 6, 1, 2, 3, 4, 5, 6}},
          {MARKED, 7, {0x80, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}},
         {"after frame 0: 129029 7 3: AA BB CC", "after frame 1: 129029 7 6: 01 02 03 04 05 06",
          "after frame 2: 129029 7 0:"}},
        {"unmarked and undescribed PGNs pass whole, empty ones too",
         {{UNMARKED, 1, {0x21, 7}}, {UNDESCRIBED, 2, {}}, {UNMARKED, 1, {}}},
         {"after frame 0: 127250 1 2: 21 07",
          "after frame 1: 60928 2 0:", "after frame 2: 127250 1 0:"}},
        {"a missing frame abandons, and later frames wait for a frame 0",
         {{MARKED, 7, {0x20, 20, 1, 2, 3, 4, 5, 6}},
          {MARKED, 7, {0x22, 14, 15, 16, 17, 18, 19, 20}},
          {MARKED, 7, {0x21, 7, 8, 9, 10, 11, 12, 13}},
          {MARKED, 7, {0x22, 14, 15, 16, 17, 18, 19, 20}},
          {MARKED, 7, {0x40, 9, 1, 2, 3, 4, 5, 6}},
          {MARKED, 7, {0x41, 7, 8, 9, 0xFF, 0xFF, 0xFF, 0xFF}}},
         {"after frame 5: 129029 7 9: 01 02 03 04 05 06 07 08 09"}},
        {"a frame counted again abandons",
         {{MARKED, 7, {0x20, 20, 1, 2, 3, 4, 5, 6}},
          {MARKED, 7, {0x21, 7, 8, 9, 10, 11, 12, 13}},
          {MARKED, 7, {0x21, 7, 8, 9, 10, 11, 12, 13}},
          {MARKED, 7, {0x22, 14, 15, 16, 17, 18, 19, 20}}},
         {}},
        {"another sequence counter abandons",
         {{MARKED, 7, {0x20, 9, 1, 2, 3, 4, 5, 6}},
          {MARKED, 7, {0x41, 7, 8, 9, 0xFF, 0xFF, 0xFF, 0xFF}}},
         {}},
        {"a frame 0 starts over",
         {{MARKED, 7, {0x20, 9, 1, 2, 3, 4, 5, 6}},
          {MARKED, 7, {0x40, 9, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6}},
          {MARKED, 7, {0x41, 0xA7, 0xA8, 0xA9, 0xFF, 0xFF, 0xFF, 0xFF}}},
         {"after frame 2: 129029 7 9: A1 A2 A3 A4 A5 A6 A7 A8 A9"}},
        {"messages of other sources and PGNs interleave",
         {{MARKED, 7, {0x20, 9, 1, 2, 3, 4, 5, 6}},
          {MARKED, 8, {0x20, 8, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6}},
          {OTHER_MARKED, 7, {0x20, 7, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6}},
          {UNMARKED, 7, {0x21, 0}},
          {MARKED, 8, {0x21, 0xB7, 0xB8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
          {OTHER_MARKED, 7, {0x21, 0xC7, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
          {MARKED, 7, {0x21, 7, 8, 9, 0xFF, 0xFF, 0xFF, 0xFF}}},
         {"after frame 3: 127250 7 2: 21 00", "after frame 4: 129029 8 8: B1 B2 B3 B4 B5 B6 B7 B8",
          "after frame 5: 129540 7 7: C1 C2 C3 C4 C5 C6 C7",
          "after frame 6: 129029 7 9: 01 02 03 04 05 06 07 08 09"}},
        {"a frame 0 beyond 223 bytes or without its length abandons",
         {{MARKED, 7, {0x20, 9, 1, 2, 3, 4, 5, 6}},
          {MARKED, 7, {0x40, 224, 1, 2, 3, 4, 5, 6}},
          {MARKED, 7, {0x21, 7, 8, 9, 0xFF, 0xFF, 0xFF, 0xFF}},
          {MARKED, 8, {0x20, 9, 1, 2, 3, 4, 5, 6}},
          {MARKED, 8, {0x40}},
          {MARKED, 8, {0x21, 7, 8, 9, 0xFF, 0xFF, 0xFF, 0xFF}}},
         {}},
        {"an empty frame abandons",
         {{MARKED, 7, {0x20, 9, 1, 2, 3, 4, 5, 6}},
          {MARKED, 7, {}},
          {MARKED, 7, {0x21, 7, 8, 9, 0xFF}}},
         {}},
        {"short frames carry what they have",
         {{MARKED, 7, {0x20, 10, 1, 2, 3}},
          {MARKED, 7, {0x21}},
          {MARKED, 7, {0x22, 4, 5}},
          {MARKED, 7, {0x23, 6, 7, 8, 9, 10, 0xFF, 0xFF}}},
         {"after frame 3: 129029 7 10: 01 02 03 04 05 06 07 08 09 0A"}},
        {"a short frame 0 of a short message waits for the rest",
         {{MARKED, 7, {0x20, 4, 1, 2}}, {MARKED, 7, {0x21, 3, 4, 0xFF}}},
         {"after frame 1: 129029 7 4: 01 02 03 04"}},
        {"bytes past the eighth of a frame are not payload",
         {{MARKED, 7, {0x20, 9, 1, 2, 3, 4, 5, 6, 0xEE, 0xEE}},
          {MARKED, 7, {0x21, 7, 8, 9, 0xFF, 0xFF, 0xFF, 0xFF, 0xEE}}},
         {"after frame 1: 129029 7 9: 01 02 03 04 05 06 07 08 09"}},
    };

    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        drop_unfinished_messages();
        EXPECT_EQ(assemble(c.frames), c.whole);
    }
}

TEST_F(FastPacket, LongestMessageTakesThirtyTwoFrames)
{
    std::vector<frame> frames = frames_of(MARKED, 3, 5, counting(FAST_PACKET_MAX_LENGTH));
    ASSERT_EQ(frames.size(), 32u);
    EXPECT_EQ(assemble(frames), std::vector<std::string>{"after frame 31: 129029 3 223:" +
                                                         counting_text(FAST_PACKET_MAX_LENGTH)});
}

// With every slot busy, a new message abandons the one continued longest ago.
TEST_F(FastPacket, LeastRecentlyContinuedMessageMakesRoom)
{
    std::vector<frame> frames;
    for (int source = 0; source < FAST_PACKET_SLOTS; source++)
        frames.push_back(frames_of(MARKED, static_cast<uint8_t>(source), 1, counting(20))[0]);
    // Source 0 is continued, so source 1 is now the least recently used.
    frames.push_back(frames_of(MARKED, 0, 1, counting(20))[1]);
    frames.push_back(frames_of(OTHER_MARKED, 0, 2, counting(9))[0]);
    ASSERT_TRUE(assemble(frames).empty());

    std::vector<frame> rest = {
        frames_of(MARKED, 1, 1, counting(20))[1], frames_of(MARKED, 1, 1, counting(20))[2],
        frames_of(MARKED, 0, 1, counting(20))[2], frames_of(MARKED, 2, 1, counting(20))[1],
        frames_of(MARKED, 2, 1, counting(20))[2], frames_of(OTHER_MARKED, 0, 2, counting(9))[1]};
    EXPECT_EQ(assemble(rest),
              (std::vector<std::string>{"after frame 2: 129029 0 20:" + counting_text(20),
                                        "after frame 4: 129029 2 20:" + counting_text(20),
                                        "after frame 5: 129540 0 9:" + counting_text(9)}));
}

// Slots freed by complete and abandoned messages are used again, however many pass.
TEST_F(FastPacket, SlotsAreReused)
{
    std::vector<frame> frames;
    std::vector<std::string> whole;
    for (int i = 0; i < 1000; i++) {
        uint8_t source = static_cast<uint8_t>(i % 200);
        std::vector<frame> message = frames_of(MARKED, source, i % 8, counting(12));
        if (i % 3 == 0)
            message[1].bytes[0] ^= 0x20; // another sequence counter abandons it
        else
            whole.push_back("after frame " + std::to_string(frames.size() + 1) + ": 129029 " +
                            std::to_string(source) + " 12:" + counting_text(12));
        frames.insert(frames.end(), message.begin(), message.end());
    }
    EXPECT_EQ(assemble(frames), whole);
}
