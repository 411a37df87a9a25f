#pragma once

// The distinct edges of a mesh's triangles, as lines.
//
// A line is an unordered pair of vertex indices: a-b and b-a are the same line. The list keeps
// each line once, in order of first addition and in the orientation it was first added with;
// that order and orientation are exactly what the wire file stores.
//
// Beside the entries sits an open-addressing index of the unordered pairs, so that a side is
// looked up in one short probe sequence instead of a scan of the whole list. Its slots hold entry
// numbers, 16 bits each, so it touches half the memory of one that held the pairs themselves: a
// run's cost is mostly the pages it touches. It only answers "present or not"; order and
// orientation live in the entries alone. It starts small and doubles inside its fixed block as
// lines arrive, rebuilt from the entries each time. 16-bit slots can number 65535 entries, as many
// as a mesh data file can yield; the entries past them, which only a caller adding lines of its
// own can reach, are found by a scan.
//
// The entries are stored as the wire file stores its lines: four bytes each, `first` then
// `second`, 16 bits each, least significant byte first, so the wire file's lines are written
// straight from the list without being copied.
//
// The list is one fixed block and allocates nothing. Zeroed storage is an empty list, so a
// `line_list` in static storage or from `std::make_unique<line_list>()` is ready to use; pages
// that no line reaches are never touched, which keeps a run's memory in proportion to its mesh.

#include <cstddef>
#include <cstdint>

namespace gantrel {

// Vertex indices are 16-bit values in both files, held as 32-bit integers from 0 to 65535.
struct line {
    std::int32_t first;
    std::int32_t second;
};

inline constexpr std::int32_t line_list_capacity = 100000;
inline constexpr std::size_t line_record_size = 4;

// The index never fills past half.
inline constexpr std::uint32_t line_index_min_bits = 10;
inline constexpr std::uint32_t line_index_max_bits = 17;
inline constexpr std::int32_t line_index_entries = 0xFFFF;

struct line_list {
    // Entries as little-endian 16-bit pairs: the wire file's line records.
    unsigned char records[line_list_capacity][line_record_size];
    // Slots 0 to 2^index_bits - 1 are in use; a slot holds an entry number + 1, 0 when empty.
    std::uint16_t index[std::uint32_t{1} << line_index_max_bits];
    std::int32_t count;
    std::uint32_t index_bits;  // 0 until the first line arrives
};

// Empties `lines` for another mesh, touching only what it used.
void clear_line_list(line_list& lines);

// Sizes the index for `expected_lines` lines at once, sparing the rebuilds of growing to it.
// Lines beyond it still fit: the index keeps growing as they arrive.
void reserve_lines(line_list& lines, std::int32_t expected_lines);

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
    const unsigned char* record = lines.records[i];
    return line{record[0] | record[1] << 8, record[2] | record[3] << 8};
}

// The entries as the wire file's line records: line_record_size x line_count bytes.
inline const unsigned char* line_records(const line_list& lines) {
    return lines.records[0];
}

}  // namespace gantrel
