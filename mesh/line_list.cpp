#include "mesh/line_list.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace gantrel {

namespace {

constexpr std::uint64_t every_lane_one = 0x0001000100010001u;
constexpr std::uint64_t every_lane_top = 0x8000800080008000u;
// every_lane_one, read once per chunk of triangles: multiplying by a constant the compiler can
// see, it copies a value into the lanes with a chain of shifts and adds, which costs more than
// the one multiply it uses for a number it cannot see: the line list on the closed grid takes
// 115 against 130 us in memory (medians of 40 alternating runs of both builds, paired ratio 0.87).
volatile const std::uint64_t every_lane_one_unseen = every_lane_one;

// The 16-bit word whose bytes in memory are `value`, least significant byte first.
std::uint16_t little_endian_word(std::uint32_t value) {
    const unsigned char bytes[2] = {static_cast<unsigned char>(value & 0xFF),
                                    static_cast<unsigned char>((value >> 8) & 0xFF)};
    std::uint16_t word = 0;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

// How the line low-high stands in the lanes of `low`: its higher vertex counted from the lower
// one, plus 1, so that 0 marks an empty lane. Only the line 0-65535 comes out past 16 bits, at
// 65536, and it never takes a lane.
std::uint64_t lane_value(std::uint32_t low, std::uint32_t high) {
    return high - low + 1;
}

constexpr std::uint64_t no_lane = 0x10000;

// Whether `value` (not 0) stands in one of the lanes: whether a lane of the word XOR the value in
// every lane is 0, found with one borrow across all four.
// `ones` is every_lane_one, the multiplier that copies the value into every lane.
bool lanes_hold(std::uint64_t lanes, std::uint64_t value, std::uint64_t ones = every_lane_one) {
    const std::uint64_t differences = lanes ^ (value * ones);
    return ((differences - ones) & ~differences & every_lane_top) != 0;
}

// splitmix64's step: spreads the seed into the hash's two random numbers.
std::uint64_t mixed(std::uint64_t value) {
    value += 0x9E3779B97F4A7C15u;
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9u;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBu;
    return value ^ (value >> 31);
}

std::uint64_t index_multiplier(std::uint64_t seed) {
    return mixed(seed) | 1;
}

std::uint64_t index_addend(std::uint64_t seed) {
    return mixed(seed ^ 0xD1B54A32D192ED03u);
}

// Multiply-add-shift: the top bits of multiplier x key + addend, modulo 2^64.
std::uint32_t home_slot(std::uint64_t multiplier, std::uint64_t addend, std::uint32_t bits,
                        std::uint32_t key) {
    return static_cast<std::uint32_t>((multiplier * key + addend) >> (64 - bits));
}

// A line record's four bytes as one word, compared whole.
std::uint32_t record_word(const line_list& lines, std::uint32_t entry) {
    std::uint32_t word = 0;
    std::memcpy(&word, lines.records[entry], sizeof word);
    return word;
}

// The record word of the line first-second.
std::uint32_t record_word_of(std::uint32_t first, std::uint32_t second) {
    const std::uint16_t record[2] = {little_endian_word(first), little_endian_word(second)};
    std::uint32_t word = 0;
    std::memcpy(&word, record, sizeof word);
    return word;
}

// A slot holds an entry number e as e % slot_entries + 1, 0 marking an empty slot, so that two
// bytes a slot number every entry a mesh data file yields; in a longer list a slot stands for
// one of two entries, e and e + slot_entries, and both are looked at.
constexpr std::uint32_t slot_entries = 0xFFFF;
static_assert(2 * slot_entries >= line_index_entries, "a slot stands for two entries at most");

// The line first-second as the list's hash table looks it up: its key (lower vertex << 16 |
// higher vertex) for the hash, and its record word in a fixed order for the comparison.
struct hashed_line {
    std::uint32_t key;
    std::uint32_t record;  // unordered_record of the line
};

// A record word with its two indices in a fixed order, the same for both orientations of a line:
// the lesser of the word and the word with its halves swapped. Comparing it once, rather than
// each orientation in turn, spares a branch that a repeated side, met in either orientation as
// often as not, would mispredict half the time: a mesh of few vertices, whose every side is a
// repeat in the table, took 1.15 times the closed grid's CPU time without it and 1.03 with it
// (1.02 before the table held entry numbers; 100 alternating runs).
std::uint32_t unordered_record(std::uint32_t word) {
    const std::uint32_t swapped = word >> 16 | word << 16;
    return word < swapped ? word : swapped;
}

// Whether entry `entry` holds `wanted`.
bool entry_holds(const line_list& lines, std::uint32_t entry, const hashed_line& wanted) {
    return unordered_record(record_word(lines, entry)) == wanted.record;
}

// The hash table slot holding the line `wanted`, or the empty slot where it belongs.
std::uint32_t find_slot(const line_list& lines, std::uint32_t count, const hashed_line& wanted) {
    const line_index& index = lines.index;
    const std::uint32_t mask = (std::uint32_t{1} << index.bits) - 1;
    for (std::uint32_t slot = home_slot(index.multiplier, index.addend, index.bits, wanted.key);;
         slot = (slot + 1) & mask) {
        const std::uint32_t held = index.table[slot];
        if (held == 0 || entry_holds(lines, held - 1, wanted)) {
            return slot;
        }
        if (count > slot_entries && held - 1 + slot_entries < count &&
            entry_holds(lines, held - 1 + slot_entries, wanted)) {
            return slot;
        }
    }
}

// The empty slot where the line `key`, known to be absent, belongs.
std::uint32_t find_empty_slot(const line_index& index, std::uint32_t key) {
    const std::uint32_t mask = (std::uint32_t{1} << index.bits) - 1;
    std::uint32_t slot = home_slot(index.multiplier, index.addend, index.bits, key);
    while (index.table[slot] != 0) {
        slot = (slot + 1) & mask;
    }
    return slot;
}

void file_entry(line_index& index, std::uint32_t slot, std::uint32_t entry) {
    index.table[slot] = static_cast<std::uint16_t>(entry % slot_entries + 1);
}

// The hash table's size after 2^bits slots (0: none yet), as a power of two. A few hashed lines
// (the example's one) take a table of 2 KiB; past 768 lines one of 16 KiB; past 6144, one of
// 256 KiB, which holds every line a mesh data file yields (2^18 slots only in longer lists).
// Growing in these three steps rather than doubling files 6912 lines again rather than some
// 90000 on the way to a mesh of 65535 hashed lines: (i) took 1.12 against 1.75 ms in memory.
std::uint32_t next_table_bits(std::uint32_t bits) {
    if (bits == 0) {
        return line_index_min_bits;
    }
    return bits < 13 ? 13 : bits < 17 ? 17 : bits + 1;
}

void clear_hash_table(line_index& index) {
    if (index.bits != 0) {
        std::memset(index.table, 0, sizeof index.table[0] << index.bits);
    }
}

// Grows the hash table (or sets up the first one, keyed from the seed) and files its lines
// again, found through the bits of the entries that hold them. The run has the system back the
// new table in one request, and clearing it whole writes each page before any probe reads it.
// Starting small matters: most meshes hash a few lines at most (the example, one), and a table of
// the largest size from the first of them costs the example 128 more page faults and 1.18 times
// the CPU time of a whole run (300 alternating runs of both builds).
void grow_hash_table(line_list& lines, std::int32_t count) {
    line_index& index = lines.index;
    if (index.bits == 0) {
        index.multiplier = index_multiplier(index.seed);
        index.addend = index_addend(index.seed);
    }
    index.bits = next_table_bits(index.bits);
    assert(index.bits <= line_index_max_bits);
    if (index.prefault != nullptr) {
        index.prefault(index.table, sizeof index.table[0] << index.bits);
    }
    clear_hash_table(index);
    // The first table has nothing to file: the entries' bits are not read, as each page of them
    // no line has reached yet would fault in for nothing.
    const auto words = index.hashed == 0 ? 0 : static_cast<std::size_t>(count + 63) / 64;
    for (std::size_t word = 0; word < words; ++word) {
        for (std::uint64_t bits = index.hashed_entries[word]; bits != 0; bits &= bits - 1) {
            // The lowest bit set: every compiler the tool is built with has the builtin.
            const auto entry = static_cast<std::uint32_t>(64 * word) +
                               static_cast<std::uint32_t>(__builtin_ctzll(bits));
            const line held = line_at(lines, static_cast<std::int32_t>(entry));
            const auto first = static_cast<std::uint32_t>(held.first);
            const auto second = static_cast<std::uint32_t>(held.second);
            const std::uint32_t key = first < second ? first << 16 | second : second << 16 | first;
            file_entry(index, find_empty_slot(index, key), entry);
        }
    }
}

void append(line_list& lines, std::int32_t& count, std::uint32_t first, std::uint32_t second) {
    assert(count < line_list_capacity);
    auto& record = lines.records[count];
    record[0] = little_endian_word(first);
    record[1] = little_endian_word(second);
    ++count;
}

// The rare way, through the hash table: adds the line unless the table holds it, and gives the
// count after. Kept out of line so that the common way stays short, and given the count by value
// so that the caller's stays in a register.
[[gnu::noinline]] std::int32_t add_hashed_line(line_list& lines, std::int32_t count,
                                               std::uint32_t first, std::uint32_t second,
                                               std::uint32_t key) {
    line_index& index = lines.index;
    if (index.bits == 0) {
        grow_hash_table(lines, count);
    }
    const hashed_line wanted{key, unordered_record(record_word_of(first, second))};
    const std::uint32_t slot = find_slot(lines, static_cast<std::uint32_t>(count), wanted);
    if (index.table[slot] != 0) {
        return count;
    }
    file_entry(index, slot, static_cast<std::uint32_t>(count));
    index.hashed_entries[count / 64] |= std::uint64_t{1} << (count % 64);
    append(lines, count, first, second);
    // Keep the table at most three quarters full, so probe sequences stay short.
    if (++index.hashed * 4 >= std::uint32_t{3} << index.bits) {
        grow_hash_table(lines, count);
    }
    return count;
}

bool block_bit(const std::uint32_t (&bits)[line_index_blocks / 32], std::uint32_t block) {
    return (bits[block / 32] >> (block % 32) & 1) != 0;
}

void set_block_bit(std::uint32_t (&bits)[line_index_blocks / 32], std::uint32_t block) {
    bits[block / 32] |= std::uint32_t{1} << (block % 32);
}

// Has the system back the lanes of `block`, met for the first time past the blocks a closed mesh
// of the run's size would use, and of as many blocks after it as the mesh has in use past those
// already, in one request, unless they are backed: a fault a page costs about twice as much.
// The blocks backed ahead are never more than those in use, so that a mesh whose vertices are
// spread (a triangle soup, hubs all over the vertex numbers) pays about half as much for its
// lanes in a few requests, and one that uses a few far blocks backs nothing it does not use.
void back_lane_blocks(line_index& index, std::uint32_t block) {
    if (block < index.blocks_foreseen || block_bit(index.blocks_backed, block)) {
        return;
    }
    const std::uint32_t ahead = std::min(index.blocks_unforeseen, line_index_blocks - block);
    ++index.blocks_unforeseen;
    if (index.prefault == nullptr || ahead == 0) {
        return;
    }
    index.prefault(&index.lanes[std::size_t{block} * line_index_block_vertices],
                   sizeof index.lanes[0] * line_index_block_vertices * ahead);
    for (std::uint32_t b = block; b < block + ahead; ++b) {
        set_block_bit(index.blocks_backed, b);
    }
}

[[gnu::noinline]] void start_lane_block(line_index& index, std::uint32_t block) {
    back_lane_blocks(index, block);
    std::memset(&index.lanes[std::size_t{block} * line_index_block_vertices], 0,
                sizeof index.lanes[0] * line_index_block_vertices);
    set_block_bit(index.blocks_in_use, block);
}

// What the sides of a chunk carry from one to the next, all kept in registers: stored back in
// the list after each side, the count would make every side wait for the one before.
struct side_state {
    std::int32_t count;        // the list's count
    std::uint32_t last_block;  // the block of lanes last found in use
    std::uint64_t ones;        // every_lane_one
};

// Adds the line first-second unless present.
inline void add_side(line_list& lines, side_state& state, std::uint32_t first,
                     std::uint32_t second) {
    assert(first <= 0xFFFF && second <= 0xFFFF);
    line_index& index = lines.index;
    const std::uint32_t low = first < second ? first : second;
    const std::uint32_t high = first < second ? second : first;
    const std::uint32_t block = low / line_index_block_vertices;
    if (block != state.last_block) {
        if (!block_bit(index.blocks_in_use, block)) {
            start_lane_block(index, block);
        }
        state.last_block = block;
    }
    std::uint64_t& lanes = index.lanes[low];
    const std::uint64_t held = lanes;
    const std::uint64_t value = lane_value(low, high);
    // Lanes fill from the lowest, so the word is full exactly when its top lane is taken.
    if (((held >> 48) | (value >> 16)) != 0) {
        if (value == no_lane || !lanes_hold(held, value)) {
            state.count = add_hashed_line(lines, state.count, first, second, low << 16 | high);
        }
        return;
    }
    if (lanes_hold(held, value, state.ones)) {
        return;
    }
    // The new line takes the lowest lane and the others move up one, into the free top one.
    lanes = held << 16 | value;
    append(lines, state.count, first, second);
}

}  // namespace

std::uint32_t line_index_home_slot(std::uint64_t seed, std::uint32_t key, std::uint32_t bits) {
    return home_slot(index_multiplier(seed), index_addend(seed), bits, key);
}

void seed_line_index(line_list& lines, std::uint64_t seed) {
    assert(lines.index.bits == 0);
    lines.index.seed = seed;
}

void prefault_line_index(line_list& lines, void (*prefault)(void* start, std::size_t size)) {
    assert(lines.index.bits == 0);
    lines.index.prefault = prefault;
}

void clear_line_list(line_list& lines) {
    line_index& index = lines.index;
    std::memset(index.blocks_in_use, 0, sizeof index.blocks_in_use);
    index.blocks_unforeseen = 0;
    // Only the words the entries reach: a fresh list's are zero pages, not to be touched.
    const auto words = static_cast<std::size_t>(lines.count + 63) / 64;
    std::memset(index.hashed_entries, 0, sizeof index.hashed_entries[0] * words);
    clear_hash_table(index);
    index.bits = 0;
    index.hashed = 0;
    lines.count = 0;
}

void likely_storage(line_list& lines, std::int32_t triangle_count, storage_span (&out)[2]) {
    const std::size_t triangles = triangle_count > 0 ? static_cast<std::size_t>(triangle_count) : 0;
    const std::size_t entries =
        std::min(triangles / 2 * 3, static_cast<std::size_t>(line_list_capacity));
    const std::size_t vertices = std::min(triangles / 2, std::size_t{line_index_vertices});
    out[0] = storage_span{lines.records, sizeof lines.records[0] * entries};
    out[1] = storage_span{lines.index.lanes, sizeof lines.index.lanes[0] * vertices};
    lines.index.blocks_foreseen = static_cast<std::uint32_t>(vertices / line_index_block_vertices);
}

void add_line(line_list& lines, std::int32_t a, std::int32_t b) {
    side_state state{lines.count, line_index_blocks, every_lane_one_unseen};
    add_side(lines, state, static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(b));
    lines.count = state.count;
}

void add_triangles(line_list& lines, const std::uint16_t* indices, std::size_t count) {
    side_state state{lines.count, line_index_blocks, every_lane_one_unseen};
    for (const std::uint16_t* end = indices + 3 * count; indices != end; indices += 3) {
        const std::uint32_t a = indices[0];
        const std::uint32_t b = indices[1];
        const std::uint32_t c = indices[2];
        add_side(lines, state, a, b);
        add_side(lines, state, b, c);
        add_side(lines, state, c, a);
    }
    lines.count = state.count;
}

}  // namespace gantrel
