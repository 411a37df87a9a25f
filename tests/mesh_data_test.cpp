#include "formats/mesh_data.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "test_bytes.h"

namespace gantrel {
namespace {

using test::bytes;
using test::mesh_file;

bytes take(const bytes& file, std::size_t size) {
    return bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(size));
}

TEST(MeshData, DecodesTheThreeHeaderFieldsLittleEndian) {
    struct row {
        const char* what;
        bytes file;
        mesh_data_header expected;
    };
    bytes noise = mesh_file(0x2D, 258, 0, {});
    for (const int offset :
         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 13, 16, 17, 18, 19, 20, 21, 22, 23, 26, 27}) {
        noise[static_cast<std::size_t>(offset)] = 0xA5;
    }
    const row rows[] = {
        {"all zero", mesh_file(0, 0, 0, {}), {0, 0, 0}},
        {"offset 10 holds 2D 00", mesh_file(0x2D, 0, 0, {}), {45, 0, 0}},
        {"carried word 258", mesh_file(0, 258, 0, {}), {0, 258, 0}},
        {"all ones stay unsigned",
         mesh_file(0xFFFF, 0xFFFF, 0xFFFF, std::vector<test::tri>(21845, {0, 0, 0})),
         {65535, 65535, 65535}},
        {"ignored fields do not leak", noise, {45, 258, 0}},
    };
    for (const row& r : rows) {
        mesh_data mesh{};
        ASSERT_EQ(decode_mesh_data(r.file.data(), r.file.size(), mesh), mesh_data_status::complete)
            << r.what;
        EXPECT_EQ(mesh.header.reported_index_count, r.expected.reported_index_count) << r.what;
        EXPECT_EQ(mesh.header.carried_word, r.expected.carried_word) << r.what;
        EXPECT_EQ(mesh.header.walked_index_count, r.expected.walked_index_count) << r.what;
    }
}

TEST(MeshData, ReadsWalkedCountOverThreeTriangles) {
    struct row {
        std::uint32_t walked;
        std::int32_t triangles;
    };
    for (const row r : {row{0, 0}, row{2, 0}, row{3, 1}, row{8, 2}, row{9, 3}}) {
        const bytes file =
            mesh_file(99, 0, r.walked, {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}, {10, 11, 12}});
        mesh_data mesh{};
        ASSERT_EQ(decode_mesh_data(file.data(), file.size(), mesh), mesh_data_status::complete);
        ASSERT_EQ(mesh.triangle_count, r.triangles) << r.walked;
        for (std::int32_t i = 0; i < mesh.triangle_count; ++i) {
            const triangle t = triangle_at(mesh, i);
            EXPECT_EQ(t.a, 3 * i + 1);
            EXPECT_EQ(t.b, 3 * i + 2);
            EXPECT_EQ(t.c, 3 * i + 3);
        }
    }
}

TEST(MeshData, IndicesAreUnsignedLittleEndian) {
    const bytes file = mesh_file(3, 0, 3, {{0xFFFF, 0x0102, 0x8000}});
    mesh_data mesh{};
    ASSERT_EQ(decode_mesh_data(file.data(), file.size(), mesh), mesh_data_status::complete);
    const triangle t = triangle_at(mesh, 0);
    EXPECT_EQ(t.a, 65535);
    EXPECT_EQ(t.b, 258);
    EXPECT_EQ(t.c, 32768);
}

TEST(MeshData, EveryShortPrefixIsRefused) {
    const bytes file = mesh_file(6, 4, 6, {{0, 1, 2}, {0, 2, 3}});
    for (std::size_t size = 0; size < file.size(); ++size) {
        // A copy of just the prefix, so reading past it is caught by the sanitizers.
        const bytes prefix(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(size));
        mesh_data mesh{};
        const mesh_data_status expected = size < mesh_data_header_size
                                              ? mesh_data_status::header_cut_short
                                              : mesh_data_status::triangles_cut_short;
        EXPECT_EQ(decode_mesh_data(prefix.data(), prefix.size(), mesh), expected) << size;
    }
}

TEST(MeshData, BytesAfterTheLastTriangleAreIgnored) {
    bytes file = mesh_file(3, 0, 3, {{1, 2, 3}, {4, 5, 6}});
    file.push_back(0xEE);
    mesh_data mesh{};
    ASSERT_EQ(decode_mesh_data(file.data(), file.size(), mesh), mesh_data_status::complete);
    EXPECT_EQ(mesh.triangle_count, 1);
}

// Reads `file` through the stream reader as the run does: the header, then every triangle.
mesh_data_status read_stream(const bytes& file, std::vector<triangle>& triangles) {
    std::FILE* stream = std::tmpfile();
    if (!file.empty())
        std::fwrite(file.data(), 1, file.size(), stream);
    std::rewind(stream);
    mesh_data_reader reader;
    start_reading(reader, stream);
    mesh_data_header header{};
    mesh_data_status status = mesh_data_status::complete;
    if (!read_header(reader, header)) {
        status = mesh_data_status::header_cut_short;
    }
    while (status == mesh_data_status::complete) {
        triangle_run next{};
        if (!read_triangles(reader, next)) {
            status = mesh_data_status::triangles_cut_short;
        } else if (next.count == 0) {
            break;
        }
        for (std::size_t i = 0; i < next.count; ++i) {
            const std::uint16_t* t = next.indices + 3 * i;
            triangles.push_back({t[0], t[1], t[2]});
        }
    }
    std::fclose(stream);
    return status;
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
        mesh_file(0, 0, 65535, std::vector<test::tri>(21845, {1, 2, 3})),
    };
    for (const bytes& file : files) {
        std::vector<triangle> streamed;
        const mesh_data_status status = read_stream(file, streamed);
        mesh_data mesh{};
        EXPECT_EQ(status, decode_mesh_data(file.data(), file.size(), mesh)) << file.size();
        if (status == mesh_data_status::complete) {
            ASSERT_EQ(streamed.size(), static_cast<std::size_t>(mesh.triangle_count));
            for (std::int32_t i = 0; i < mesh.triangle_count; ++i) {
                const triangle expected = triangle_at(mesh, i);
                const triangle got = streamed[static_cast<std::size_t>(i)];
                ASSERT_TRUE(got.a == expected.a && got.b == expected.b && got.c == expected.c)
                    << file.size() << " bytes, triangle " << i;
            }
        }
    }
}

}  // namespace
}  // namespace gantrel
