#include "formats/mesh_data.h"

#include <algorithm>

#include "formats/byte_order.h"

namespace gantrel {

namespace {

std::int32_t field_at(const unsigned char* bytes, std::size_t offset) {
    return static_cast<std::int32_t>(load_u16_le(bytes + offset));
}

// Decodes the 28 header bytes.
mesh_data_header decode_header(const unsigned char* bytes) {
    return mesh_data_header{field_at(bytes, 10), field_at(bytes, 14), field_at(bytes, 24)};
}

}  // namespace

void start_reading(mesh_data_reader& reader, std::FILE* file) {
    // The reader reads whole chunks of its own: a stream buffer would only copy them once more
    // and cost a page of its own.
    std::setvbuf(file, nullptr, _IONBF, 0);
    reader.file = file;
    reader.triangles_unfetched = 0;
    reader.ended = false;
}

bool read_header(mesh_data_reader& reader, mesh_data_header& out) {
    unsigned char bytes[mesh_data_header_size];
    if (std::fread(bytes, 1, sizeof bytes, reader.file) != sizeof bytes) {
        reader.ended = true;
        return false;
    }
    out = decode_header(bytes);
    reader.triangles_unfetched = out.walked_index_count / 3;
    return true;
}

bool read_triangles(mesh_data_reader& reader, triangle_run& out) {
    out = triangle_run{reader.chunk, 0};
    if (reader.ended) {
        return false;  // a short read already gave the last whole triangles
    }
    const std::size_t wanted =
        std::min(triangles_per_chunk, static_cast<std::size_t>(reader.triangles_unfetched));
    if (wanted == 0) {
        return true;
    }
    const std::size_t size = std::fread(reader.chunk, 1, wanted * triangle_size, reader.file);
    reader.ended = size < wanted * triangle_size;
    reader.triangles_unfetched -= static_cast<std::int32_t>(wanted);
    out.count = size / triangle_size;
    // In place: each index is read before it is written, and on a little-endian host the bytes
    // are already the value.
    const auto* bytes = reinterpret_cast<const unsigned char*>(reader.chunk);
    for (std::size_t i = 0; i < out.count * 3; ++i) {
        reader.chunk[i] = static_cast<std::uint16_t>(load_u16_le(bytes + 2 * i));
    }
    return out.count != 0 || !reader.ended;
}

}  // namespace gantrel
