#pragma once

// The distinct edges of a mesh's triangles, as lines.
//
// A line is an unordered pair of vertex indices: a-b and b-a are the same line. The list keeps
// each line once, in order of first addition and in the orientation it was first added with;
// that order and orientation are exactly what the wire file stores.
//
// Beside the entries sits an index that only answers "present or not"; order and orientation
// live in the entries alone. A run's cost is mostly the pages it touches and the work per side,
// and the index is laid out for both, and for a worst case that no input can make much worse:
//  - Lanes. Each vertex has four 16-bit lanes for the lines whose lower vertex it is, one word
//    of 8 bytes. A side is looked up by comparing its higher vertex with all four lanes at once,
//    in the word of its lower vertex. A closed mesh has about three lines per vertex, and a mesh
//    keeps nearby vertices together, so the words a run uses are few, dense and mostly ones it
//    has just touched. The lanes are zeroed a 4 KiB block at a time when a block is first met,
//    so that a fresh page is written before it is read (read first, it would fault twice), and
//    emptying the list only forgets which blocks are in use. A side costs the same whatever the
//    mesh.
//  - A hash table for the rest: the lines whose lower vertex's lanes were full when they came
//    (a fan around one vertex, a few vertices met over and over). It is an open-addressing table
//    of 16-bit entry numbers, compared through the entries' records, that starts at 2 KiB and
//    grows twice, to 16 and to 256 KiB, as such lines arrive: two bytes a slot, and few growths,
//    since on a machine where a fresh page costs as much as a thousand hashed sides, the pages
//    of a mesh that hashes every side are most of its cost. Its hash is keyed per run
//    (`seed_line_index`, from the system's random source): multiply-add-shift with a random odd
//    64-bit multiplier and a random addend, a 2-independent family, so that two lines collide with
//    the chance of random ones whatever the mesh, and a mesh data file cannot be made in advance to
//    make its lines collide; a key that leaked would let one be made for that run only. Without a
//    seed (a zeroed list) the key is fixed, so that tests reproduce. A structure bounded without a
//    secret (per-vertex trees, a sort with the first-seen order restored) would cost every mesh
//    more: the lanes take every side of a closed mesh, and the table only sees the rest.

#include <cstddef>
#include <cstdint>

#include "mesh/line_index.h"

namespace gantrel {

// Vertex indices are 16-bit values in both files, held as 32-bit integers from 0 to 65535.
struct line {
    std::int32_t first;
    std::int32_t second;
};

inline constexpr std::int32_t line_list_capacity = line_index_entries;
inline constexpr std::size_t line_record_size = 4;

struct line_list {
    // The count and the index's small fields first, on the page the first lanes take.
    std::int32_t count;
    line_index index;
    // The entries: the bytes of the wire file's line records, as 16-bit words.
    std::uint16_t records[line_list_capacity][2];
};

// Keys the hash table of `lines` with `seed` (from the system's random source) for lines added
// from now on; before any line is added. A zeroed list's seed is 0, a fixed key.
void seed_line_index(line_list& lines, std::uint64_t seed);

// Has `prefault` called on each stretch of storage the list is about to write at once (its hash
// table as it grows, and blocks of lanes ahead of a mesh whose vertices are spread), so that a run
// can have the system back the stretch in one request; null, a zeroed list's, calls nothing.
// Before any line is added.
void prefault_line_index(line_list& lines, void (*prefault)(void* start, std::size_t size));

// Empties `lines` for another mesh; the seed and the prefault stay.
void clear_line_list(line_list& lines);

// Adds the line a-b unless the list already holds a-b or b-a. Both indices must be 0 to 65535
// and the list must not be full; a mesh data file yields at most 65535 lines.
void add_line(line_list& lines, std::int32_t a, std::int32_t b);

// Adds `count` triangles given as vertex indices a, b, c each: the sides a-b, b-c and c-a of
// each in turn, in those orientations, each unless present.
void add_triangles(line_list& lines, const std::uint16_t* indices, std::size_t count);

// A stretch of a line list's storage.
struct storage_span {
    void* start;
    std::size_t size;
};

// The storage a closed mesh of `triangle_count` triangles whose vertices are numbered from 0
// would write: the records of 1.5 lines a triangle and the lanes of half as many vertices as
// triangles. A run has the system back them at once, which costs less than a fault per page; a
// mesh of another shape faults where the guess falls short, or leaves a backed page unused. The
// list takes those lanes as backed from then on.
void likely_storage(line_list& lines, std::int32_t triangle_count, storage_span (&out)[2]);

inline std::int32_t line_count(const line_list& lines) {
    return lines.count;
}

// The entries as the wire file's line records: line_record_size x line_count bytes.
inline const unsigned char* line_records(const line_list& lines) {
    return reinterpret_cast<const unsigned char*>(lines.records);
}

// Entry i, for i from 0 to line_count - 1.
inline line line_at(const line_list& lines, std::int32_t i) {
    const unsigned char* record =
        line_records(lines) + line_record_size * static_cast<std::size_t>(i);
    return line{record[0] | record[1] << 8, record[2] | record[3] << 8};
}

}  // namespace gantrel
