#include "bench_inputs.h"

#include <cstdio>

std::string json_description_text()
{
    return "# Entries of the JSON benchmarks.\n"
           "[PGN_130311]\n"
           "name = Environmental Parameters\n"
           "field_1 = sid, u, 0, 8, 1, 0,\n"
           "field_2 = sources, u, 1, 8, 1, 0, code\n"
           "field_3 = temperature, u, 2, 16, 0.01, -273.15, C\n"
           "field_4 = humidity, s, 4, 16, 0.004, 0, %\n"
           "field_5 = pressure, u, 6, 16, 100, 0, Pa\n"
           "field_6 = pressure_hpa, u, 6, 16, 1, 0, hPa\n"
           "\n"
           "[PGN_129029]\n"
           "name = GNSS Position Data\n"
           "field_1 = sid, u, 0, 8, 1, 0,\n"
           "field_2 = date, u, 1, 16, 1, 0, d\n"
           "field_3 = time, u, 3, 32, 0.0001, 0, s\n"
           "field_4 = latitude, s, 7, 64, 1e-16, 0, deg\n"
           "field_5 = longitude, s, 15, 64, 1e-16, 0, deg\n"
           "field_6 = altitude, s, 23, 64, 1e-06, 0, m\n"
           "field_7 = gnss_type, u, 31, 8, 1, 0, code\n"
           "field_8 = integrity, u, 32, 8, 1, 0, code\n"
           "field_9 = satellites, u, 33, 8, 1, 0,\n"
           "field_10 = hdop, s, 34, 16, 0.01, 0,\n"
           "field_11 = pdop, s, 36, 16, 0.01, 0,\n"
           "field_12 = geoidal_separation, s, 38, 32, 0.01, 0, m\n"
           "field_13 = reference_stations, u, 42, 8, 1, 0,\n"
           "field_14 = station_type, u, 43, 8, 1, 0, code\n"
           "field_15 = station_id, u, 44, 16, 1, 0,\n"
           "field_16 = correction_age, u, 46, 16, 0.01, 0, s\n"
           "\n"
           "[PGN_-1]\n"
           "name = Extremes\n"
           "field_1 = huge, u, 0, 64, 1e280, 0,\n"
           "field_2 = most_negative, s, 0, 64, 1, 0,\n"
           "field_3 = small_negative, s, 0, 8, 0.00001, 0,\n"
           "field_4 = negative_zero, u, 0, 8, -1, -0.0,\n"
           "field_5 = unfused, u, 0, 8, 0.1, 0.12345,\n"
           "field_6 = tiny, s, 1, 32, 1e-300, 0,\n"
           "field_7 = vast_negative, s, 1, 32, 1e290, -1e300,\n"
           "field_8 = zero_length, u, 0, 0, 1, 5.5,\n"
           "field_9 = past_end, u, 4095, 16, 1, 0,\n"
           "field_10 = last_two, u, 4094, 16, 1, 0,\n"
           "field_11 = offset_only, u, 2, 8, 0, -123456789.98765,\n"
           "field_12 = ties, u, 0, 8, 0.00005, 0,\n"
           "field_13 = signed_16, s, 2, 16, 1, 0,\n"
           "field_14 = unsigned_32, u, 0, 32, 1, 0,\n"
           "field_15 = signed_32, s, 3, 32, -0.5, 0.25,\n"
           "field_16 = exact_end, u, 7, 8, 1, 0,\n"
           "\n"
           "[PGN_0]\n"
           "\n"
           "[PGN_130311]\n"
           "name = Never Used\n"
           "field_1 = shadowed, u, 0, 8, 1, 0,\n";
}

std::string full_description_text()
{
    static const char *const TYPES = "us";
    static const int LENGTHS[] = {8, 16, 32, 64};
    std::string text = "# 256 sections of 16 fields each.\n";
    char line[256];

    for (int section = 0; section < 256; section++) {
        std::snprintf(line, sizeof line, "[PGN_%u]\nname = Described PGN number %d\n",
                      126208u + 8u * static_cast<unsigned>(section), section);
        text += line;
        text += "# sixteen fields follow\n";
        for (int f = 0; f < 16; f++) {
            int length = LENGTHS[f % 4];
            std::snprintf(line, sizeof line,
                          "field_%d = value_%d_%d, %c, %d, %d, %.4g, %.2f, unit%d\n", f + 1,
                          section, f, TYPES[(section + f) % 2], f * 2, length, 0.001 * (f + 1),
                          -273.15 + f, f);
            text += line;
        }
        text += "\n";
    }
    return text;
}

std::vector<uint32_t> lookup_table_pgns()
{
    std::vector<uint32_t> pgns;

    // The usual spread of a busy bus: network management, then the NMEA 2000 range.
    static const uint32_t SYSTEM_PGNS[] = {59392, 59904, 60160, 60416, 60928, 61184, 65240, 126208};
    for (uint32_t pgn : SYSTEM_PGNS)
        pgns.push_back(pgn);
    for (uint32_t pgn = 126464; pgns.size() < 256; pgn += 19)
        pgns.push_back(pgn);
    return pgns;
}

std::vector<std::vector<uint8_t>> check_payloads()
{
    std::vector<std::vector<uint8_t>> payloads;

    for (int value = 0; value < 256; value++)
        payloads.emplace_back(PAYLOAD_MAX, static_cast<uint8_t>(value));

    std::vector<uint8_t> up(PAYLOAD_MAX);
    std::vector<uint8_t> down(PAYLOAD_MAX);
    for (int i = 0; i < PAYLOAD_MAX; i++) {
        up[i] = static_cast<uint8_t>(i);
        down[i] = static_cast<uint8_t>(255 - i);
    }
    payloads.push_back(up);
    payloads.push_back(down);

    uint32_t state = 12345;
    for (int n = 0; n < 64; n++) {
        std::vector<uint8_t> random(PAYLOAD_MAX);
        for (uint8_t &byte : random) {
            state = state * 1664525u + 1013904223u;
            byte = static_cast<uint8_t>(state >> 24);
        }
        payloads.push_back(random);
    }
    return payloads;
}

std::vector<uint8_t> sample_payload(int32_t length)
{
    std::vector<uint8_t> payload(static_cast<std::size_t>(length));

    for (int32_t i = 0; i < length; i++)
        payload[static_cast<std::size_t>(i)] = static_cast<uint8_t>((i * 37 + 11) % 256);
    return payload;
}
