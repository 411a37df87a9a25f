#include "formats/wire_file.h"

#include <cassert>

#include "formats/byte_order.h"

namespace gantrel {

namespace {

constexpr std::size_t line_record_size = 4;

}  // namespace

std::vector<unsigned char> encode_wire_file(std::uint32_t name_hash, std::int32_t carried_word,
                                            const line_list& lines) {
    const std::int32_t count = line_count(lines);
    assert(count >= 0 && count <= max_wire_lines);
    std::vector<unsigned char> bytes(wire_header_size +
                                     line_record_size * static_cast<std::size_t>(count));
    unsigned char* out = bytes.data();
    const auto word = static_cast<std::uint32_t>(carried_word);
    store_u32_le(out, wire_header_size);
    store_u32_le(out + 4, name_hash);
    store_u16_le(out + 8, 0);
    store_u16_le(out + 10, word);
    store_u16_le(out + 12, 2 * static_cast<std::uint32_t>(count));
    store_u16_le(out + 14, word);
    out += wire_header_size;
    for (std::int32_t i = 0; i < count; ++i, out += line_record_size) {
        const line entry = line_at(lines, i);
        store_u16_le(out, static_cast<std::uint32_t>(entry.first));
        store_u16_le(out + 2, static_cast<std::uint32_t>(entry.second));
    }
    return bytes;
}

}  // namespace gantrel
