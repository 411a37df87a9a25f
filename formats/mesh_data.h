#pragma once

// The mesh data file (quorvdata): the tool's only input. Little-endian throughout, read from the
// start with no seeking.
//
//   offset  width     field
//        0  8 bytes   lead bytes, ignored
//        8  16 bits   ignored
//       10  16 bits   reported_index_count: divided by 3, the triangle count that is reported
//       12  16 bits   ignored
//       14  16 bits   carried_word: copied into the wire file header
//       16  32 bits   ignored
//       20  16 bits   ignored
//       22  16 bits   ignored
//       24  16 bits   walked_index_count: divided by 3, the number of triangles read
//       26  16 bits   ignored
//       28  6 bytes   per triangle: vertex indices a, b, c, 16 bits each
//
// Nothing in the header is checked: there is no magic number or version, the two counts are not
// compared, and indices are not compared with any vertex count. Every field is unsigned, so each
// value is 0 to 65535 and at most 21845 triangles are read. Bytes after the last triangle read
// are never looked at. A file that ends before its header or its last triangle ends is damaged
// and is refused whole, rather than converted from invented values.

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace gantrel {

inline constexpr std::size_t mesh_data_header_size = 28;
inline constexpr std::size_t triangle_size = 6;

struct mesh_data_header {
    std::int32_t reported_index_count;
    std::int32_t carried_word;
    std::int32_t walked_index_count;
};

// Reading a file as a stream, a chunk of triangles at a time, never past the last triangle the
// header announces. A read error counts as the end of the file. A chunk fits one page: a run's
// cost is mostly the fresh pages it touches, and a read costs less than a page.
inline constexpr std::size_t triangles_per_chunk = 682;

struct mesh_data_reader {
    // The last chunk read: 3 vertex indices per triangle, decoded in place to the host's order.
    // First, so that bounds checks know where it ends: a compiler may take a struct's last array
    // for one that runs on past it.
    std::uint16_t chunk[triangles_per_chunk * 3];
    std::FILE* file;
    std::int32_t triangles_unfetched;  // announced triangles not yet read from the file
    bool ended;                        // the file ended or failed
};

// Whole triangles as vertex indices a, b, c, three per triangle, in file order.
struct triangle_run {
    const std::uint16_t* indices;
    std::size_t count;  // triangles
};

// Starts reading `file`, which the caller keeps open and closes.
void start_reading(mesh_data_reader& reader, std::FILE* file);

// Reads the 28-byte header; false when the file ends before it does.
bool read_header(mesh_data_reader& reader, mesh_data_header& out);

// Reads the next triangles of the walked_index_count / 3 the header announced, at most a chunk;
// `out.count` is 0 once all are read. False when the file ends before the next triangle does;
// the whole triangles before that point are still given first. The indices stay valid until the
// next call. Call after `read_header`.
bool read_triangles(mesh_data_reader& reader, triangle_run& out);

}  // namespace gantrel
