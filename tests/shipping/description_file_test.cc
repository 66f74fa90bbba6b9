// The shipped description file, decoded against messages whose values were encoded by hand
// from the protocol's field facts: a wrong byte, length, sign or resolution in the file shows
// up as a wrong number here.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "descriptions/description_loader.h"
#include "descriptions/pgn_table.h"
#include "output/field_decoder.h"

namespace
{

struct known_message {
    uint32_t pgn;
    const char *description;
    std::array<uint8_t, 8> payload;
    // Every field of the entry, in file order, with its "%.4f" text.
    std::vector<std::pair<std::string, std::string>> fields;
};

// Reserved bits and bytes are sent as ones; sub-byte fields share their byte with them.
const std::vector<known_message> KNOWN_MESSAGES = {
    // Source 3 under four reserved ones; 19675 days; 80000 s = 800000000 x 0.0001.
    {126992,
     "System Time",
     {0x01, 0xF3, 0xDB, 0x4C, 0x00, 0x08, 0xAF, 0x2F},
     {{"sid", "1.0000"}, {"source", "3.0000"}, {"date", "19675.0000"}, {"time", "80000.0000"}}},
    // Direction 2 under five reserved ones; -0.1 rad = -1000 = 0xFC18; 0.0523 rad = 523.
    {127245,
     "Rudder",
     {0x00, 0xFA, 0x18, 0xFC, 0x0B, 0x02, 0xFF, 0xFF},
     {{"instance", "0.0000"},
      {"directionOrder", "2.0000"},
      {"angleOrder", "-0.1000"},
      {"position", "0.0523"}}},
    // 1.5708 rad = 15708 = 0x3D5C; deviation not available (0x7FFF); -0.0175 rad = 0xFF51;
    // magnetic reference (1) under six reserved ones.
    {127250,
     "Vessel Heading",
     {0x2A, 0x5C, 0x3D, 0xFF, 0x7F, 0x51, 0xFF, 0xFD},
     {{"sid", "42.0000"},
      {"heading", "1.5708"},
      {"deviation", "3.2767"},
      {"variation", "-0.0175"},
      {"reference", "1.0000"}}},
    // -0.01 rad/s = -320000 x 3.125e-08 = 0xFFFB1E00.
    {127251,
     "Rate of Turn",
     {0x07, 0x00, 0x1E, 0xFB, 0xFF, 0xFF, 0xFF, 0xFF},
     {{"sid", "7.0000"}, {"rate", "-0.0100"}}},
    // 7854 = 0x1EAE; -349 = 0xFEA3; 1047 = 0x0417.
    {127257,
     "Attitude",
     {0x00, 0xAE, 0x1E, 0xA3, 0xFE, 0x17, 0x04, 0xFF},
     {{"sid", "0.0000"}, {"yaw", "0.7854"}, {"pitch", "-0.0349"}, {"roll", "0.1047"}}},
    // Source 4 under four reserved ones; 19000 days = 0x4A38; 436 = 0x01B4.
    {127258,
     "Magnetic Variation",
     {0x03, 0xF4, 0x38, 0x4A, 0xB4, 0x01, 0xFF, 0xFF},
     {{"sid", "3.0000"},
      {"source", "4.0000"},
      {"ageOfService", "19000.0000"},
      {"variation", "0.0436"}}},
    // 2450 rpm = 9800 x 0.25 = 0x2648; 120000 Pa = 1200 x 100 = 0x04B0; trim -5 = 0xFB.
    {127488,
     "Engine Parameters, Rapid Update",
     {0x00, 0x48, 0x26, 0xB0, 0x04, 0xFB, 0xFF, 0xFF},
     {{"instance", "0.0000"},
      {"speed", "2450.0000"},
      {"boostPressure", "120000.0000"},
      {"tiltTrim", "-5.0000"}}},
    // Forward (0) under six reserved ones; 15000 x 100 Pa = 0x3A98; 338.2 K = 3382 = 0x0D36,
    // 65.05 degrees Celsius.
    {127493,
     "Transmission Parameters, Dynamic",
     {0x01, 0xFC, 0x98, 0x3A, 0x36, 0x0D, 0x00, 0xFF},
     {{"instance", "1.0000"},
      {"transmissionGear", "0.0000"},
      {"oilPressure", "1500000.0000"},
      {"oilTemperature", "65.0500"},
      {"discreteStatus1", "0.0000"}}},
    // Instance 2 under fluid type 1 (water); 75 % = 18750 x 0.004 = 0x493E; 200 L = 2000.
    {127505,
     "Fluid Level",
     {0x12, 0x3E, 0x49, 0xD0, 0x07, 0x00, 0x00, 0xFF},
     {{"instance", "2.0000"}, {"level", "75.0000"}, {"capacity", "200.0000"}}},
    // 12.85 V = 1285 = 0x0505; -3.2 A = -32 = 0xFFE0; 298.15 K = 29815 = 0x7477, 25 C.
    {127508,
     "Battery Status",
     {0x00, 0x05, 0x05, 0xE0, 0xFF, 0x77, 0x74, 0x09},
     {{"instance", "0.0000"},
      {"voltage", "12.8500"},
      {"current", "-3.2000"},
      {"temperature", "25.0000"},
      {"sid", "9.0000"}}},
    // -0.0262 rad = -262 = 0xFEFA.
    {128000,
     "Leeway Angle",
     {0x00, 0xFA, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
     {{"sid", "0.0000"}, {"leewayAngle", "-0.0262"}}},
    // 3.08 m/s = 308 = 0x0134; ground speed not available (0xFFFF); paddle wheel (0);
    // direction 0 under four reserved ones.
    {128259,
     "Speed",
     {0x00, 0x34, 0x01, 0xFF, 0xFF, 0x00, 0xF0, 0xFF},
     {{"sid", "0.0000"},
      {"speedWaterReferenced", "3.0800"},
      {"speedGroundReferenced", "655.3500"},
      {"speedWaterReferencedType", "0.0000"},
      {"speedDirection", "0.0000"}}},
    // 12.34 m = 1234 = 0x04D2; offset 0.5 m = 500 = 0x01F4; range 100 m = 10 x 10.
    {128267,
     "Water Depth",
     {0x00, 0xD2, 0x04, 0x00, 0x00, 0xF4, 0x01, 0x0A},
     {{"sid", "0.0000"}, {"depth", "12.3400"}, {"offset", "0.5000"}, {"range", "100.0000"}}},
    // 50.37 N = 503700000 = 0x1E05DA20; 4.142 W = -41420000 = 0xFD87FB20.
    {129025,
     "Position, Rapid Update",
     {0x20, 0xDA, 0x05, 0x1E, 0x20, 0xFB, 0x87, 0xFD},
     {{"latitude", "50.3700"}, {"longitude", "-4.1420"}}},
    // True reference (0) under six reserved ones; 3.1416 rad = 31416 = 0x7AB8; 5.14 m/s.
    {129026,
     "COG & SOG, Rapid Update",
     {0x00, 0xFC, 0xB8, 0x7A, 0x02, 0x02, 0xFF, 0xFF},
     {{"sid", "0.0000"}, {"cogReference", "0.0000"}, {"cog", "3.1416"}, {"sog", "5.1400"}}},
    // Mode 1 with reserved ones in bits 4 and 5, not terminated; -12.5 m = -1250 = 0xFFFFFB1E.
    {129283,
     "Cross Track Error",
     {0x00, 0x31, 0x1E, 0xFB, 0xFF, 0xFF, 0xFF, 0xFF},
     {{"sid", "0.0000"}, {"xteMode", "1.0000"}, {"xte", "-12.5000"}}},
    // Desired mode 3 under actual mode 2 and reserved ones; 0.9 and 1.3; tdop not available.
    {129539,
     "GNSS DOPs",
     {0x00, 0xD3, 0x5A, 0x00, 0x82, 0x00, 0xFF, 0x7F},
     {{"sid", "0.0000"},
      {"desiredMode", "3.0000"},
      {"hdop", "0.9000"},
      {"vdop", "1.3000"},
      {"tdop", "327.6700"}}},
    // 6.17 m/s = 617 = 0x0269; 5.4978 rad = 54978 = 0xD6C2; apparent (2) under reserved ones.
    {130306,
     "Wind Data",
     {0x00, 0x69, 0x02, 0xC2, 0xD6, 0xFA, 0xFF, 0xFF},
     {{"sid", "0.0000"},
      {"windSpeed", "6.1700"},
      {"windAngle", "5.4978"},
      {"reference", "2.0000"}}},
    // 288.45 K = 28845 = 0x70AD, 15.3 C; 293.15 K = 29315 = 0x7283, 20 C; 1013 hPa = 0x03F5.
    {130310,
     "Environmental Parameters (obsolete)",
     {0x00, 0xAD, 0x70, 0x83, 0x72, 0xF5, 0x03, 0xFF},
     {{"sid", "0.0000"},
      {"waterTemperature", "15.3000"},
      {"outsideAmbientAirTemperature", "20.0000"},
      {"atmosphericPressure", "101300.0000"}}},
    // Temperature source 1 under humidity source 1; 291.65 K = 29165 = 0x71ED, 18.5 C;
    // 62.5 % = 15625 = 0x3D09; 1010 hPa = 0x03F2.
    {130311,
     "Environmental Parameters",
     {0x00, 0x41, 0xED, 0x71, 0x09, 0x3D, 0xF2, 0x03},
     {{"sid", "0.0000"},
      {"temperatureSource", "1.0000"},
      {"temperature", "18.5000"},
      {"humidity", "62.5000"},
      {"atmosphericPressure", "101000.0000"}}},
    // Sea temperature 15.3 C = 0x70AD; set temperature not available: 655.35 K.
    {130312,
     "Temperature",
     {0x00, 0x00, 0x00, 0xAD, 0x70, 0xFF, 0xFF, 0xFF},
     {{"sid", "0.0000"},
      {"instance", "0.0000"},
      {"source", "0.0000"},
      {"actualTemperature", "15.3000"},
      {"setTemperature", "382.2000"}}},
    // 55 % = 13750 = 0x35B6; set humidity not available: 32767 x 0.004.
    {130313,
     "Humidity",
     {0x00, 0x00, 0x01, 0xB6, 0x35, 0xFF, 0x7F, 0xFF},
     {{"sid", "0.0000"},
      {"instance", "0.0000"},
      {"source", "1.0000"},
      {"actualHumidity", "55.0000"},
      {"setHumidity", "131.0680"}}},
    // 101325 Pa = 1013250 x 0.1 = 0x000F7602.
    {130314,
     "Actual Pressure",
     {0x00, 0x00, 0x00, 0x02, 0x76, 0x0F, 0x00, 0xFF},
     {{"sid", "0.0000"},
      {"instance", "0.0000"},
      {"source", "0.0000"},
      {"pressure", "101325.0000"}}},
    // Refrigeration (7): 277.15 K = 277150 x 0.001 = 0x043A9E in 24 bits, 4 C;
    // set 277.0 K = 2770 x 0.1 = 0x0AD2, 3.85 C.
    {130316,
     "Temperature Extended Range",
     {0x00, 0x01, 0x07, 0x9E, 0x3A, 0x04, 0xD2, 0x0A},
     {{"sid", "0.0000"},
      {"instance", "1.0000"},
      {"source", "7.0000"},
      {"temperature", "4.0000"},
      {"setTemperature", "3.8500"}}},
};

class description_file : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        clear_table();
        ASSERT_TRUE(load_descriptions(N2K_DESCRIPTION_FILE));
    }
};

