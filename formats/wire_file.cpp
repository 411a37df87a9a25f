#include "formats/wire_file.h"

#include <algorithm>
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

std::vector<unsigned char> encode_wire_file(std::uint32_t name_hash, std::int32_t carried_word,
                                            const line_list& lines) {
    const std::int32_t count = line_count(lines);
    const std::size_t records_size = line_record_size * static_cast<std::size_t>(count);
    std::vector<unsigned char> bytes(wire_header_size + records_size);
    encode_wire_header(name_hash, carried_word, count, bytes.data());
    std::copy_n(line_records(lines), records_size, bytes.data() + wire_header_size);
    return bytes;
}

}  // namespace gantrel
