#include "reassembly/fast_packet.h"

#include <cstring>

namespace
{

// Frame 0 carries the total length in byte 1 and payload in bytes 2-7; every later frame
// carries payload in bytes 1-7. Byte 0 holds the sequence counter, which every frame of one
// message shares, over the frame counter, which counts the frames from 0.
constexpr int FRAME_SIZE = 8;
constexpr uint8_t FRAME_COUNTER_MASK = 0x1F;
constexpr int SEQUENCE_SHIFT = 5;

// Slots are numbered from 1 so that the zeroed static storage means "none" everywhere.
constexpr uint8_t NO_SLOT = 0;
constexpr int BUCKETS = 2 * FAST_PACKET_SLOTS;
static_assert((BUCKETS & (BUCKETS - 1)) == 0, "the bucket count must be a power of two");
static_assert(FAST_PACKET_SLOTS < 255, "slot numbers must fit in a byte");

struct message_slot {
    uint32_t pgn;
    uint8_t source;
    uint8_t sequence;
    uint8_t next_frame;
    uint8_t length;
    uint8_t received;
    uint8_t next_in_chain; // the next slot of the same bucket, or of the free list
    uint8_t newer;         // neighbours in the order of last use
    uint8_t older;
    uint8_t payload[FAST_PACKET_MAX_LENGTH];
};

// Messages in progress are found through a hash of (PGN, source) with chained buckets, and
// kept in a list from the most to the least recently continued, so that every frame costs
// the same however many messages are open.
struct reassembly_table {
    message_slot slots[FAST_PACKET_SLOTS + 1];
    uint8_t buckets[BUCKETS];
    uint8_t newest;
    uint8_t oldest;
    uint8_t free_list;
    int never_used; // slots from never_used + 1 on have not been handed out yet
};

reassembly_table table;

unsigned bucket_of(uint32_t pgn, uint8_t source)
{
    uint32_t key = (pgn << 8 | source) ^ (pgn >> 24);
    return (key * 2654435761u) >> 24 & (BUCKETS - 1);
}

uint8_t find_slot(uint32_t pgn, uint8_t source)
{
    uint8_t slot = table.buckets[bucket_of(pgn, source)];
    while (slot != NO_SLOT && (table.slots[slot].pgn != pgn || table.slots[slot].source != source))
        slot = table.slots[slot].next_in_chain;
    return slot;
}

void unlink_from_bucket(uint8_t slot)
{
    uint8_t *link = &table.buckets[bucket_of(table.slots[slot].pgn, table.slots[slot].source)];
    while (*link != slot)
        link = &table.slots[*link].next_in_chain;
    *link = table.slots[slot].next_in_chain;
}

void unlink_from_use_order(uint8_t slot)
{
    message_slot &s = table.slots[slot];
    if (s.newer != NO_SLOT)
        table.slots[s.newer].older = s.older;
    else
        table.newest = s.older;
    if (s.older != NO_SLOT)
        table.slots[s.older].newer = s.newer;
    else
        table.oldest = s.newer;
}

void link_as_newest(uint8_t slot)
{
    message_slot &s = table.slots[slot];
    s.newer = NO_SLOT;
    s.older = table.newest;
    if (table.newest != NO_SLOT)
        table.slots[table.newest].newer = slot;
    else
        table.oldest = slot;
    table.newest = slot;
}

void mark_used(uint8_t slot)
{
    unlink_from_use_order(slot);
    link_as_newest(slot);
}

// Ends the message in the slot, complete or not. Its bytes stay until the slot is reused.
void release(uint8_t slot)
{
    unlink_from_bucket(slot);
    unlink_from_use_order(slot);
    table.slots[slot].next_in_chain = table.free_list;
    table.free_list = slot;
}

// A slot for a new message; when all are busy, the least recently continued message is
// abandoned for it.
uint8_t acquire(uint32_t pgn, uint8_t source)
{
    if (table.free_list == NO_SLOT && table.never_used == FAST_PACKET_SLOTS)
        release(table.oldest);

    uint8_t slot;
    if (table.free_list != NO_SLOT) {
        slot = table.free_list;
        table.free_list = table.slots[slot].next_in_chain;
    } else {
        slot = static_cast<uint8_t>(++table.never_used);
    }

    message_slot &s = table.slots[slot];
    s.pgn = pgn;
    s.source = source;
    unsigned bucket = bucket_of(pgn, source);
    s.next_in_chain = table.buckets[bucket];
    table.buckets[bucket] = slot;
    link_as_newest(slot);
    return slot;
}

// Frame 0 opens a message, abandoning one in progress; a first frame too short to hold the
// length, or one that declares more than a fast packet can carry, only abandons. Returns the
// slot of the new message, or NO_SLOT.
uint8_t start_message(uint8_t slot, uint32_t pgn, uint8_t source, int32_t length,
                      const uint8_t *frame)
{
    if (length < 2 || frame[1] > FAST_PACKET_MAX_LENGTH) {
        if (slot != NO_SLOT)
            release(slot);
        return NO_SLOT;
    }

    if (slot == NO_SLOT)
        slot = acquire(pgn, source);
    else
        mark_used(slot);
    message_slot &s = table.slots[slot];
    s.sequence = static_cast<uint8_t>(frame[0] >> SEQUENCE_SHIFT);
    s.next_frame = 1;
    s.length = frame[1];
    s.received = 0;
    return slot;
}

// Any later frame must be the next one of the message in progress; a frame that is not
// abandons the message, and the frames after it find none until the next frame 0. Returns
// the slot of the message, or NO_SLOT.
uint8_t continue_message(uint8_t slot, const uint8_t *frame)
{
    if (slot == NO_SLOT)
        return NO_SLOT;
    message_slot &s = table.slots[slot];
    if (frame[0] >> SEQUENCE_SHIFT != s.sequence ||
        (frame[0] & FRAME_COUNTER_MASK) != s.next_frame) {
        release(slot);
        return NO_SLOT;
    }

    mark_used(slot);
    s.next_frame++;
    return slot;
}

bool add_frame(uint32_t pgn, uint8_t source, int32_t length, const uint8_t *frame,
               assembled_message *out)
{
    uint8_t slot = find_slot(pgn, source);

    // An empty frame has no counters to place it by.
    if (length <= 0) {
        if (slot != NO_SLOT)
            release(slot);
        return false;
    }

    bool first = (frame[0] & FRAME_COUNTER_MASK) == 0;
    slot = first ? start_message(slot, pgn, source, length, frame) : continue_message(slot, frame);
    if (slot == NO_SLOT)
        return false;

    // The payload runs from after the counters (and frame 0's length) to the end of the frame,
    // or of its 8th byte; what the last frame carries beyond the total length is padding.
    int copied_from = first ? 2 : 1;
    int carried = (length < FRAME_SIZE ? length : FRAME_SIZE) - copied_from;
    message_slot &s = table.slots[slot];
    int wanted = s.length - s.received;
    int taken = carried < wanted ? carried : wanted;
    std::memcpy(s.payload + s.received, frame + copied_from, static_cast<std::size_t>(taken));
    s.received = static_cast<uint8_t>(s.received + taken);
    if (s.received < s.length)
        return false;

    out->payload = s.payload;
    out->length = s.length;
    release(slot);
    return true;
}

} // namespace

bool assemble_message(uint32_t pgn, uint8_t source, int32_t length, const uint8_t *frame,
                      assembled_message *out)
{
    out->entry = find_entry(pgn);
    if (out->entry == nullptr || !out->entry->fast_packet) {
        out->payload = frame;
        out->length = length;
        return true;
    }
    return add_frame(pgn, source, length, frame, out);
}

void drop_unfinished_messages()
{
    std::memset(&table, 0, sizeof table);
}
