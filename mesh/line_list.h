#pragma once

// The distinct edges of a mesh's triangles, as lines.
//
// A line is an unordered pair of vertex indices: a-b and b-a are the same line. The list keeps
// each line once, in order of first addition and in the orientation it was first added with;
// that order and orientation are exactly what the wire file stores.
//
// Beside the entries sits an open-addressing index of the unordered pairs, so that a side is
// looked up in one probe sequence instead of a scan of the whole list. The index only answers
// "present or not"; order and orientation live in the entries alone.
//
// The list is one fixed block with no allocation at all. Zeroed storage is an empty list, so a
// `line_list` in static storage or from `std::make_unique<line_list>()` is ready to use, and
// pages that no line reaches are never touched.

#include <cstdint>

namespace gantrel {

// Vertex indices are 16-bit values in both files, held as 32-bit integers from 0 to 65535.
struct line {
    std::int32_t first;
    std::int32_t second;
};

inline constexpr std::int32_t line_list_capacity = 100000;

// Power of two, at least capacity / 0.8, so linear probing stays short even when full.
inline constexpr std::uint32_t line_index_bits = 17;
inline constexpr std::uint32_t line_index_size = 1u << line_index_bits;

struct line_list {
    line entries[line_list_capacity];
    // 0 marks an empty slot; see `line_key` in line_list.cpp for why no line encodes as 0.
    std::uint32_t index[line_index_size];
    std::int32_t count;
};

// Empties `lines` for another mesh, touching the index only if it holds anything.
void clear_line_list(line_list& lines);

// Adds the line a-b unless the list already holds a-b or b-a. Both indices must be 0 to 65535
// and the list must not be full; a mesh data file yields at most 65535 lines.
void add_line(line_list& lines, std::int32_t a, std::int32_t b);

// Adds the sides a-b, b-c and c-a, in that order and with those orientations.
void add_triangle(line_list& lines, std::int32_t a, std::int32_t b, std::int32_t c);

inline std::int32_t line_count(const line_list& lines) {
    return lines.count;
}

// Entry i, for i from 0 to line_count - 1.
inline line line_at(const line_list& lines, std::int32_t i) {
    return lines.entries[i];
}

}  // namespace gantrel
