#include "formats/wire_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "mesh/name_hash.h"
#include "test_bytes.h"

namespace gantrel {
namespace {

using test::bytes;
using test::hex;

std::unique_ptr<line_list> lines_from(const std::vector<std::array<std::int32_t, 3>>& triangles) {
    auto lines = std::make_unique<line_list>();
    for (const auto& t : triangles) {
        add_triangle(*lines, t[0], t[1], t[2]);
    }
    return lines;
}

TEST(WireFile, GoldenBytes) {
    struct row {
        const char* what;
        std::uint32_t hash;
        std::int32_t carried_word;
        std::vector<std::array<std::int32_t, 3>> triangles;
        bytes expected;
    };
    const row rows[] = {
        {"no lines: header only", 0, 0, {}, hex("10000000 00000000 0000 0000 0000 0000")},
        {"one triangle",
         0,
         0,
         {{0, 1, 2}},
         hex("10000000 00000000 0000 0000 0600 0000 00000100 01000200 02000000")},
        {"carried word 258 at offsets 10 and 14",
         0,
         258,
         {},
         hex("10000000 00000000 0000 0201 0000 0201")},
        {"the abc example",
         name_hash("abc"),
         4,
         {{0, 1, 2}, {0, 2, 3}},
         hex("10000000 C255B0EB 0000 0400 0A00 0400"
             "00000100 01000200 02000000 02000300 03000000")},
        {"largest indices",
         0xFFFFFFFFu,
         65535,
         {{65535, 0, 65535}},
         hex("10000000 FFFFFFFF 0000 FFFF 0400 FFFF FFFF0000 FFFFFFFF")},
    };
    for (const row& r : rows) {
        const auto lines = lines_from(r.triangles);
        EXPECT_EQ(encode_wire_file(r.hash, r.carried_word, *lines), r.expected) << r.what;
    }
}

TEST(WireFile, MostLinesAHeaderCanCount) {
    // 32767 lines: index_count 65534, the largest value that does not wrap.
    auto lines = std::make_unique<line_list>();
    for (std::int32_t i = 0; i < max_wire_lines; ++i) {
        add_line(*lines, i, i + 1);
    }
    const bytes file = encode_wire_file(0, 0, *lines);
    ASSERT_EQ(file.size(), 16u + 4u * 32767u);
    EXPECT_EQ(file[12], 0xFE);
    EXPECT_EQ(file[13], 0xFF);
    EXPECT_EQ(bytes(file.end() - 4, file.end()), hex("FE7F FF7F"));
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
