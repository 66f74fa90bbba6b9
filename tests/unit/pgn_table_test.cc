#include <gtest/gtest.h>

#include <cstring>

#include "descriptions/pgn_table.h"

TEST(PgnTable, FreshEntryIsUnnamedAndEmpty)
{
    clear_table();
    pgn_entry *entry = append_entry(127250);

    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->pgn, 127250u);
    EXPECT_STREQ(entry->description, "Unnamed PGN");
    EXPECT_EQ(entry->field_count, 0);
    EXPECT_EQ(pgn_table.count, 1);
}

TEST(PgnTable, FindReturnsTheFirstOfDuplicates)
{
    clear_table();
    pgn_entry *first = append_entry(42);
    append_entry(7);
    append_entry(42);

    EXPECT_EQ(find_entry(42), first);
    EXPECT_EQ(find_entry(7), &pgn_table.entries[1]);
    EXPECT_EQ(find_entry(8), nullptr);
}

TEST(PgnTable, EmptyTableFindsNothing)
{
    clear_table();
    EXPECT_EQ(find_entry(0), nullptr);
    EXPECT_EQ(find_entry(4294967295u), nullptr);
}

TEST(PgnTable, The257thAppendFailsAndChangesNothing)
{
    clear_table();
    for (uint32_t i = 0; i < MAX_PGNS; i++)
        ASSERT_NE(append_entry(i * 256), nullptr);

    description_table before;
    std::memcpy(&before, &pgn_table, sizeof before);
    EXPECT_EQ(append_entry(1), nullptr);
    EXPECT_EQ(std::memcmp(&before, &pgn_table, sizeof before), 0);
    EXPECT_EQ(pgn_table.count, MAX_PGNS);
}

// The index must answer exactly as a scan in table order does, whatever the PGNs collide on.
TEST(PgnTable, LookupAgreesWithALinearScan)
{
    clear_table();
    uint32_t seed = 12345;
    for (int i = 0; i < MAX_PGNS; i++) {
        seed = seed * 1103515245 + 12345;
        // Few distinct values, so that duplicates and colliding slots are common.
        append_entry((seed >> 16) % 97 * 512);
    }

    for (uint32_t pgn = 0; pgn < 97 * 512 + 1; pgn += 256) {
        const pgn_entry *expected = nullptr;
        for (int i = 0; i < pgn_table.count; i++) {
            if (pgn_table.entries[i].pgn == pgn) {
                expected = &pgn_table.entries[i];
                break;
            }
        }
        EXPECT_EQ(find_entry(pgn), expected) << "pgn " << pgn;
    }
}