std::string printed(const uint8_t *payload, const field_spec &field)
{
    std::optional<double> value = decode_field(payload, field);
    if (!value)
        return "no value";

    char text[64];
    std::snprintf(text, sizeof text, "%.4f", *value);
    return text;
}

TEST_F(description_file, decodes_a_known_message_of_every_pgn)
{
    for (const known_message &message : KNOWN_MESSAGES) {
        SCOPED_TRACE(message.pgn);
        const pgn_entry *entry = find_entry(message.pgn);
        ASSERT_NE(entry, nullptr);
        EXPECT_STREQ(entry->description, message.description);

        std::vector<std::pair<std::string, std::string>> fields;
        for (int i = 0; i < entry->field_count; i++) {
            const field_spec &field = entry->fields[i];
            // Every field is printed for a full single frame.
            EXPECT_TRUE(field_fits(field, 8)) << field.name;
            fields.emplace_back(field.name, printed(message.payload.data(), field));
        }
        EXPECT_EQ(fields, message.fields);
    }
}

TEST_F(description_file, describes_nothing_untested_and_no_pgn_twice)
{
    std::set<uint32_t> tested;
    for (const known_message &message : KNOWN_MESSAGES)
        tested.insert(message.pgn);

    std::set<uint32_t> described;
    for (int i = 0; i < pgn_table.count; i++)
        EXPECT_TRUE(described.insert(pgn_table.entries[i].pgn).second)
            << "a second section for " << pgn_table.entries[i].pgn << " is never used";
    EXPECT_EQ(described, tested);
}

// A field line that reads only in part still adds a field, with zeros where reading stopped.
TEST_F(description_file, every_field_line_reads_in_full)
{
    for (int i = 0; i < pgn_table.count; i++) {
        const pgn_entry &entry = pgn_table.entries[i];
        for (int j = 0; j < entry.field_count; j++) {
            const field_spec &field = entry.fields[j];
            SCOPED_TRACE(std::to_string(entry.pgn) + " " + field.name);
            EXPECT_TRUE(field.type == 's' || field.type == 'u');
            EXPECT_GT(field.length, 0);
            EXPECT_NE(field.scale, 0.0);
        }
    }
}

// The loader cuts a line after its 255th byte and reads the rest as a line of its own.
TEST(description_file_text, has_no_line_the_loader_would_cut)
{
    std::ifstream file(N2K_DESCRIPTION_FILE);
    ASSERT_TRUE(file.is_open());

    std::string line;
    int number = 0;
    while (std::getline(file, line)) {
        number++;
        EXPECT_LT(line.size(), 255u) << "line " << number;
    }
}

} // namespace
