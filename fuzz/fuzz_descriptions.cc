// Feeds arbitrary bytes to the description-file loader as the file's contents, then checks
// that the table is still one the writers can trust.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "descriptions/description_loader.h"
#include "descriptions/pgn_table.h"

namespace
{

// A text member must end within its array, or a writer would run past it.
bool terminated(const char *text, std::size_t size)
{
    return std::memchr(text, '\0', size) != nullptr;
}

// Compared with memcmp, which the address checker runs at full speed: the table is large.
bool all_zero(const void *bytes, std::size_t size)
{
    static const pgn_entry ZERO_ENTRY{};
    static_assert(sizeof(field_spec) <= sizeof ZERO_ENTRY);
    return size <= sizeof ZERO_ENTRY && std::memcmp(bytes, &ZERO_ENTRY, size) == 0;
}

void fail(const char *what, int entry, int field)
{
    std::fprintf(stderr, "table invariant broken: %s (entry %d, field %d)\n", what, entry, field);
    std::abort();
}

void check_table()
{
    if (pgn_table.count < 0 || pgn_table.count > MAX_PGNS)
        fail("entry count out of range", -1, -1);

    for (int e = 0; e < pgn_table.count; e++) {
        const pgn_entry &entry = pgn_table.entries[e];
        if (entry.field_count < 0 || entry.field_count > MAX_FIELDS)
            fail("field count out of range", e, -1);
        if (!terminated(entry.description, sizeof entry.description))
            fail("description not terminated", e, -1);
        for (int f = 0; f < MAX_FIELDS; f++) {
            const field_spec &field = entry.fields[f];
            if (!terminated(field.name, sizeof field.name))
                fail("field name not terminated", e, f);
            if (!terminated(field.unit, sizeof field.unit))
                fail("unit not terminated", e, f);
            // Slots past the field count are never written.
            if (f >= entry.field_count && !all_zero(&field, sizeof field))
                fail("unused field slot written", e, f);
        }

        // The first entry with a PGN is the one a lookup finds.
        const pgn_entry *found = find_entry(entry.pgn);
        if (found == nullptr || found > &entry || found->pgn != entry.pgn)
            fail("lookup misses the first entry", e, -1);
    }

    for (int e = pgn_table.count; e < MAX_PGNS; e++) {
        if (!all_zero(&pgn_table.entries[e], sizeof pgn_table.entries[e]))
            fail("unused entry written", e, -1);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    clear_table();

    // An empty stream is an empty file; fmemopen refuses a zero size.
    static const char NOTHING[1] = {0};
    FILE *file = size > 0 ? fmemopen(const_cast<uint8_t *>(data), size, "r")
                          : fmemopen(const_cast<char *>(NOTHING), 1, "r");
    if (file == nullptr) {
        std::perror("fmemopen");
        std::abort();
    }
    if (size == 0)
        (void)std::fgetc(file);

    if (load_descriptions_from(file) != load_status::ok) {
        std::fprintf(stderr, "a readable stream reported a read error\n");
        std::abort();
    }
    std::fclose(file);

    check_table();
    return 0;
}
