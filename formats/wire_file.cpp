#include "formats/wire_file.h"

#include <cassert>

#include "formats/byte_order.h"
#include "mesh/name_hash.h"

namespace gantrel {

std::vector<unsigned char> encode_wire_file(std::uint32_t name_hash, std::int32_t carried_word,
                                            const line_list& lines) {
    const std::int32_t count = line_count(lines);
    assert(count <= max_wire_lines);
    std::vector<unsigned char> bytes(wire_header_size + 4 * static_cast<std::size_t>(count));
    unsigned char* at = bytes.data();
    const auto word = static_cast<std::uint32_t>(carried_word);
    store_u32_le(at, wire_header_size);
    store_u32_le(at + 4, name_hash);
    store_u16_le(at + 8, 0);
    store_u16_le(at + 10, word);
    store_u16_le(at + 12, 2 * static_cast<std::uint32_t>(count));
    store_u16_le(at + 14, word);
    at += wire_header_size;
    for (std::int32_t i = 0; i < count; ++i, at += 4) {
        const line entry = line_at(lines, i);
        store_u16_le(at, static_cast<std::uint32_t>(entry.first));
        store_u16_le(at + 2, static_cast<std::uint32_t>(entry.second));
    }
    return bytes;
}

replace_status write_wire_file(const std::filesystem::path& output_quorvwire_file,
                               std::string_view input_quorvdata_name, std::int32_t carried_word,
                               const line_list& lines) {
    const std::vector<unsigned char> bytes =
        encode_wire_file(name_hash(input_quorvdata_name), carried_word, lines);
    return replace_file(output_quorvwire_file, bytes.data(), bytes.size());
}

}  // namespace gantrel
