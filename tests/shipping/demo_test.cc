// The bundled capture played through the simulated bus into the built listener, as make demo
// does (without the pacing): every frame comes out, in order, in raw mode; in JSON mode every
// single frame and every whole fast-packet message does.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "descriptions/description_loader.h"
#include "descriptions/pgn_table.h"
#include "output/field_decoder.h"
#include "shipping_process.h"

namespace
{

const std::string CAPTURE = N2K_SOURCE_DIR "/captures/demo.log";
const std::string DESCRIPTIONS = N2K_SOURCE_DIR "/share/n2k-devices.conf";

struct frame {
    long long micros;
    unsigned pgn;
    unsigned source;
    std::vector<unsigned char> data;
};

// The capture holds only 29-bit data frames: the J1939 messages that the bus delivers.
std::vector<frame> read_capture()
{
    std::vector<frame> frames;
    std::istringstream lines(read_file(CAPTURE));
    std::string line;
    while (std::getline(lines, line)) {
        unsigned long long seconds, micros;
        char interface[16], id_hex[9], data_hex[4097];
        int n = std::sscanf(line.c_str(), "(%llu.%6llu) %15s %8[0-9A-F]#%4096[0-9A-F]", &seconds,
                            &micros, interface, id_hex, data_hex);
        EXPECT_EQ(n, 5) << line;
        if (n != 5)
            continue;
        EXPECT_STREQ(interface, "can0");

        unsigned long id = std::strtoul(id_hex, nullptr, 16);
        unsigned pgn = (id >> 8) & 0x3FFFF;
        if (((id >> 16) & 0xFF) < 240)
            pgn &= 0x3FF00;

        frame f{static_cast<long long>(seconds * 1000000 + micros),
                pgn,
                static_cast<unsigned>(id & 0xFF),
                {}};
        std::string data = data_hex;
        for (std::size_t i = 0; i + 1 < data.size(); i += 2)
            f.data.push_back(
                static_cast<unsigned char>(std::stoul(data.substr(i, 2), nullptr, 16)));
        frames.push_back(f);
    }
    return frames;
}

command_result play(const std::vector<std::string> &options)
{
    std::vector<std::string> argv = {N2K_LISTENER, "can0"};
    argv.insert(argv.end(), options.begin(), options.end());
    return run_command(argv, {"LD_PRELOAD=" + sim_preload(), "N2K_SIM_FEED=" + CAPTURE}, 120);
}

// The PGNs the capture sends as fast packets.
const std::set<unsigned> FAST_PACKET_PGNS = {127489, 129029, 129038, 129039, 129540};

// A fast-packet message as the capture's frames carry it: frame 0 holds the length and six
// bytes, each later frame seven more.
struct message {
    unsigned pgn;
    unsigned source;
    std::vector<unsigned char> payload;
};

int frames_for(std::size_t length)
{
    return length <= 6 ? 1 : 1 + static_cast<int>((length - 6 + 6) / 7);
}

// What a receiver makes of the capture: a single frame is a message, and the frames of a fast
// packet make one when its last frame arrives. The capture's frames are whole and in order, so
// a frame that does not continue its message is a fault of the capture.
std::vector<message> messages_of(const std::vector<frame> &frames)
{
    struct in_progress {
        int next = 0;
        int sequence = 0;
        std::size_t length = 0;
        std::vector<unsigned char> payload;
    };
    std::map<std::pair<unsigned, unsigned>, in_progress> partial;
    std::vector<message> messages;
    for (const frame &f : frames) {
        if (FAST_PACKET_PGNS.count(f.pgn) == 0) {
            messages.push_back({f.pgn, f.source, f.data});
            continue;
        }
        EXPECT_EQ(f.data.size(), 8u);
        in_progress &p = partial[{f.pgn, f.source}];
        int sequence = f.data[0] >> 5, counter = f.data[0] & 0x1F;
        if (counter == 0) {
            p = in_progress{0, sequence, f.data[1], {}};
            p.payload.assign(f.data.begin() + 2, f.data.end());
        } else {
            EXPECT_EQ(counter, p.next) << "PGN " << f.pgn << " from " << f.source;
            EXPECT_EQ(sequence, p.sequence) << "PGN " << f.pgn << " from " << f.source;
            p.payload.insert(p.payload.end(), f.data.begin() + 1, f.data.end());
        }
        p.next = counter + 1;
        if (p.next == frames_for(p.length)) {
            // The last frame is padded with ones.
            for (std::size_t i = p.length; i < p.payload.size(); i++)
                EXPECT_EQ(p.payload[i], 0xFF) << "PGN " << f.pgn << " from " << f.source;
            p.payload.resize(p.length);
            messages.push_back({f.pgn, f.source, p.payload});
        }
    }
    return messages;
}

const char BANNER[] = "Listening for NMEA 2000 messages on can0...\n";
const char CLOSING[] = "\nExiting.\n";

TEST(demo_capture, is_fifteen_seconds_of_a_motor_boat)
{
    std::vector<frame> frames = read_capture();
    ASSERT_FALSE(frames.empty());

    long long span = frames.back().micros - frames.front().micros;
    EXPECT_GT(span, 14'500'000);
    EXPECT_LE(span, 15'000'000);

    std::map<unsigned, int> per_pgn;
    std::set<unsigned> sources;
    for (const frame &f : frames) {
        per_pgn[f.pgn]++;
        sources.insert(f.source);
        EXPECT_GE(f.micros, frames.front().micros) << "out of order";
    }
    // Engine rapid updates at 10 Hz.
    EXPECT_EQ(per_pgn[127488], 150);
    // Heading, rate of turn, depth, position, COG/SOG, wind, water temperature, battery.
    for (unsigned pgn : {127250u, 127251u, 128267u, 129025u, 129026u, 130306u, 130312u, 127508u})
        EXPECT_GT(per_pgn[pgn], 0) << pgn;
    EXPECT_GE(sources.size(), 4u);
    // Fast packets: the GNSS fix, satellites, AIS reports and the engine's dynamic parameters.
    for (unsigned pgn : FAST_PACKET_PGNS)
        EXPECT_GT(per_pgn[pgn], 1) << pgn;
    // Fields that start mid-byte: tank levels and a switch bank.
    for (unsigned pgn : {127505u, 127501u})
        EXPECT_GT(per_pgn[pgn], 0) << pgn;

    clear_table();
    ASSERT_TRUE(load_descriptions(DESCRIPTIONS.c_str()));
    int undescribed = 0;
    for (const auto &[pgn, count] : per_pgn) {
        if (find_entry(pgn) == nullptr)
            undescribed++;
    }
    EXPECT_GE(undescribed, 2);
}

// A sender counts its fast-packet messages of a PGN one up each (modulo 8), and every message
// is whole: its frames in order, its last one padded with ones.
TEST(demo_capture, frames_its_fast_packets_as_senders_do)
{
    std::map<std::pair<unsigned, unsigned>, std::vector<int>> sequences;
    int whole = 0;
    for (const frame &f : read_capture()) {
        if (FAST_PACKET_PGNS.count(f.pgn) == 1 && (f.data[0] & 0x1F) == 0)
            sequences[{f.pgn, f.source}].push_back(f.data[0] >> 5);
    }
    for (const message &m : messages_of(read_capture())) {
        if (FAST_PACKET_PGNS.count(m.pgn) == 1)
            whole++;
    }
    int started = 0;
    for (const auto &[key, counters] : sequences) {
        SCOPED_TRACE("PGN " + std::to_string(key.first) + " from " + std::to_string(key.second));
        for (std::size_t i = 0; i < counters.size(); i++)
            EXPECT_EQ(counters[i], static_cast<int>(i % 8));
        started += static_cast<int>(counters.size());
    }
    EXPECT_EQ(whole, started);
}

TEST(demo, raw_mode_prints_every_frame_in_order)
{
    std::string expected = BANNER;
    for (const frame &f : read_capture()) {
        char head[64];
        std::snprintf(head, sizeof head, "PGN: %-6u  SRC: %-3u  LEN: %-3d  DATA: ", f.pgn, f.source,
                      static_cast<int>(f.data.size()));
        expected += head;
        for (unsigned char byte : f.data) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%02X ", byte);
            expected += hex;
        }
        expected += "\n";
    }
    expected += CLOSING;

