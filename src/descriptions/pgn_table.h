// The in-memory table of PGN descriptions, filled once from the description file.
#pragma once

#include <cstdint>

inline constexpr int MAX_PGNS = 256;
inline constexpr int MAX_FIELDS = 16;
inline constexpr int NAME_SIZE = 64;
inline constexpr int UNIT_SIZE = 16;
inline constexpr char UNNAMED_PGN[] = "Unnamed PGN";

struct field_spec {
    char name[NAME_SIZE];
    char type;         // 's' signed, 'u' unsigned, anything else is stored as read
    int32_t start;     // offset of the first byte in the payload
    int32_t start_bit; // bit of that byte where the value begins, 0 the least significant
    int32_t length;    // in bits
    double scale;
    double offset;
    char unit[UNIT_SIZE];
};

struct pgn_entry {
    uint32_t pgn;
    char description[NAME_SIZE];
    int32_t field_count;
    field_spec fields[MAX_FIELDS];
    bool fast_packet; // frames are parts of one message of up to 223 bytes, reassembled
};

struct description_table {
    int32_t count;
    pgn_entry entries[MAX_PGNS];
};

extern description_table pgn_table;

// Takes the next entry for pgn, or returns nullptr when the table is full.
pgn_entry *append_entry(uint32_t pgn);

// The first entry in table order whose pgn matches, or nullptr.
const pgn_entry *find_entry(uint32_t pgn);

// Empties the table, as at process start; for tests and tools that load more than once.
void clear_table();
