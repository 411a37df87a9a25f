// Fuzzes a whole conversion in memory. The first byte gives the length of the mesh name, taken
// from the bytes after it; the rest is the mesh data file.
//
// Beyond not crashing, it checks that the stream reader agrees with decoding the whole buffer,
// that an undamaged file yields exactly the lines of a plain linear scan (order and orientation),
// that its wire image has the layout of the format, and that a damaged file is refused.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

#include "formats/byte_order.h"
#include "formats/mesh_data.h"
#include "formats/wire_file.h"
#include "mesh/line_list.h"
#include "mesh/name_hash.h"

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "check failed: %s\n", what);
        std::abort();
    }
}

using gantrel::line;

std::vector<line> linear_scan_lines(const gantrel::mesh_data& mesh) {
    std::vector<line> out;
    const auto add = [&out](std::int32_t a, std::int32_t b) {
        for (const line& e : out) {
            if ((e.first == a && e.second == b) || (e.first == b && e.second == a))
                return;
        }
        out.push_back({a, b});
    };
    for (std::int32_t i = 0; i < mesh.triangle_count; ++i) {
        const gantrel::triangle t = gantrel::triangle_at(mesh, i);
        add(t.a, t.b);
        add(t.b, t.c);
        add(t.c, t.a);
    }
    return out;
}

// Reads the file as the run does and says whether it came through whole.
bool read_as_a_stream(const std::uint8_t* data, std::size_t size, const gantrel::mesh_data& mesh,
                      bool decoded_header) {
    std::FILE* file = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
    if (size == 0)
        file = std::tmpfile();  // fmemopen refuses an empty buffer
    check(file != nullptr, "open the buffer as a file");
    auto reader = std::make_unique<gantrel::mesh_data_reader>();
    gantrel::start_reading(*reader, file);
    gantrel::mesh_data_header header{};
    bool whole = gantrel::read_header(*reader, header);
    check(whole == decoded_header, "stream and buffer agree on the header");
    std::int32_t read = 0;
    while (whole) {
        gantrel::triangle_run next{};
        whole = gantrel::read_triangles(*reader, next);
        for (std::size_t i = 0; i < next.count; ++i, ++read) {
            check(read < header.walked_index_count / 3, "no triangle past the announced ones");
            const gantrel::triangle expected = gantrel::triangle_at(mesh, read);
            const std::uint16_t* t = next.indices + 3 * i;
            check(t[0] == expected.a && t[1] == expected.b && t[2] == expected.c,
                  "stream and buffer agree on a triangle");
        }
        if (whole && next.count == 0)
            break;
    }
    check(!whole || read == header.walked_index_count / 3, "a whole file gives every triangle");
    std::fclose(file);
    return whole;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::size_t name_size = std::min<std::size_t>(data[0], size - 1);
    const std::string_view name(reinterpret_cast<const char*>(data + 1), name_size);
    const std::uint8_t* file = data + 1 + name_size;
    const std::size_t file_size = size - 1 - name_size;

    gantrel::mesh_data mesh{};
    const gantrel::mesh_data_status status = gantrel::decode_mesh_data(file, file_size, mesh);
    const bool whole = read_as_a_stream(file, file_size, mesh,
                                        status != gantrel::mesh_data_status::header_cut_short);
    check(whole == (status == gantrel::mesh_data_status::complete), "damaged files are refused");
    if (!whole)
        return 0;
    check(file_size >= 28 + 6 * static_cast<std::size_t>(mesh.triangle_count),
          "a whole file holds every triangle");

    static gantrel::line_list lines;
    gantrel::clear_line_list(lines);
    for (std::int32_t i = 0; i < mesh.triangle_count; ++i) {
        const gantrel::triangle t = gantrel::triangle_at(mesh, i);
        gantrel::add_triangle(lines, t.a, t.b, t.c);
    }
    const std::vector<line> expected = linear_scan_lines(mesh);
    check(static_cast<std::size_t>(gantrel::line_count(lines)) == expected.size(), "line count");
    for (std::int32_t i = 0; i < gantrel::line_count(lines); ++i) {
        const line got = gantrel::line_at(lines, i);
        const line& want = expected[static_cast<std::size_t>(i)];
        check(got.first == want.first && got.second == want.second, "line order and orientation");
    }
    if (gantrel::line_count(lines) > gantrel::max_wire_lines)
        return 0;

    const std::uint32_t hash = gantrel::name_hash(name);
    const std::vector<unsigned char> wire =
        gantrel::encode_wire_file(hash, mesh.header.carried_word, lines);
    const auto count = static_cast<std::size_t>(gantrel::line_count(lines));
    check(wire.size() == 16 + 4 * count, "wire file length");
    check(gantrel::load_u16_le(wire.data()) == 16 && gantrel::load_u16_le(&wire[2]) == 0,
          "lead value");
    check((gantrel::load_u16_le(&wire[4]) | gantrel::load_u16_le(&wire[6]) << 16) == hash,
          "name hash");
    check(gantrel::load_u16_le(&wire[8]) == 0, "zero word");
    const auto word = static_cast<std::uint32_t>(mesh.header.carried_word);
    check(gantrel::load_u16_le(&wire[10]) == word && gantrel::load_u16_le(&wire[14]) == word,
          "carried word");
    check(gantrel::load_u16_le(&wire[12]) == 2 * count, "index count");
    for (std::size_t i = 0; i < count; ++i) {
        check(gantrel::load_u16_le(&wire[16 + 4 * i]) ==
                      static_cast<std::uint32_t>(expected[i].first) &&
                  gantrel::load_u16_le(&wire[18 + 4 * i]) ==
                      static_cast<std::uint32_t>(expected[i].second),
              "line records");
    }
    return 0;
}
