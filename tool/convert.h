#pragma once

// One conversion in memory: the mesh data file read from a stream, its lines collected, and the
// wire file laid out as the bytes to write. It opens, writes and reports nothing; the run does
// that around it. The tests and the fuzzer call it as the run does, so what they check is what
// runs.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "formats/mesh_data.h"
#include "formats/wire_file.h"
#include "mesh/line_list.h"

namespace gantrel {

// The large buffers a conversion works in, reused from one conversion to the next. A run keeps
// them in static storage: their zero pages cost nothing until lines reach them, they cannot fail
// to be allocated, and they stay off the stack, which may be small.
struct converter {
    mesh_data_reader reader;
    line_list lines;
};

enum class conversion_status {
    converted,            // the wire file is laid out
    header_cut_short,     // the file ends before its header does
    triangles_cut_short,  // the header is whole but a triangle is not
    too_many_lines,       // more lines than a wire file header can count
};

struct conversion {
    conversion_status status;
    mesh_data_header header;  // zero where the header was cut short
    std::int32_t line_count;  // the lines of the whole mesh, where its triangles were all read
    // The wire file, where converted: this header, then `records_size` bytes at `records`, the
    // line records held by the converter until its next conversion.
    unsigned char wire_header[wire_header_size];
    const unsigned char* records;
    std::size_t records_size;
};

// Converts the mesh data file read from `input`, which the caller opened and closes, under the
// mesh name `mesh_name`. `seed` keys the line index (a run takes it from the system's random
// source; 0 is a fixed key); the output never depends on it.
conversion convert(converter& space, std::FILE* input, std::string_view mesh_name,
                   std::uint64_t seed);

}  // namespace gantrel
