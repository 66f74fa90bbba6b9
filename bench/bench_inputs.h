// The messages and description files that the benchmarks time and the checks compare over.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// An entry of six 8- and 16-bit fields in an 8-byte message, as most PGNs are.
inline constexpr uint32_t TYPICAL_PGN = 130311;
inline constexpr int32_t TYPICAL_LENGTH = 8;
// An entry of sixteen fields of every width in a 48-byte message.
inline constexpr uint32_t FULL_PGN = 129029;
inline constexpr int32_t FULL_LENGTH = 48;
// Values at the edges of what "%.4f" prints: huge, most negative, -0.0000, ties.
inline constexpr uint32_t EXTREME_PGN = 4294967295u;
// A header without a name line.
inline constexpr uint32_t UNNAMED_PGN_NUMBER = 0;
// Described nowhere.
inline constexpr uint32_t MISSING_PGN = 59904;

inline constexpr int PAYLOAD_MAX = 4096;

// The description file of the JSON benchmarks: the entries above, and a second section for
// TYPICAL_PGN that must never be used.
std::string json_description_text();

// 256 sections of 16 field lines each, with a name, a comment and a blank line per section.
std::string full_description_text();

// The 256 distinct PGNs of the lookup table, in table order.
std::vector<uint32_t> lookup_table_pgns();

// Payload contents for the checks: every byte value repeated, counting up, counting down, and
// pseudo-random ones; each PAYLOAD_MAX bytes long.
std::vector<std::vector<uint8_t>> check_payloads();

// A payload of that length with byte i = (i * 37 + 11) % 256, like a live message.
std::vector<uint8_t> sample_payload(int32_t length);
