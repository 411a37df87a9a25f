#include "mesh/line_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "support/meshes.h"
#include "support/oracle.h"
#include "tool/platform.h"

namespace gantrel {
namespace {

using pairs = test::wire_lines;
using triangles = std::vector<test::tri>;

pairs entries_of(const line_list& lines) {
    pairs out;
    for (std::int32_t i = 0; i < line_count(lines); ++i) {
        const line entry = line_at(lines, i);
        out.push_back(
            {static_cast<std::uint32_t>(entry.first), static_cast<std::uint32_t>(entry.second)});
    }
    return out;
}

// The lines of `input` through add_triangles, in runs of `run_length` triangles, as a run reads
// them.
pairs lines_of_runs(line_list& lines, const triangles& input, std::size_t run_length) {
    std::vector<std::uint16_t> indices;
    for (const auto& t : input) {
        for (const std::uint32_t v : t)
            indices.push_back(static_cast<std::uint16_t>(v));
    }
    for (std::size_t start = 0; start < input.size(); start += run_length) {
        const std::size_t count = std::min(run_length, input.size() - start);
        add_triangles(lines, indices.data() + 3 * start, count);
    }
    return entries_of(lines);
}

// Stands in for a run's backing of the list's storage, which the list asks for as a run's does:
// every stretch must lie inside the list being filled.
const line_list* backed_list = nullptr;
void check_backed(void* start, std::size_t size) {
    const auto* first = reinterpret_cast<const unsigned char*>(backed_list);
    const auto* at = static_cast<const unsigned char*>(start);
    EXPECT_TRUE(at >= first && size <= sizeof *backed_list &&
                at - first <= static_cast<std::ptrdiff_t>(sizeof *backed_list - size))
        << "backing " << size << " bytes at offset " << at - first;
}

std::unique_ptr<line_list> backed_line_list() {
    auto lines = std::make_unique<line_list>();
    backed_list = lines.get();
    prefault_line_index(*lines, check_backed);
    return lines;
}

pairs lines_of(const triangles& input) {
    auto lines = backed_line_list();
    return lines_of_runs(*lines, input, 1);
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
        {"the one pair that takes no lane",
         {{0, 65535, 0}, {65535, 0, 0}, {0, 65535, 1}},
         {{0, 65535}, {0, 0}, {65535, 1}, {1, 0}}},
        // Blocks 0 and 1 in use, the next met is 126: it is backed together with the last one.
        {"a block of lanes backed ahead up to the last",
         {{0, 3, 1}, {512, 513, 514}, {64512, 64513, 64514}, {0, 1, 2}},
         {{0, 3},
          {3, 1},
          {1, 0},
          {512, 513},
          {513, 514},
          {514, 512},
          {64512, 64513},
          {64513, 64514},
          {64514, 64512},
          {1, 2},
          {2, 0}}},
        {"that pair after a vertex's line to itself has moved up its lanes",
         {{0, 0, 7}, {0, 65535, 9}},
         {{0, 0}, {0, 7}, {0, 65535}, {65535, 9}, {9, 0}}},
        {"a fifth line from one vertex, met reversed",
         {{9, 10, 11}, {9, 12, 13}, {9, 14, 9}, {14, 9, 13}, {12, 9, 11}},
         {{9, 10},
          {10, 11},
          {11, 9},
          {9, 12},
          {12, 13},
          {13, 9},
          {9, 14},
          {9, 9},
          {13, 14},
          {11, 12}}},
    };
    for (const row& r : rows) {
        EXPECT_EQ(lines_of(r.input), r.expected) << r.what;
    }
}

TEST(LineList, MatchesLinearScanOnRandomMeshes) {
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    // Small vertex ranges make many shared and reversed sides; large ones make few.
    for (const std::uint32_t vertices : {1u, 2u, 5u, 40u, 300u, 65536u}) {
        std::uniform_int_distribution<std::uint32_t> vertex(0, vertices - 1);
        triangles input(2000);
        for (auto& t : input) {
            t = {vertex(random), vertex(random), vertex(random)};
        }
        const pairs expected = test::scanned_lines(input);
        EXPECT_EQ(lines_of(input), expected) << "seed " << seed << ", " << vertices << " vertices";
        // Keyed as a run keys its list, with a key that the printed seed reproduces: the
        // entries are the same whatever the key.
        auto lines = backed_line_list();
        seed_line_index(*lines, std::uint64_t{seed} * 0x9E3779B97F4A7C15u +
                                    static_cast<std::uint64_t>(vertices));
        for (const std::size_t run_length : {std::size_t{1}, std::size_t{7}, std::size_t{682}}) {
            clear_line_list(*lines);
            EXPECT_EQ(lines_of_runs(*lines, input, run_length), expected)
                << "seed " << seed << ", " << vertices << " vertices, runs of " << run_length;
        }
    }
}

TEST(LineList, FansAndStarsAreFoundWhereverTheirLinesWent) {
    // Around one vertex, most lines outgrow its lanes and go to the hash table; in both orders of
    // each side, and around the lowest and the highest vertex.
    for (const std::uint32_t hub : {0u, 7u, 65535u}) {
        triangles fan;
        for (std::uint32_t t = 0; t < 1500; ++t) {
            const std::uint32_t v = (hub + 1 + 2 * t) % 65536;
            fan.push_back({hub, v, v + 1 == hub ? v + 2 : v + 1});
            fan.push_back({v, hub, 40000});
        }
        EXPECT_EQ(lines_of(fan), test::scanned_lines(fan)) << "hub " << hub;
    }
}

// Lines from hub 0 once its lanes are full, picked under the fixed key of a zeroed list: `first`
// sets the lines to start with, then `filler` lines fill the table to its growth, then `last`.
triangles hub_lines(const std::vector<std::uint32_t>& first, std::uint32_t filler,
                    const std::vector<std::uint32_t>& last) {
    triangles out;
    test::fill_lanes(out, 0);
    for (const std::uint32_t x : first)
        out.push_back({0, x, x});
    for (std::uint32_t x = 60000; x < 60000 + filler; ++x)
        out.push_back({0, x, x});
    for (const std::uint32_t x : last)
        out.push_back({x, 0, 0});
    return out;
}

// The partners x of hub 0 whose line 0-x first looks, in a table of 2^bits slots under the fixed
// key, at the slot where the line 0-`partner` does (partner 0: the line 0-0).
std::vector<std::uint32_t> sharing_home(std::uint32_t partner, std::uint32_t bits,
                                        std::size_t wanted) {
    const std::uint32_t home = line_index_home_slot(0, partner, bits);
    std::vector<std::uint32_t> out;
    for (std::uint32_t x = 5; x < 60000 && out.size() < wanted; ++x) {
        if (x != partner && line_index_home_slot(0, x, bits) == home)
            out.push_back(x);
    }
    return out;
}

TEST(LineList, HashedLinesAreFoundPastOtherLinesAndAfterGrowth) {
    // The table's first size is 2^10 slots, and it grows to 2^13 at its 768th line.
    std::uint32_t last_slot = 5;
    while (line_index_home_slot(0, last_slot, 13) != 8191)
        ++last_slot;
    const std::vector<std::uint32_t> at_the_end = sharing_home(last_slot, 13, 1);
    struct row {
        const char* what;
        triangles input;
    };
    const row rows[] = {
        // 0-0, whose record is the zero word every unused entry holds, must still be added.
        {"the line 0-0 past another line", hub_lines(sharing_home(0, 10, 2), 0, {0})},
        // Two lines whose home is the growing table's last slot: the second is filed again at
        // its first slot, and the lines of the first entries are filed again too.
        {"a line filed again past the table's end",
         hub_lines({last_slot, at_the_end.at(0)}, 800, {last_slot, at_the_end.at(0)})},
    };
    for (const row& r : rows) {
        EXPECT_EQ(lines_of(r.input), test::scanned_lines(r.input)) << r.what;
    }

    // Past 65535 entries a slot stands for two: 0-0 looked up through the slot of entry 4, just
    // as many entries below the count, is not the zero record past the last line.
    auto lines = std::make_unique<line_list>();
    for (std::int32_t x = 1; x <= 4; ++x)
        add_line(*lines, 0, x);
    add_line(*lines, 0, static_cast<std::int32_t>(sharing_home(0, 10, 1).at(0)));
    for (std::int32_t i = 0; line_count(*lines) < 4 + 65535; ++i)
        add_line(*lines, 1 + i / 4, 40000 + i % 4);
    add_line(*lines, 0, 0);
    ASSERT_EQ(line_count(*lines), 4 + 65535 + 1);
    EXPECT_EQ(line_at(*lines, 4 + 65535).first, 0);
}

// A run keys its index from the system's random source: two keys drawn in a row differ (but for
// one chance in 2^64), where a fixed key would let a file be made in advance to collide.
TEST(LineList, EachRunDrawsAFreshKey) {
    EXPECT_NE(random_seed(), random_seed());
}

TEST(LineList, EmptiedListForgetsEveryMeshBefore) {
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    auto lines = std::make_unique<line_list>();
    for (int mesh = 0; mesh < 6; ++mesh) {
        const std::uint32_t vertices = mesh % 2 == 0 ? 30 : 65536;
        std::uniform_int_distribution<std::uint32_t> vertex(0, vertices - 1);
        triangles input(3000);
        for (auto& t : input) {
            t = {vertex(random), vertex(random), vertex(random)};
        }
        clear_line_list(*lines);
        EXPECT_EQ(lines_of_runs(*lines, input, 682), test::scanned_lines(input))
            << "seed " << seed << ", mesh " << mesh;
    }
    // The same fan twice, cut just past where its table grows the second time, a few entries
    // before the last word of bits the first list reached: a bit left set there would have the
    // growing table file an entry the second list has not written yet.
    triangles fan = test::fan();
    fan.resize(3100);
    for (int pass = 0; pass < 2; ++pass) {
        clear_line_list(*lines);
        EXPECT_EQ(lines_of_runs(*lines, fan, 682), test::scanned_lines(fan)) << "pass " << pass;
    }
}

TEST(LineList, HoldsTheLargestMeshAFileCanDescribe) {
    // 21845 triangles whose 65535 sides are all distinct.
    auto lines = std::make_unique<line_list>();
    const triangles largest = test::all_sides_distinct();
    ASSERT_EQ(lines_of_runs(*lines, largest, 682), test::distinct_side_lines(21845));
    EXPECT_EQ(lines_of_runs(*lines, {{21845, 0, 2 * 21845}}, 1).size(), 65535u);
}

TEST(LineList, HoldsItsWholeCapacity) {
    // Eight lines from each lower vertex: half of them go the hash table's way, which must find
    // them all, those past the 65535 entries a mesh data file can yield too. Then 25000 lines
    // from each of four vertices: nearly all hashed, more than a table for any mesh data file
    // holds.
    for (const std::int32_t lower_vertices : {12500, 4}) {
        auto lines = std::make_unique<line_list>();
        const auto pair = [lower_vertices](std::int32_t i) {
            return std::make_pair(i % lower_vertices, lower_vertices + i / lower_vertices);
        };
        for (std::int32_t i = 0; i < line_list_capacity; ++i) {
            add_line(*lines, pair(i).first, pair(i).second);
        }
        for (std::int32_t i = 0; i < line_list_capacity; ++i) {
            add_line(*lines, pair(i).second, pair(i).first);
        }
        ASSERT_EQ(line_count(*lines), line_list_capacity) << lower_vertices;
        for (std::int32_t i = 0; i < line_list_capacity; ++i) {
            ASSERT_EQ(line_at(*lines, i).first, pair(i).first) << lower_vertices;
            ASSERT_EQ(line_at(*lines, i).second, pair(i).second) << lower_vertices;
        }
    }
}

TEST(LineList, ClearedListStartsAfresh) {
    auto lines = std::make_unique<line_list>();
    lines_of_runs(*lines, {{0, 1, 2}}, 1);
    clear_line_list(*lines);
    EXPECT_EQ(line_count(*lines), 0);
    EXPECT_EQ(lines_of_runs(*lines, {{2, 1, 0}}, 1), (pairs{{2, 1}, {1, 0}, {0, 2}}));
    // In one chunk, a side in another block of lanes first, then the same lines again: every
    // block a side moves into is made fresh, the first one included.
    clear_line_list(*lines);
    const std::uint16_t chunk[] = {600, 601, 602, 2, 1, 0};
    add_triangles(*lines, chunk, 2);
    EXPECT_EQ(entries_of(*lines),
              (pairs{{600, 601}, {601, 602}, {602, 600}, {2, 1}, {1, 0}, {0, 2}}));
}

}  // namespace
}  // namespace gantrel
