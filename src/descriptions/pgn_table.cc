#include "descriptions/pgn_table.h"

#include <cstring>

description_table pgn_table;

// Lookups happen once per message, so the table carries an open-addressing index from PGN to
// the first entry with that PGN. It has twice as many slots as entries, so a probe always ends
// at an empty slot, and it lives in static storage like the table.
namespace
{

constexpr int INDEX_SLOTS = 2 * MAX_PGNS;
static_assert((INDEX_SLOTS & (INDEX_SLOTS - 1)) == 0, "the slot count must be a power of two");

// Entry number + 1 in each slot; 0 is an empty slot.
int16_t first_entry_slots[INDEX_SLOTS];

unsigned slot_of(uint32_t pgn)
{
    return (pgn * 2654435761u) >> 23 & (INDEX_SLOTS - 1);
}

void index_entry(int entry_number)
{
    uint32_t pgn = pgn_table.entries[entry_number].pgn;

    for (unsigned slot = slot_of(pgn);; slot = (slot + 1) & (INDEX_SLOTS - 1)) {
        int16_t held = first_entry_slots[slot];
        if (held == 0) {
            first_entry_slots[slot] = static_cast<int16_t>(entry_number + 1);
            return;
        }
        // A later entry for a PGN already indexed is never the one found.
        if (pgn_table.entries[held - 1].pgn == pgn)
            return;
    }
}

} // namespace

pgn_entry *append_entry(uint32_t pgn)
{
    if (pgn_table.count >= MAX_PGNS)
        return nullptr;

    int entry_number = pgn_table.count;
    pgn_entry *entry = &pgn_table.entries[entry_number];
    entry->pgn = pgn;
    entry->field_count = 0;
    std::memcpy(entry->description, UNNAMED_PGN, sizeof UNNAMED_PGN);
    pgn_table.count++;

    index_entry(entry_number);
    return entry;
}

const pgn_entry *find_entry(uint32_t pgn)
{
    for (unsigned slot = slot_of(pgn);; slot = (slot + 1) & (INDEX_SLOTS - 1)) {
        int16_t held = first_entry_slots[slot];
        if (held == 0)
            return nullptr;
        if (pgn_table.entries[held - 1].pgn == pgn)
            return &pgn_table.entries[held - 1];
    }
}

void clear_table()
{
    std::memset(&pgn_table, 0, sizeof pgn_table);
    std::memset(first_entry_slots, 0, sizeof first_entry_slots);
}
