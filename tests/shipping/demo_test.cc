// The bundled capture played through the simulated bus into the built listener, as make demo
// does (without the pacing): every frame comes out, in order, in both modes.
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

std::string preload()
{
    const char *value = std::getenv("N2K_TEST_PRELOAD");
    return value != nullptr && *value != '\0' ? value : N2K_SIM_LIBRARY;
}

command_result play(const std::vector<std::string> &options)
{
    std::vector<std::string> argv = {N2K_LISTENER, "can0"};
    argv.insert(argv.end(), options.begin(), options.end());
    return run_command(argv, {"LD_PRELOAD=" + preload(), "N2K_SIM_FEED=" + CAPTURE}, 120);
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

    clear_table();
    ASSERT_TRUE(load_descriptions(DESCRIPTIONS.c_str()));
    int undescribed = 0;
    for (const auto &[pgn, count] : per_pgn) {
        if (find_entry(pgn) == nullptr)
            undescribed++;
    }
    EXPECT_GE(undescribed, 2);
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

TEST(demo, json_mode_decodes_every_described_frame_with_the_shipped_file)
{
    std::vector<frame> frames = read_capture();
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
    ASSERT_EQ(objects.size(), frames.size());

    for (std::size_t i = 0; i < frames.size(); i++) {
        SCOPED_TRACE("frame " + std::to_string(i + 1));
        const nlohmann::ordered_json &object = objects[i];
        EXPECT_EQ(object["pgn"], frames[i].pgn);
        EXPECT_EQ(object["sourceAddress"], frames[i].source);
        EXPECT_EQ(object["payloadLength"], frames[i].data.size());

        const pgn_entry *entry = find_entry(frames[i].pgn);
        std::vector<std::string> names, expected_names;
        for (const auto &[name, value] : object["fields"].items()) {
            names.push_back(name);
            EXPECT_TRUE(value.is_number()) << name;
        }
        if (entry == nullptr) {
            EXPECT_FALSE(object.contains("description"));
        } else {
            EXPECT_EQ(object["description"], entry->description);
            for (int f = 0; f < entry->field_count; f++)
                expected_names.push_back(entry->fields[f].name);
        }
        EXPECT_EQ(names, expected_names);
    }
}

} // namespace
