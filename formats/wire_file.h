#pragma once

// The wire file (quorvwire): the tool's only product. Little-endian throughout.
//
//   offset  width     field
//        0  32 bits   lead_value, always 16
//        4  32 bits   name_hash of the mesh name
//        8  16 bits   always 0
//       10  16 bits   carried_word from the mesh data header
//       12  16 bits   index_count: 2 x the number of lines
//       14  16 bits   carried_word again
//       16  4 bytes   per line, in line list order: first, then second, 16 bits each
//
// The file is exactly 16 + 4 x lines bytes. Lines keep the order and orientation of the line
// list; they are not sorted or normalised. index_count is 16 bits, so a header can count at most
// 32767 lines: a mesh with more is not written, since readers would lose the lines past the count.

#include <cstddef>
#include <cstdint>

#include "mesh/line_list.h"

namespace gantrel {

inline constexpr std::size_t wire_header_size = 16;
inline constexpr std::int32_t max_wire_lines = 32767;

// The 16-byte header of a wire file holding `line_count` lines, into `out`. The lines that follow
// it are the line list's own records (`line_records`), written as they are. `line_count` must be
// at most max_wire_lines.
void encode_wire_header(std::uint32_t name_hash, std::int32_t carried_word, std::int32_t line_count,
                        unsigned char* out);

}  // namespace gantrel
