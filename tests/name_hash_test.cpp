#include "mesh/name_hash.h"

#include <gtest/gtest.h>

#include <string>

namespace gantrel {
namespace {

TEST(NameHashTable, MatchesKnownEntriesThatDifferFromCrc32) {
    struct row {
        int index;
        std::uint32_t entry;
    };
    const row rows[] = {
        {0, 0x00000000u}, {1, 0x09073096u},  {2, 0x120E612Cu},   {4, 0xFF6DC419u},
        {8, 0xFEDB8832u}, {64, 0xF6DC4190u}, {128, 0xEDB88320u}, {255, 0x0702EF8Du},
    };
    for (const row& r : rows) {
        EXPECT_EQ(name_hash_table[static_cast<std::size_t>(r.index)], r.entry) << r.index;
    }
}

TEST(NameHash, KnownNames) {
    struct row {
        std::string name;
        std::uint32_t hash;
    };
    const row rows[] = {
        {"", 0x00000000u},     // nothing hashed: the two inversions cancel
        {"a", 0xFCB7BE43u},    //
        {"abc", 0xEBB055C2u},  // CRC-32 would give 0x352441C2
        {"ABC", 0xEBB055C2u},  // ASCII letters fold to lower case
        {"aBc", 0xEBB055C2u},
    };
    for (const row& r : rows) {
        EXPECT_EQ(name_hash(r.name), r.hash) << '"' << r.name << '"';
    }
}

TEST(NameHash, FoldsOnlyAsciiLetters) {
    // Bytes next to the letter ranges and bytes above 0x7F are hashed as they are.
    for (const char* pair : {"@`", "[{", "\xC0\xE0", "\xC9\xE9"}) {
        EXPECT_NE(name_hash(std::string(1, pair[0])), name_hash(std::string(1, pair[1]))) << pair;
    }
    for (char upper = 'A'; upper <= 'Z'; ++upper) {
        const char lower = static_cast<char>(upper - 'A' + 'a');
        EXPECT_EQ(name_hash(std::string("x") + upper + "y"),
                  name_hash(std::string("x") + lower + "y"));
    }
}

TEST(NameHash, CoversEveryByteAsGiven) {
    // Paths, extensions, spaces and embedded zero bytes all count.
    EXPECT_NE(name_hash("abc"), name_hash("abc "));
    EXPECT_NE(name_hash("abc"), name_hash("dir/abc"));
    EXPECT_NE(name_hash("abc"), name_hash("abc.quorvdata"));
    EXPECT_NE(name_hash(std::string("abc", 3)), name_hash(std::string("abc\0", 4)));
}

}  // namespace
}  // namespace gantrel
