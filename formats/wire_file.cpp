#include "formats/wire_file.h"

#include <cassert>

#include "formats/byte_order.h"

namespace gantrel {

void encode_wire_header(std::uint32_t name_hash, std::int32_t carried_word, std::int32_t line_count,
                        unsigned char* out) {
    assert(line_count >= 0 && line_count <= max_wire_lines);
    const auto word = static_cast<std::uint32_t>(carried_word);
    store_u32_le(out, wire_header_size);
    store_u32_le(out + 4, name_hash);
    store_u16_le(out + 8, 0);
    store_u16_le(out + 10, word);
    store_u16_le(out + 12, 2 * static_cast<std::uint32_t>(line_count));
    store_u16_le(out + 14, word);
}

}  // namespace gantrel
