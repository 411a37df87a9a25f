#include "formats/wire_file.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/bytes.h"
#include "support/converted.h"
#include "support/meshes.h"
#include "support/oracle.h"

namespace gantrel {
namespace {

using test::bytes;
using test::hex;
using test::mesh_file;

TEST(WireFile, GoldenBytes) {
    struct row {
        const char* what;
        const char* name;
        bytes mesh;
        bytes expected;
    };
    const row rows[] = {
        {"no lines: header only", "", mesh_file(0, 0, 0, {}),
         hex("10000000 00000000 0000 0000 0000 0000")},
        {"one triangle", "", mesh_file(3, 0, 3, {{0, 1, 2}}),
         hex("10000000 00000000 0000 0000 0600 0000 00000100 01000200 02000000")},
        {"carried word 258 at offsets 10 and 14", "", mesh_file(0, 258, 0, {}),
         hex("10000000 00000000 0000 0201 0000 0201")},
        {"the abc example", "abc", mesh_file(6, 4, 6, {{0, 1, 2}, {0, 2, 3}}),
         hex("10000000 C255B0EB 0000 0400 0A00 0400"
             "00000100 01000200 02000000 02000300 03000000")},
        {"largest indices", "a", mesh_file(3, 65535, 3, {{65535, 0, 65535}}),
         hex("10000000 43BEB7FC 0000 FFFF 0400 FFFF FFFF0000 FFFFFFFF")},
    };
    for (const row& r : rows) {
        EXPECT_EQ(test::convert_bytes(r.mesh, r.name).wire, r.expected) << r.what;
    }
}

TEST(WireFile, MostLinesAHeaderCanCount) {
    // 32767 lines: index_count 65534, the largest value that does not wrap.
    test::wire_lines lines;
    const bytes mesh = test::largest_mesh(lines);
    const test::converted most = test::convert_bytes(mesh, "");
    ASSERT_EQ(most.wire.size(), 16u + 4u * 32767u);
    EXPECT_EQ(most.wire, test::wire_file(0, 0, lines));
    EXPECT_EQ(most.wire[12], 0xFE);
    EXPECT_EQ(most.wire[13], 0xFF);
    // One line more is not laid out at all.
    const test::converted more =
        test::convert_bytes(mesh_file(0, 0, 3 * 10923, test::distinct_sides(10923)), "");
    EXPECT_EQ(more.result.status, conversion_status::too_many_lines);
    EXPECT_EQ(more.result.line_count, 32769);
}

TEST(WireFile, TheHeaderSetsEveryByteWhateverTheBufferHeld) {
    for (const int fill : {0x00, 0xEE, 0xFF}) {
        unsigned char header[wire_header_size];
        std::memset(header, fill, sizeof header);
        encode_wire_header(0xEBB055C2u, 0x0201, 5, header);
        EXPECT_EQ(test::bytes(header, header + sizeof header),
                  test::hex("10000000 C255B0EB 0000 0102 0A00 0102"))
            << "buffer filled with " << fill;
    }
}

}  // namespace
}  // namespace gantrel
