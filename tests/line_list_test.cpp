#include "mesh/line_list.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <random>
#include <utility>
#include <vector>

namespace gantrel {
namespace {

using pairs = std::vector<std::pair<std::int32_t, std::int32_t>>;
using triangles = std::vector<std::array<std::int32_t, 3>>;

pairs entries_of(const line_list& lines) {
    pairs out;
    for (std::int32_t i = 0; i < line_count(lines); ++i) {
        out.emplace_back(line_at(lines, i).first, line_at(lines, i).second);
    }
    return out;
}

pairs lines_of(const triangles& input, std::int32_t reserved = 0) {
    auto lines = std::make_unique<line_list>();
    reserve_lines(*lines, reserved);
    for (const auto& t : input) {
        add_triangle(*lines, t[0], t[1], t[2]);
    }
    return entries_of(*lines);
}

// What the list must equal: a scan of every entry for either orientation.
pairs linear_scan_lines(const triangles& input) {
    pairs out;
    const auto add = [&out](std::int32_t a, std::int32_t b) {
        for (const auto& e : out) {
            if ((e.first == a && e.second == b) || (e.first == b && e.second == a))
                return;
        }
        out.emplace_back(a, b);
    };
    for (const auto& t : input) {
        add(t[0], t[1]);
        add(t[1], t[2]);
        add(t[2], t[0]);
    }
    return out;
}

TEST(LineList, KeepsFirstOrderAndOrientation) {
    struct row {
        const char* what;
        triangles input;
        pairs expected;
    };
    const row rows[] = {
        {"no triangles", {}, {}},
        {"one triangle", {{0, 1, 2}}, {{0, 1}, {1, 2}, {2, 0}}},
        {"shared side met reversed",
         {{0, 1, 2}, {0, 2, 3}},
         {{0, 1}, {1, 2}, {2, 0}, {2, 3}, {3, 0}}},
        {"shared side keeps first orientation",
         {{0, 1, 2}, {2, 1, 3}},
         {{0, 1}, {1, 2}, {2, 0}, {1, 3}, {3, 2}}},
        {"two equal ends", {{4, 4, 5}}, {{4, 4}, {4, 5}}},
        {"all ends equal", {{7, 7, 7}}, {{7, 7}}},
        {"repeated triangle adds nothing", {{0, 1, 2}, {0, 1, 2}}, {{0, 1}, {1, 2}, {2, 0}}},
        {"same vertices other order", {{0, 1, 2}, {2, 0, 1}, {1, 0, 2}}, {{0, 1}, {1, 2}, {2, 0}}},
        {"largest indices", {{65535, 0, 65535}}, {{65535, 0}, {65535, 65535}}},
        {"pair whose key sits at the top",
         {{65535, 65535, 65534}},
         {{65535, 65535}, {65535, 65534}}},
        {"zero loop", {{0, 0, 0}, {0, 0, 1}}, {{0, 0}, {0, 1}}},
    };
    for (const row& r : rows) {
        EXPECT_EQ(lines_of(r.input), r.expected) << r.what;
    }
}

TEST(LineList, MatchesLinearScanOnRandomMeshes) {
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    // Small vertex ranges make many shared and reversed sides; large ones make few.
    for (const std::int32_t vertices : {1, 2, 5, 40, 300, 65536}) {
        std::uniform_int_distribution<std::int32_t> vertex(0, vertices - 1);
        triangles input(2000);
        for (auto& t : input) {
            t = {vertex(random), vertex(random), vertex(random)};
        }
        const pairs expected = linear_scan_lines(input);
        // Whether the index starts small and grows or is sized up front must not matter.
        for (const std::int32_t reserved : {0, 100, 3000, line_list_capacity}) {
            EXPECT_EQ(lines_of(input, reserved), expected)
                << "seed " << seed << ", " << vertices << " vertices, " << reserved << " reserved";
        }
    }
}

TEST(LineList, HoldsTheLargestMeshAFileCanDescribe) {
    // 21845 triangles whose 65535 sides are all distinct.
    auto lines = std::make_unique<line_list>();
    for (std::int32_t t = 0; t < 21845; ++t) {
        add_triangle(*lines, t, t + 21845, t + 2 * 21845);
    }
    ASSERT_EQ(line_count(*lines), 65535);
    EXPECT_EQ(line_at(*lines, 65534).first, 2 * 21845 + 21844);
    EXPECT_EQ(line_at(*lines, 65534).second, 21844);
    add_triangle(*lines, 21845, 0, 2 * 21845);
    EXPECT_EQ(line_count(*lines), 65535);
}

TEST(LineList, HoldsItsWholeCapacity) {
    auto lines = std::make_unique<line_list>();
    const auto pair = [](std::int32_t i) { return std::make_pair(i % 50000, 50000 + i / 50000); };
    for (std::int32_t i = 0; i < line_list_capacity; ++i) {
        add_line(*lines, pair(i).first, pair(i).second);
    }
    for (std::int32_t i = 0; i < line_list_capacity; ++i) {
        add_line(*lines, pair(i).second, pair(i).first);
    }
    ASSERT_EQ(line_count(*lines), line_list_capacity);
    for (std::int32_t i = 0; i < line_list_capacity; ++i) {
        ASSERT_EQ(line_at(*lines, i).first, pair(i).first);
        ASSERT_EQ(line_at(*lines, i).second, pair(i).second);
    }
}

TEST(LineList, ClearedListStartsAfresh) {
    auto lines = std::make_unique<line_list>();
    add_triangle(*lines, 0, 1, 2);
    clear_line_list(*lines);
    EXPECT_EQ(line_count(*lines), 0);
    add_triangle(*lines, 2, 1, 0);
    EXPECT_EQ(entries_of(*lines), (pairs{{2, 1}, {1, 0}, {0, 2}}));
}

}  // namespace
}  // namespace gantrel
