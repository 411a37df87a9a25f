#include "formats/mesh_data.h"

#include "formats/byte_order.h"

namespace gantrel {

namespace {

std::int32_t field_at(const unsigned char* bytes, std::size_t offset) {
    return static_cast<std::int32_t>(load_u16_le(bytes + offset));
}

std::size_t read_fully(std::FILE* file, unsigned char* into, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const std::size_t got = std::fread(into + done, 1, size - done, file);
        if (got == 0) {
            break;
        }
        done += got;
    }
    return done;
}

}  // namespace

mesh_data_header decode_header(const unsigned char* bytes) {
    return mesh_data_header{field_at(bytes, 10), field_at(bytes, 14), field_at(bytes, 24)};
}

mesh_data_status decode_mesh_data(const unsigned char* bytes, std::size_t size, mesh_data& out) {
    if (size < mesh_data_header_size) {
        return mesh_data_status::header_cut_short;
    }
    out.header = decode_header(bytes);
    out.triangle_count = out.header.walked_index_count / 3;
    out.triangle_bytes = bytes + mesh_data_header_size;
    const std::size_t needed = static_cast<std::size_t>(out.triangle_count) * triangle_size;
    if (size - mesh_data_header_size < needed) {
        return mesh_data_status::triangles_cut_short;
    }
    return mesh_data_status::complete;
}

triangle triangle_at(const mesh_data& mesh, std::int32_t i) {
    const unsigned char* bytes = mesh.triangle_bytes + static_cast<std::size_t>(i) * triangle_size;
    return triangle{field_at(bytes, 0), field_at(bytes, 2), field_at(bytes, 4)};
}

mesh_data_status read_mesh_data(std::FILE* file, std::vector<unsigned char>& bytes,
                                mesh_data& out) {
    bytes.resize(mesh_data_header_size);
    std::size_t size = read_fully(file, bytes.data(), mesh_data_header_size);
    if (size == mesh_data_header_size) {
        const mesh_data_header header = decode_header(bytes.data());
        const std::size_t triangle_bytes =
            static_cast<std::size_t>(header.walked_index_count / 3) * triangle_size;
        bytes.resize(mesh_data_header_size + triangle_bytes);
        size += read_fully(file, bytes.data() + size, triangle_bytes);
    }
    return decode_mesh_data(bytes.data(), size, out);
}

}  // namespace gantrel
