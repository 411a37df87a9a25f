#pragma once

// The line list's index, which answers only "present or not": its layout belongs to
// mesh/line_list.cpp alone. It is declared here so that a `line_list` is a complete type, one
// fixed block that static storage can hold; nothing outside mesh/line_list.cpp reads it.

#include <cstdint>

namespace gantrel {

inline constexpr std::uint32_t line_index_vertices = 0x10000;
inline constexpr std::uint32_t line_index_block_vertices = 512;  // 4 KiB of lanes
inline constexpr std::uint32_t line_index_blocks = line_index_vertices / line_index_block_vertices;
// The hash table never fills past half, so 2^18 slots number a whole list of 100000 lines.
inline constexpr std::uint32_t line_index_min_bits = 10;
inline constexpr std::uint32_t line_index_max_bits = 18;

struct line_index {
    std::uint32_t hashed;      // lines in the hash table
    std::uint32_t bits;        // the hash table's size, 0 until it is first needed
    std::uint64_t seed;        // the run's key, from which the hash's multiplier and addend come
    std::uint64_t multiplier;  // odd; set with the table
    std::uint64_t addend;
    // One bit per block of lanes: set once the block is zeroed for the lines now in the list.
    std::uint32_t blocks_in_use[line_index_blocks / 32];
    // Per vertex, four 16-bit lanes.
    std::uint64_t lanes[line_index_vertices];
    // Hash table slots 0 to 2^bits - 1: a line's key (lower vertex << 16 | higher vertex) with
    // bit 16 flipped, which no key has set and its lower vertex clear; 0 when empty.
    std::uint32_t table[std::uint32_t{1} << line_index_max_bits];
    // The keys of the lines in the hash table, in the order they came: what a growing table
    // files again, read in order, without a look at the entries or the lanes.
    std::uint32_t hashed_keys[100000];
};

// The slot where a hash table of 2^bits slots, keyed with `seed`, first looks for the line `key`
// (lower vertex << 16 | higher vertex). The benchmarks make meshes against it, to show what an
// unknown key buys.
std::uint32_t line_index_home_slot(std::uint64_t seed, std::uint32_t key, std::uint32_t bits);

}  // namespace gantrel
