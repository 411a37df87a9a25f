#include "formats/wire_file.h"

#include <algorithm>
#include <cassert>
#include <cstdio>

#include "formats/byte_order.h"
#include "mesh/name_hash.h"

namespace gantrel {

namespace {

constexpr std::size_t line_record_size = 4;
constexpr std::int32_t lines_per_chunk = 8192;

// Encodes lines first to first + count - 1 as 4-byte records into `out`.
void encode_lines(const line_list& lines, std::int32_t first, std::int32_t count,
                  unsigned char* out) {
    for (std::int32_t i = first; i < first + count; ++i, out += line_record_size) {
        const line entry = line_at(lines, i);
        store_u16_le(out, static_cast<std::uint32_t>(entry.first));
        store_u16_le(out + 2, static_cast<std::uint32_t>(entry.second));
    }
}

// Encodes the 16-byte header of a wire file holding `count` lines into `out`.
void encode_wire_header(std::uint32_t name_hash, std::int32_t carried_word, std::int32_t count,
                        unsigned char* out) {
    assert(count >= 0 && count <= max_wire_lines);
    const auto word = static_cast<std::uint32_t>(carried_word);
    store_u32_le(out, wire_header_size);
    store_u32_le(out + 4, name_hash);
    store_u16_le(out + 8, 0);
    store_u16_le(out + 10, word);
    store_u16_le(out + 12, 2 * static_cast<std::uint32_t>(count));
    store_u16_le(out + 14, word);
}

// Writes the whole wire file for `lines` to `file` a chunk at a time; false if a write failed.
bool write_wire_stream(std::FILE* file, std::uint32_t name_hash, std::int32_t carried_word,
                       const line_list& lines) {
    unsigned char chunk[line_record_size * lines_per_chunk];
    const std::int32_t count = line_count(lines);
    encode_wire_header(name_hash, carried_word, count, chunk);
    if (std::fwrite(chunk, 1, wire_header_size, file) != wire_header_size) {
        return false;
    }
    for (std::int32_t first = 0; first < count; first += lines_per_chunk) {
        const std::int32_t n = std::min(lines_per_chunk, count - first);
        const std::size_t size = line_record_size * static_cast<std::size_t>(n);
        encode_lines(lines, first, n, chunk);
        if (std::fwrite(chunk, 1, size, file) != size) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::vector<unsigned char> encode_wire_file(std::uint32_t name_hash, std::int32_t carried_word,
                                            const line_list& lines) {
    const std::int32_t count = line_count(lines);
    std::vector<unsigned char> bytes(wire_header_size +
                                     line_record_size * static_cast<std::size_t>(count));
    encode_wire_header(name_hash, carried_word, count, bytes.data());
    encode_lines(lines, 0, count, bytes.data() + wire_header_size);
    return bytes;
}

replace_status write_wire_file(const std::filesystem::path& output_quorvwire_file,
                               std::string_view input_quorvdata_name, std::int32_t carried_word,
                               const line_list& lines) {
    const std::uint32_t hash = name_hash(input_quorvdata_name);
    return replace_file(output_quorvwire_file, [&](std::FILE* file) {
        return write_wire_stream(file, hash, carried_word, lines);
    });
}

}  // namespace gantrel