    command_result run = play({});
    EXPECT_EQ(run.out, expected);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exit_status, 0);
}

TEST(demo, json_mode_decodes_every_described_message_with_the_shipped_file)
{
    std::vector<message> messages = messages_of(read_capture());
    clear_table();
    ASSERT_TRUE(load_descriptions(DESCRIPTIONS.c_str()));

    command_result run = play({"-j", "-c", DESCRIPTIONS});
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exit_status, 0);
    ASSERT_EQ(run.out.rfind(BANNER, 0), 0u);
    ASSERT_GE(run.out.size(), sizeof BANNER + sizeof CLOSING);
    ASSERT_EQ(run.out.substr(run.out.size() - (sizeof CLOSING - 1)), CLOSING);

    // Each object opens with a line "{" and closes with a line "}".
    std::vector<nlohmann::ordered_json> objects;
    std::istringstream lines(run.out.substr(sizeof BANNER - 1));
    std::string line, text;
    while (std::getline(lines, line)) {
        text += line + "\n";
        if (line == "}") {
            objects.push_back(nlohmann::ordered_json::parse(text));
            text.clear();
        }
    }
    EXPECT_EQ(text, CLOSING);
    ASSERT_EQ(objects.size(), messages.size());

    for (std::size_t i = 0; i < messages.size(); i++) {
        SCOPED_TRACE("message " + std::to_string(i + 1));
        const nlohmann::ordered_json &object = objects[i];
        EXPECT_EQ(object["pgn"], messages[i].pgn);
        EXPECT_EQ(object["sourceAddress"], messages[i].source);
        EXPECT_EQ(object["payloadLength"], messages[i].payload.size());

        const pgn_entry *entry = find_entry(messages[i].pgn);
        std::vector<std::string> names, expected_names;
        for (const auto &[name, value] : object["fields"].items()) {
            names.push_back(name);
            EXPECT_TRUE(value.is_number()) << name;
        }
        if (entry == nullptr) {
            EXPECT_FALSE(object.contains("description"));
        } else {
            EXPECT_EQ(object["description"], entry->description);
            EXPECT_EQ(entry->fast_packet, FAST_PACKET_PGNS.count(messages[i].pgn) == 1);
            for (int f = 0; f < entry->field_count; f++) {
                const field_spec &field = entry->fields[f];
                expected_names.push_back(field.name);
                // The value decoded from the message this test put together.
                if (!object["fields"].contains(field.name) ||
                    !field_fits(field, static_cast<int32_t>(messages[i].payload.size())))
                    continue;
                char printed[64], expected[64];
                std::snprintf(printed, sizeof printed, "%.4f",
                              object["fields"][field.name].get<double>());
                std::snprintf(expected, sizeof expected, "%.4f",
                              *decode_field(messages[i].payload.data(), field));
                EXPECT_STREQ(printed, expected) << field.name;
            }
        }
        EXPECT_EQ(names, expected_names);
    }
}

} // namespace
