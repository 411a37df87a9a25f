#pragma once

// The line list's index, which answers only "present or not": its layout belongs to
// mesh/line_list.cpp alone. It is declared here so that a `line_list` is a complete type, one
// fixed block that static storage can hold; nothing outside mesh/line_list.cpp reads it.

#include <cstddef>
#include <cstdint>

namespace gantrel {

inline constexpr std::uint32_t line_index_vertices = 0x10000;
inline constexpr std::uint32_t line_index_block_vertices = 512;  // 4 KiB of lanes
inline constexpr std::uint32_t line_index_blocks = line_index_vertices / line_index_block_vertices;
// The hash table never fills past three quarters, so 2^18 slots hold a whole list of 100000
// lines.
inline constexpr std::uint32_t line_index_min_bits = 10;
inline constexpr std::uint32_t line_index_max_bits = 18;
inline constexpr std::uint32_t line_index_entries = 100000;

struct line_index {
    std::uint32_t hashed;      // lines in the hash table
    std::uint32_t bits;        // the hash table's size, 0 until it is first needed
    std::uint64_t seed;        // the run's key, from which the hash's multiplier and addend come
    std::uint64_t multiplier;  // odd; set with the table
    std::uint64_t addend;
    // Called on each stretch the index is about to write at once: a grown table's slots, and
    // blocks of lanes backed ahead for a mesh whose vertices are spread. Or null.
    void (*prefault)(void* start, std::size_t size);
    // One bit per block of lanes: set once the block is zeroed for the lines now in the list.
    std::uint32_t blocks_in_use[line_index_blocks / 32];
    // Of those, how many lie past the blocks a run had backed for a closed mesh of its size.
    std::uint32_t blocks_unforeseen;
    std::uint32_t blocks_foreseen;  // the blocks backed for a closed mesh, from the first
    // One bit per block of lanes past those: set once the system was asked to back its pages.
    std::uint32_t blocks_backed[line_index_blocks / 32];
    // Per vertex, four 16-bit lanes.
    std::uint64_t lanes[line_index_vertices];
    // Hash table slots 0 to 2^bits - 1: the number of the entry that holds a line, plus 1 (see
    // slot_entries in mesh/line_list.cpp); 0 when empty.
    std::uint16_t table[std::uint32_t{1} << line_index_max_bits];
    // One bit per entry, set where the entry's line is in the hash table: what a growing table
    // files again, read from the entries. A bit an entry costs far fewer pages than a key.
    std::uint64_t hashed_entries[(line_index_entries + 63) / 64];
};

// The slot where a hash table of 2^bits slots, keyed with `seed`, first looks for the line `key`
// (lower vertex << 16 | higher vertex). The benchmarks make meshes against it, to show what an
// unknown key buys.
std::uint32_t line_index_home_slot(std::uint64_t seed, std::uint32_t key, std::uint32_t bits);

}  // namespace gantrel
