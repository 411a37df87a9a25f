#include "formats/mesh_data.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "support/bytes.h"
#include "support/converted.h"
#include "support/oracle.h"

namespace gantrel {
namespace {

using test::bytes;
using test::decoded_mesh;
using test::mesh_file;

bytes take(const bytes& file, std::size_t size) {
    return bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(size));
}

// Reads `file` through the stream reader as a run does: the header, then every triangle.
decoded_mesh read_stream(const bytes& file) {
    std::FILE* stream = test::open_bytes(file.data(), file.size());
    mesh_data_reader reader;
    start_reading(reader, stream);
    mesh_data_header header{};
    decoded_mesh out{};
    out.header_whole = read_header(reader, header);
    out.whole = out.header_whole;
    if (out.header_whole) {
        out.reported_index_count = static_cast<std::uint32_t>(header.reported_index_count);
        out.carried_word = static_cast<std::uint32_t>(header.carried_word);
        out.walked_index_count = static_cast<std::uint32_t>(header.walked_index_count);
    }
    while (out.whole) {
        triangle_run next{};
        out.whole = read_triangles(reader, next);
        if (out.whole && next.count == 0)
            break;
        for (std::size_t i = 0; i < next.count; ++i) {
            const std::uint16_t* t = next.indices + 3 * i;
            out.triangles.push_back({t[0], t[1], t[2]});
        }
    }
    std::fclose(stream);
    if (!out.whole)
        out.triangles.clear();
    return out;
}

void expect_same(const decoded_mesh& got, const decoded_mesh& want, const char* what) {
    EXPECT_EQ(got.header_whole, want.header_whole) << what;
    EXPECT_EQ(got.whole, want.whole) << what;
    EXPECT_EQ(got.reported_index_count, want.reported_index_count) << what;
    EXPECT_EQ(got.carried_word, want.carried_word) << what;
    EXPECT_EQ(got.walked_index_count, want.walked_index_count) << what;
    EXPECT_EQ(got.triangles, want.triangles) << what;
}

TEST(MeshData, ReadsTheThreeHeaderFieldsAndTheAnnouncedTriangles) {
    struct row {
        const char* what;
        bytes file;
        std::uint32_t reported, carried, walked;
        std::vector<test::tri> triangles;
    };
    bytes noise = mesh_file(0x2D, 258, 0, {});
    for (const int offset :
         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 13, 16, 17, 18, 19, 20, 21, 22, 23, 26, 27}) {
        noise[static_cast<std::size_t>(offset)] = 0xA5;
    }
    const std::vector<test::tri> four = {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}, {10, 11, 12}};
    bytes longer = mesh_file(3, 0, 3, {{1, 2, 3}, {4, 5, 6}});
    longer.push_back(0xEE);
    const row rows[] = {
        {"all zero", mesh_file(0, 0, 0, {}), 0, 0, 0, {}},
        {"offset 10 holds 2D 00", mesh_file(0x2D, 0, 0, {}), 45, 0, 0, {}},
        {"carried word 258", mesh_file(0, 258, 0, {}), 0, 258, 0, {}},
        {"all ones stay unsigned",
         mesh_file(0xFFFF, 0xFFFF, 0xFFFF, std::vector<test::tri>(21845, {0, 0, 0})), 65535, 65535,
         65535, std::vector<test::tri>(21845, {0, 0, 0})},
        {"ignored fields do not leak", noise, 45, 258, 0, {}},
        {"walked 2: no triangle", mesh_file(99, 0, 2, four), 99, 0, 2, {}},
        {"walked 8: two triangles", mesh_file(99, 0, 8, four), 99, 0, 8, {four[0], four[1]}},
        {"walked 9: three", mesh_file(99, 0, 9, four), 99, 0, 9, {four[0], four[1], four[2]}},
        {"indices unsigned little-endian",
         mesh_file(3, 0, 3, {{0xFFFF, 0x0102, 0x8000}}),
         3,
         0,
         3,
         {{65535, 258, 32768}}},
        {"bytes after the last triangle ignored", longer, 3, 0, 3, {{1, 2, 3}}},
    };
    for (const row& r : rows) {
        const decoded_mesh got = read_stream(r.file);
        ASSERT_TRUE(got.whole) << r.what;
        EXPECT_EQ(got.reported_index_count, r.reported) << r.what;
        EXPECT_EQ(got.carried_word, r.carried) << r.what;
        EXPECT_EQ(got.walked_index_count, r.walked) << r.what;
        EXPECT_EQ(got.triangles, r.triangles) << r.what;
        expect_same(got, test::decode_mesh(r.file), r.what);
    }
}

TEST(MeshData, EveryShortPrefixIsRefused) {
    const bytes file = mesh_file(6, 4, 6, {{0, 1, 2}, {0, 2, 3}});
    for (std::size_t size = 0; size < file.size(); ++size) {
        // A copy of just the prefix, so reading past it is caught by the sanitizers.
        const bytes prefix = take(file, size);
        const conversion_status expected = size < mesh_data_header_size
                                               ? conversion_status::header_cut_short
                                               : conversion_status::triangles_cut_short;
        EXPECT_EQ(test::convert_bytes(prefix, "abc").result.status, expected) << size;
    }
}

TEST(MeshData, StreamReaderAgreesWithDecodingAcrossChunks) {
    // Enough triangles for three chunks, with distinct indices to catch misaligned reads.
    const auto count = static_cast<std::uint32_t>(triangles_per_chunk * 5 / 2);
    std::vector<test::tri> many;
    for (std::uint32_t t = 0; t < count; ++t)
        many.push_back({t, t + 7, t + 13});
    const bytes whole = mesh_file(0, 0, 3 * count, many);
    const std::size_t chunk_end = 28 + triangles_per_chunk * 6;
    bytes longer = whole;
    longer.insert(longer.end(), {1, 2, 3, 4, 5, 6});
    const bytes files[] = {
        {},
        take(whole, 27),
        take(whole, 28),
        take(whole, 31),
        take(whole, chunk_end),      // ends exactly between chunks
        take(whole, chunk_end + 3),  // ends inside the first triangle of a chunk
        take(whole, whole.size() - 1),
        whole,
        longer,
    };
    for (const bytes& file : files) {
        const std::string what = std::to_string(file.size()) + " bytes";
        expect_same(read_stream(file), test::decode_mesh(file), what.c_str());
    }
}

}  // namespace
}  // namespace gantrel
