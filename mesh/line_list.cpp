#include "mesh/line_list.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace gantrel {

namespace {

constexpr std::uint64_t every_lane_one = 0x0001000100010001u;
constexpr std::uint64_t every_lane_top = 0x8000800080008000u;
// every_lane_one, read once per chunk of triangles: multiplying by a constant the compiler can
// see, it copies a value into the lanes with a chain of shifts and adds, which on the common way
// costs a tenth more than the one multiply it uses for a number it cannot see.
volatile const std::uint64_t every_lane_one_unseen = every_lane_one;

// The unordered pair as one 32-bit word, the same for a-b and b-a: lower vertex, higher vertex.
std::uint32_t line_key(std::uint32_t a, std::uint32_t b) {
    const std::uint32_t low = a < b ? a : b;
    const std::uint32_t high = a < b ? b : a;
    return low << 16 | high;
}

std::uint32_t entry_key(const line_list& lines, std::int32_t i) {
    const line entry = line_at(lines, i);
    return line_key(static_cast<std::uint32_t>(entry.first),
                    static_cast<std::uint32_t>(entry.second));
}

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

// Whether the line `key` went to the hash table: its lower vertex's lanes were full when it came,
// or it cannot take a lane. Lanes are never emptied while the line is in the list, so this stays
// true of a line for good.
bool in_hash_table(const line_list& lines, std::uint32_t key) {
    const std::uint64_t value = lane_value(key >> 16, key & 0xFFFF);
    return value == no_lane || !lanes_hold(lines.lanes[key >> 16], value);
}

// Fibonacci hashing: the multiply spreads both halves of the key into the top bits.
std::uint32_t home_slot(std::uint32_t key, std::uint32_t bits) {
    return (key * 0x9E3779B1u) >> (32 - bits);
}

// The hash table slot numbering the line `key`, or the empty slot where it belongs.
std::uint32_t find_slot(const line_list& lines, std::uint32_t key) {
    const std::uint32_t mask = (std::uint32_t{1} << lines.index_bits) - 1;
    std::uint32_t slot = home_slot(key, lines.index_bits);
    for (;;) {
        const std::uint32_t held = lines.index[slot];
        if (held == 0 || entry_key(lines, static_cast<std::int32_t>(held) - 1) == key) {
            return slot;
        }
        slot = (slot + 1) & mask;
    }
}

// Whether an entry past the ones the hash table can number is the line `key`.
bool unindexed_entries_hold(const line_list& lines, std::uint32_t key) {
    for (std::int32_t i = line_index_entries; i < lines.count; ++i) {
        if (entry_key(lines, i) == key) {
            return true;
        }
    }
    return false;
}

void clear_hash_table(line_list& lines) {
    if (lines.index_bits != 0) {
        std::memset(lines.index, 0, sizeof lines.index[0] << lines.index_bits);
    }
}

// Doubles the hash table (or sets up the first one) and files its lines again. Clearing the whole
// new table, fresh pages included, writes each page before any probe reads it.
void grow_hash_table(line_list& lines) {
    lines.index_bits = lines.index_bits == 0 ? line_index_min_bits : lines.index_bits + 1;
    assert(lines.index_bits <= line_index_max_bits);
    clear_hash_table(lines);
    if (lines.hashed == 0) {
        return;
    }
    const std::int32_t indexed =
        lines.count < line_index_entries ? lines.count : line_index_entries;
    for (std::int32_t i = 0; i < indexed; ++i) {
        const std::uint32_t key = entry_key(lines, i);
        if (in_hash_table(lines, key)) {
            lines.index[find_slot(lines, key)] = static_cast<std::uint16_t>(i + 1);
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

// The rare way, through the hash table: adds the line unless the table (or the scan past it)
// holds it, and gives the count after. Kept out of line so that the common way stays short, and
// given the count by value so that the caller's stays in a register.
[[gnu::noinline]] std::int32_t add_hashed_line(line_list& lines, std::int32_t count,
                                               std::uint32_t first, std::uint32_t second,
                                               std::uint32_t key) {
    lines.count = count;
    if (lines.index_bits == 0) {
        grow_hash_table(lines);
    }
    std::uint32_t slot = find_slot(lines, key);
    if (lines.index[slot] != 0) {
        return count;
    }
    if (count >= line_index_entries) {
        if (!unindexed_entries_hold(lines, key)) {
            append(lines, count, first, second);
        }
        return count;
    }
    // Keep the table under half full, so probe sequences stay short.
    ++lines.hashed;
    if (lines.hashed * 2 >= (std::uint32_t{1} << lines.index_bits)) {
        grow_hash_table(lines);
        slot = find_slot(lines, key);
    }
    lines.index[slot] = static_cast<std::uint16_t>(count + 1);
    append(lines, count, first, second);
    return count;
}

[[gnu::noinline]] void start_lane_block(line_list& lines, std::uint32_t block) {
    std::memset(&lines.lanes[std::size_t{block} * line_lane_block_vertices], 0,
                sizeof lines.lanes[0] * line_lane_block_vertices);
    lines.lane_blocks_in_use[block / 32] |= std::uint32_t{1} << (block % 32);
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
    const std::uint32_t low = first < second ? first : second;
    const std::uint32_t high = first < second ? second : first;
    const std::uint32_t block = low / line_lane_block_vertices;
    if (block != state.last_block) {
        if ((lines.lane_blocks_in_use[block / 32] >> (block % 32) & 1) == 0) {
            start_lane_block(lines, block);
        }
        state.last_block = block;
    }
    std::uint64_t& lanes = lines.lanes[low];
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

void clear_line_list(line_list& lines) {
    std::memset(lines.lane_blocks_in_use, 0, sizeof lines.lane_blocks_in_use);
    clear_hash_table(lines);
    lines.index_bits = 0;
    lines.hashed = 0;
    lines.count = 0;
}

void likely_storage(line_list& lines, std::int32_t triangle_count, storage_span (&out)[2]) {
    const std::size_t triangles = triangle_count > 0 ? static_cast<std::size_t>(triangle_count) : 0;
    const std::size_t entries =
        std::min(triangles / 2 * 3, static_cast<std::size_t>(line_list_capacity));
    const std::size_t vertices = std::min(triangles / 2, std::size_t{line_vertices});
    out[0] = storage_span{lines.records, sizeof lines.records[0] * entries};
    out[1] = storage_span{lines.lanes, sizeof lines.lanes[0] * vertices};
}

void add_line(line_list& lines, std::int32_t a, std::int32_t b) {
    side_state state{lines.count, line_lane_blocks, every_lane_one_unseen};
    add_side(lines, state, static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(b));
    lines.count = state.count;
}

void add_triangle(line_list& lines, std::int32_t a, std::int32_t b, std::int32_t c) {
    const std::uint16_t indices[3] = {static_cast<std::uint16_t>(a), static_cast<std::uint16_t>(b),
                                      static_cast<std::uint16_t>(c)};
    add_triangles(lines, indices, 1);
}

void add_triangles(line_list& lines, const std::uint16_t* indices, std::size_t count) {
    side_state state{lines.count, line_lane_blocks, every_lane_one_unseen};
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
