#include "formats/mesh_data.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "test_bytes.h"

namespace gantrel {
namespace {

using test::bytes;
using test::mesh_file;

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

TEST(MeshData, ReadsExactlyWhatTheHeaderAnnouncesFromAStream) {
    struct row {
        const char* what;
        bytes file;
        mesh_data_status expected;
    };
    const bytes whole = mesh_file(6, 4, 6, {{0, 1, 2}, {0, 2, 3}});
    const row rows[] = {
        {"empty file", {}, mesh_data_status::header_cut_short},
        {"27 bytes", bytes(whole.begin(), whole.begin() + 27), mesh_data_status::header_cut_short},
        {"header only", bytes(whole.begin(), whole.begin() + 28),
         mesh_data_status::triangles_cut_short},
        {"one byte short", bytes(whole.begin(), whole.end() - 1),
         mesh_data_status::triangles_cut_short},
        {"whole", whole, mesh_data_status::complete},
        {"longest walk", mesh_file(0, 0, 65535, std::vector<test::tri>(21845, {1, 2, 3})),
         mesh_data_status::complete},
    };
    for (const row& r : rows) {
        std::FILE* file = std::tmpfile();
        ASSERT_NE(file, nullptr);
        std::fwrite(r.file.data(), 1, r.file.size(), file);
        std::rewind(file);
        bytes buffer;
        mesh_data mesh{};
        EXPECT_EQ(read_mesh_data(file, buffer, mesh), r.expected) << r.what;
        if (r.expected == mesh_data_status::complete) {
            EXPECT_EQ(buffer, r.file) << r.what;
            EXPECT_EQ(triangle_at(mesh, mesh.triangle_count - 1).c, 3) << r.what;
        }
        std::fclose(file);
    }
}

}  // namespace
}  // namespace gantrel
