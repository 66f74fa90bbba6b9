// The shipped description file, decoded against messages whose values were encoded by hand
// from the protocol's field facts: a wrong byte, length, sign or resolution in the file shows
// up as a wrong number here. Each PGN has a typical message, with signed values below zero
// where that can happen, and one of all "not available" codes, whose top bits tell a wrong
// sign or length of the unsigned fields.
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
    // Direction 2 under five reserved ones; -0.1 rad = -1000 = 0xFC18; -0.0523 rad = -523 =
    // 0xFDF5.
    {127245,
     "Rudder",
     {0x00, 0xFA, 0x18, 0xFC, 0xF5, 0xFD, 0xFF, 0xFF},
     {{"instance", "0.0000"},
      {"directionOrder", "2.0000"},
      {"angleOrder", "-0.1000"},
      {"position", "-0.0523"}}},
    // 1.5708 rad = 15708 = 0x3D5C; -0.003 rad = -30 = 0xFFE2; -0.0175 rad = -175 = 0xFF51;
    // magnetic reference (1) under six reserved ones.
    {127250,
     "Vessel Heading",
     {0x2A, 0x5C, 0x3D, 0xE2, 0xFF, 0x51, 0xFF, 0xFD},
     {{"sid", "42.0000"},
      {"heading", "1.5708"},
      {"deviation", "-0.0030"},
      {"variation", "-0.0175"},
      {"reference", "1.0000"}}},
    // -0.01 rad/s = -320000 x 3.125e-08 = 0xFFFB1E00.
    {127251,
     "Rate of Turn",
     {0x07, 0x00, 0x1E, 0xFB, 0xFF, 0xFF, 0xFF, 0xFF},
     {{"sid", "7.0000"}, {"rate", "-0.0100"}}},
    // -7854 = 0xE152; -349 = 0xFEA3; -1047 = 0xFBE9.
    {127257,
     "Attitude",
     {0x00, 0x52, 0xE1, 0xA3, 0xFE, 0xE9, 0xFB, 0xFF},
     {{"sid", "0.0000"}, {"yaw", "-0.7854"}, {"pitch", "-0.0349"}, {"roll", "-0.1047"}}},
    // Source 4 under four reserved ones; 19000 days = 0x4A38; -436 = 0xFE4C, west.
    {127258,
     "Magnetic Variation",
     {0x03, 0xF4, 0x38, 0x4A, 0x4C, 0xFE, 0xFF, 0xFF},
     {{"sid", "3.0000"},
      {"source", "4.0000"},
      {"ageOfService", "19000.0000"},
      {"variation", "-0.0436"}}},
    // 2450 rpm = 9800 x 0.25 = 0x2648; 120000 Pa = 1200 x 100 = 0x04B0; trim -5 = 0xFB.
    {127488,
     "Engine Parameters, Rapid Update",
     {0x00, 0x48, 0x26, 0xB0, 0x04, 0xFB, 0xFF, 0xFF},
     {{"instance", "0.0000"},
      {"speed", "2450.0000"},
      {"boostPressure", "120000.0000"},
      {"tiltTrim", "-5.0000"}}},
    // Reverse (2) under six reserved ones; 15000 x 100 Pa = 0x3A98; 338.2 K = 3382 = 0x0D36,
    // 65.05 degrees Celsius.
    {127493,
     "Transmission Parameters, Dynamic",
     {0x01, 0xFE, 0x98, 0x3A, 0x36, 0x0D, 0x00, 0xFF},
     {{"instance", "1.0000"},
      {"transmissionGear", "2.0000"},
      {"oilPressure", "1500000.0000"},
      {"oilTemperature", "65.0500"},
      {"discreteStatus1", "0.0000"}}},
    // Instance 2 under fluid type 1 (water); 75 % = 18750 x 0.004 = 0x493E; 200 L = 2000.
    {127505,
     "Fluid Level",
     {0x12, 0x3E, 0x49, 0xD0, 0x07, 0x00, 0x00, 0xFF},
     {{"instance", "2.0000"}, {"level", "75.0000"}, {"capacity", "200.0000"}}},
    // A level sensor reading below empty: -2 % = -500 = 0xFE0C.
    {127505,
     "Fluid Level",
     {0x12, 0x0C, 0xFE, 0xD0, 0x07, 0x00, 0x00, 0xFF},
     {{"instance", "2.0000"}, {"level", "-2.0000"}, {"capacity", "200.0000"}}},
    // 12.85 V = 1285 = 0x0505; -3.2 A = -32 = 0xFFE0; 298.15 K = 29815 = 0x7477, 25 C.
    {127508,
     "Battery Status",
     {0x00, 0x05, 0x05, 0xE0, 0xFF, 0x77, 0x74, 0x09},
     {{"instance", "0.0000"},
      {"voltage", "12.8500"},
      {"current", "-3.2000"},
      {"temperature", "25.0000"},
      {"sid", "9.0000"}}},
    // A disconnected bank whose shunt reads -0.12 V = -12 = 0xFFF4.
    {127508,
     "Battery Status",
     {0x01, 0xF4, 0xFF, 0xE0, 0xFF, 0x77, 0x74, 0x0A},
     {{"instance", "1.0000"},
      {"voltage", "-0.1200"},
      {"current", "-3.2000"},
      {"temperature", "25.0000"},
      {"sid", "10.0000"}}},
    // -0.0262 rad = -262 = 0xFEFA.
    {128000,
     "Leeway Angle",
     {0x00, 0xFA, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
     {{"sid", "0.0000"}, {"leewayAngle", "-0.0262"}}},
    // 3.08 m/s = 308 = 0x0134; ground speed not available (0xFFFF); doppler (2);
    // direction 0 under four reserved ones.
    {128259,
     "Speed",
     {0x00, 0x34, 0x01, 0xFF, 0xFF, 0x02, 0xF0, 0xFF},
     {{"sid", "0.0000"},
      {"speedWaterReferenced", "3.0800"},
      {"speedGroundReferenced", "655.3500"},
      {"speedWaterReferencedType", "2.0000"},
      {"speedDirection", "0.0000"}}},
    // 12.34 m = 1234 = 0x04D2; offset to the keel -1.2 m = -1200 = 0xFB50; range 100 m =
    // 10 x 10.
    {128267,
     "Water Depth",
     {0x00, 0xD2, 0x04, 0x00, 0x00, 0x50, 0xFB, 0x0A},
     {{"sid", "0.0000"}, {"depth", "12.3400"}, {"offset", "-1.2000"}, {"range", "100.0000"}}},
    // 50.37 N = 503700000 = 0x1E05DA20; 4.142 W = -41420000 = 0xFD87FB20.
    {129025,
     "Position, Rapid Update",
     {0x20, 0xDA, 0x05, 0x1E, 0x20, 0xFB, 0x87, 0xFD},
     {{"latitude", "50.3700"}, {"longitude", "-4.1420"}}},
    // 33.8568 S = -338568000 = 0xEBD1DCC0; 151.2153 E = 1512153000 = 0x5A219FA8.
    {129025,
     "Position, Rapid Update",
     {0xC0, 0xDC, 0xD1, 0xEB, 0xA8, 0x9F, 0x21, 0x5A},
     {{"latitude", "-33.8568"}, {"longitude", "151.2153"}}},
    // Magnetic reference (1) under six reserved ones; 3.1416 rad = 31416 = 0x7AB8; 5.14 m/s.
    {129026,
     "COG & SOG, Rapid Update",
     {0x00, 0xFD, 0xB8, 0x7A, 0x02, 0x02, 0xFF, 0xFF},
     {{"sid", "0.0000"}, {"cogReference", "1.0000"}, {"cog", "3.1416"}, {"sog", "5.1400"}}},
    // Mode 1 with reserved ones in bits 4 and 5, not terminated; -12.5 m = -1250 = 0xFFFFFB1E.
    {129283,
     "Cross Track Error",
     {0x00, 0x31, 0x1E, 0xFB, 0xFF, 0xFF, 0xFF, 0xFF},
     {{"sid", "0.0000"}, {"xteMode", "1.0000"}, {"xte", "-12.5000"}}},
    // Desired mode 3 under actual mode 2 and reserved ones; 0.9, 1.3 and 1.1.
    {129539,
     "GNSS DOPs",
     {0x00, 0xD3, 0x5A, 0x00, 0x82, 0x00, 0x6E, 0x00},
     {{"sid", "0.0000"},
      {"desiredMode", "3.0000"},
      {"hdop", "0.9000"},
      {"vdop", "1.3000"},
      {"tdop", "1.1000"}}},
    // Below zero, whatever a receiver would mean by it: -1, -2 and -100 hundredths.
    {129539,
     "GNSS DOPs",
     {0x00, 0xD3, 0xFF, 0xFF, 0xFE, 0xFF, 0x9C, 0xFF},
     {{"sid", "0.0000"},
      {"desiredMode", "3.0000"},
      {"hdop", "-0.0100"},
      {"vdop", "-0.0200"},
      {"tdop", "-1.0000"}}},
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
    // A humidity sensor below its calibration: -0.4 % = -100 = 0xFF9C.
    {130311,
     "Environmental Parameters",
     {0x00, 0x41, 0xED, 0x71, 0x9C, 0xFF, 0xF2, 0x03},
     {{"sid", "0.0000"},
      {"temperatureSource", "1.0000"},
      {"temperature", "18.5000"},
      {"humidity", "-0.4000"},
      {"atmosphericPressure", "101000.0000"}}},
    // Live well (5), instance 2: 15.3 C = 288.45 K = 0x70AD; set 14 C = 287.15 K = 28715 =
    // 0x702B.
    {130312,
     "Temperature",
     {0x11, 0x02, 0x05, 0xAD, 0x70, 0x2B, 0x70, 0xFF},
     {{"sid", "17.0000"},
      {"instance", "2.0000"},
      {"source", "5.0000"},
      {"actualTemperature", "15.3000"},
      {"setTemperature", "14.0000"}}},
    // Outside (1), instance 3: 55 % = 13750 = 0x35B6; set 50 % = 12500 = 0x30D4.
    {130313,
     "Humidity",
     {0x09, 0x03, 0x01, 0xB6, 0x35, 0xD4, 0x30, 0xFF},
     {{"sid", "9.0000"},
      {"instance", "3.0000"},
      {"source", "1.0000"},
      {"actualHumidity", "55.0000"},
      {"setHumidity", "50.0000"}}},
    // Below its calibration: -1 % = -250 = 0xFF06, -2 % = -500 = 0xFE0C.
    {130313,
     "Humidity",
     {0x09, 0x03, 0x01, 0x06, 0xFF, 0x0C, 0xFE, 0xFF},
     {{"sid", "9.0000"},
      {"instance", "3.0000"},
      {"source", "1.0000"},
      {"actualHumidity", "-1.0000"},
      {"setHumidity", "-2.0000"}}},
    // Atmospheric (0), instance 1: 101325 Pa = 1013250 x 0.1 = 0x000F7602.
    {130314,
     "Actual Pressure",
     {0x15, 0x01, 0x00, 0x02, 0x76, 0x0F, 0x00, 0xFF},
     {{"sid", "21.0000"},
      {"instance", "1.0000"},
      {"source", "0.0000"},
      {"pressure", "101325.0000"}}},
    // Water (1) below ambient: -1000 Pa = -10000 x 0.1 = 0xFFFFD8F0.
    {130314,
     "Actual Pressure",
     {0x15, 0x01, 0x01, 0xF0, 0xD8, 0xFF, 0xFF, 0xFF},
     {{"sid", "21.0000"},
      {"instance", "1.0000"},
      {"source", "1.0000"},
      {"pressure", "-1000.0000"}}},
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

// A sensor that has no value sends all ones (a signed field all but its sign bit): for an
// unsigned field that is the one message whose top bit tells signed from unsigned.
const std::vector<known_message> NOT_AVAILABLE = {
    {126992,
     "System Time",
     {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
     {{"sid", "255.0000"}, {"source", "15.0000"}, {"date", "65535.0000"}, {"time", "429496.7295"}}},
    {127245,
     "Rudder",
     {0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0x7F, 0xFF, 0xFF},
     {{"instance", "255.0000"},
      {"directionOrder", "7.0000"},
      {"angleOrder", "3.2767"},
      {"position", "3.2767"}}},
    {127250,
     "Vessel Heading",
     {0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0x7F, 0xFF},
     {{"sid", "255.0000"},
      {"heading", "6.5535"},
      {"deviation", "3.2767"},
      {"variation", "3.2767"},
      {"reference", "3.0000"}}},
    // 2147483647 x 3.125e-08 = 67.10886396875.
    {127251,
     "Rate of Turn",
     {0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF},
     {{"sid", "255.0000"}, {"rate", "67.1089"}}},
    {127257,
     "Attitude",
     {0xFF, 0xFF, 0x7F, 0xFF, 0x7F, 0xFF, 0x7F, 0xFF},
     {{"sid", "255.0000"}, {"yaw", "3.2767"}, {"pitch", "3.2767"}, {"roll", "3.2767"}}},
    {127258,
     "Magnetic Variation",
     {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF},
     {{"sid", "255.0000"},
      {"source", "15.0000"},
      {"ageOfService", "65535.0000"},
      {"variation", "3.2767"}}},
    {127488,
     "Engine Parameters, Rapid Update",
     {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF},
     {{"instance", "255.0000"},
      {"speed", "16383.7500"},
      {"boostPressure", "6553500.0000"},
      {"tiltTrim", "127.0000"}}},
    // 6553.5 K is 6280.35 degrees Celsius.
    {127493,
     "Transmission Parameters, Dynamic",
     {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
     {{"instance", "255.0000"},
      {"transmissionGear", "3.0000"},
      {"oilPressure", "6553500.0000"},
      {"oilTemperature", "6280.3500"},
      {"discreteStatus1", "255.0000"}}},
    {127505,
     "Fluid Level",
     {0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
     {{"instance", "15.0000"}, {"level", "131.0680"}, {"capacity", "429496729.5000"}}},
    // 655.35 K is 382.2 degrees Celsius.
    {127508,
     "Battery Status",
     {0xFF, 0xFF, 0x7F, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF},
     {{"instance", "255.0000"},
      {"voltage", "327.6700"},
      {"current", "3276.7000"},
      {"temperature", "382.2000"},
      {"sid", "255.0000"}}},
    {128000,
     "Leeway Angle",
     {0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
     {{"sid", "255.0000"}, {"leewayAngle", "3.2767"}}},
    {128259,
     "Speed",
     {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
     {{"sid", "255.0000"},
      {"speedWaterReferenced", "655.3500"},
      {"speedGroundReferenced", "655.3500"},
      {"speedWaterReferencedType", "255.0000"},
      {"speedDirection", "15.0000"}}},
    {128267,
     "Water Depth",
     {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF},
     {{"sid", "255.0000"},
      {"depth", "42949672.9500"},
      {"offset", "32.7670"},
      {"range", "2550.0000"}}},
    {129025,
     "Position, Rapid Update",
     {0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0x7F},
     {{"latitude", "214.7484"}, {"longitude", "214.7484"}}},
    {129026,
     "COG & SOG, Rapid Update",
     {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
     {{"sid", "255.0000"}, {"cogReference", "3.0000"}, {"cog", "6.5535"}, {"sog", "655.3500"}}},
    {129283,
     "Cross Track Error",
     {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF},
     {{"sid", "255.0000"}, {"xteMode", "15.0000"}, {"xte", "21474836.4700"}}},
    {129539,
     "GNSS DOPs",
     {0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0x7F, 0xFF, 0x7F},
     {{"sid", "255.0000"},
      {"desiredMode", "7.0000"},
      {"hdop", "327.6700"},
      {"vdop", "327.6700"},
      {"tdop", "327.6700"}}},
    {130306,
     "Wind Data",
     {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
     {{"sid", "255.0000"},
      {"windSpeed", "655.3500"},
      {"windAngle", "6.5535"},
      {"reference", "7.0000"}}},
    {130310,
     "Environmental Parameters (obsolete)",
     {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
     {{"sid", "255.0000"},
      {"waterTemperature", "382.2000"},
      {"outsideAmbientAirTemperature", "382.2000"},
      {"atmosphericPressure", "6553500.0000"}}},
    {130311,
     "Environmental Parameters",
     {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF},
     {{"sid", "255.0000"},
      {"temperatureSource", "63.0000"},
      {"temperature", "382.2000"},
      {"humidity", "131.0680"},
      {"atmosphericPressure", "6553500.0000"}}},
    {130312,
     "Temperature",
     {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
     {{"sid", "255.0000"},
      {"instance", "255.0000"},
      {"source", "255.0000"},
      {"actualTemperature", "382.2000"},
      {"setTemperature", "382.2000"}}},
    {130313,
     "Humidity",
     {0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0x7F, 0xFF},
     {{"sid", "255.0000"},
      {"instance", "255.0000"},
      {"source", "255.0000"},
      {"actualHumidity", "131.0680"},
      {"setHumidity", "131.0680"}}},
    {130314,
     "Actual Pressure",
     {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF},
     {{"sid", "255.0000"},
      {"instance", "255.0000"},
      {"source", "255.0000"},
      {"pressure", "214748364.7000"}}},
    // 16777.215 K is 16504.065 degrees Celsius.
    {130316,
     "Temperature Extended Range",
     {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
     {{"sid", "255.0000"},
      {"instance", "255.0000"},
      {"source", "255.0000"},
      {"temperature", "16504.0650"},
      {"setTemperature", "6280.3500"}}},
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

std::vector<known_message> all_messages()
{
    std::vector<known_message> all = KNOWN_MESSAGES;
    all.insert(all.end(), NOT_AVAILABLE.begin(), NOT_AVAILABLE.end());
    return all;
}

TEST_F(description_file, decodes_known_messages_of_every_pgn)
{
    for (const known_message &message : all_messages()) {
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
    std::set<uint32_t> tested, tested_not_available;
    for (const known_message &message : KNOWN_MESSAGES)
        tested.insert(message.pgn);
    for (const known_message &message : NOT_AVAILABLE)
        tested_not_available.insert(message.pgn);
    EXPECT_EQ(tested_not_available, tested);

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
