#pragma once

// The meshes the tests and the benchmarks run on, as triangles and as mesh data files.

#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "mesh/line_index.h"
#include "support/bytes.h"

namespace gantrel::test {

using triangle_list = std::vector<tri>;

// Triangles (t, t + n, t + 2n) for t below n: 3n sides, all distinct.
inline triangle_list distinct_sides(std::uint32_t n) {
    triangle_list out;
    for (std::uint32_t t = 0; t < n; ++t)
        out.push_back({t, t + n, t + 2 * n});
    return out;
}

// The lines a run keeps of distinct_sides(n), in order.
inline std::vector<std::array<std::uint32_t, 2>> distinct_side_lines(std::uint32_t n) {
    std::vector<std::array<std::uint32_t, 2>> out;
    for (const tri& t : distinct_sides(n)) {
        out.push_back({t[0], t[1]});
        out.push_back({t[1], t[2]});
        out.push_back({t[2], t[0]});
    }
    return out;
}

// The mesh data file of distinct_sides(n), its reported count 0 and carried word 0, and the wire
// file a run writes for it under a name whose hash is `hash`.
inline bytes distinct_mesh(std::uint32_t n) {
    return mesh_file(0, 0, 3 * n, distinct_sides(n));
}

inline bytes distinct_wire(std::uint32_t n, std::uint32_t hash) {
    return wire_file(hash, 0, distinct_side_lines(n));
}

// The example most cases convert: two triangles sharing a side, five lines, carried word 4,
// converted under the name "abc".
inline constexpr std::uint32_t abc_hash = 0xEBB055C2u;
inline const std::vector<std::array<std::uint32_t, 2>> abc_lines = {
    {0, 1}, {1, 2}, {2, 0}, {2, 3}, {3, 0}};
inline const bytes abc_mesh = mesh_file(6, 4, 6, {{0, 1, 2}, {0, 2, 3}});
inline const bytes abc_wire = wire_file(abc_hash, 4, abc_lines);

// The largest mesh a wire file holds, 32767 lines (a wire file of 131084 bytes): 10922 triangles
// with all sides distinct and one more whose three corners are vertex 0. `wire` receives the
// lines the tool writes for it.
inline bytes largest_mesh(std::vector<std::array<std::uint32_t, 2>>& wire) {
    triangle_list triangles = distinct_sides(10922);
    wire = distinct_side_lines(10922);
    triangles.push_back({0, 0, 0});
    wire.push_back({0, 0});
    return mesh_file(0, 0, 3 * 10923, triangles);
}

// (a) The largest input the format can describe: 21845 triangles, 65535 sides, all distinct.
inline triangle_list all_sides_distinct() {
    return distinct_sides(21845);
}

// (b) What real meshes look like: a closed 107 x 100 grid (a torus), two triangles a cell, every
// edge shared by two triangles: 21400 triangles, 32100 lines.
inline triangle_list closed_grid() {
    constexpr std::uint32_t width = 107;
    constexpr std::uint32_t height = 100;
    const auto vertex = [](std::uint32_t x, std::uint32_t y) {
        return (y % height) * width + (x % width);
    };
    triangle_list out;
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            out.push_back({vertex(x, y), vertex(x + 1, y), vertex(x + 1, y + 1)});
            out.push_back({vertex(x, y), vertex(x + 1, y + 1), vertex(x, y + 1)});
        }
    }
    return out;
}

// (c) 21845 triangles over 40 vertices: almost every side is a repeat.
inline triangle_list few_vertices() {
    std::mt19937 random(40);
    std::uniform_int_distribution<std::uint32_t> vertex(0, 39);
    triangle_list out(21845);
    for (auto& t : out)
        t = {vertex(random), vertex(random), vertex(random)};
    return out;
}

// (d) A fan: 21845 triangles around vertex 0, whose 65535 sides are all distinct and two thirds
// of them share the one vertex. The worst case for looking lines up by their lower vertex.
inline triangle_list fan() {
    constexpr std::uint32_t n = 21845;
    triangle_list out;
    for (std::uint32_t t = 0; t < n; ++t)
        out.push_back({0, 2 * t + 1, 2 * t + 2});
    return out;
}

// Hostile meshes, made against the line index: each pushes as many sides as it can off the
// lanes into the hash table, or piles them onto few vertices.

// Fills the four lanes of hub `h` with h-(h+1) .. h-(h+4), so that its later lines are hashed.
inline void fill_lanes(triangle_list& out, std::uint32_t h) {
    out.push_back({h, h + 1, h + 2});
    out.push_back({h, h + 3, h + 4});
}

// (e) Lines made to collide under a known key (`seed`; 0 is the fixed key of a run whose random
// source failed): hubs with their lanes full, then lines h-x whose home slots, at the 2^17 slots
// the table ends at, all fall in one stretch of 64, so that linear probing walks one cluster that
// grows with every line. What a run's key being unknown buys is this mesh's cost with it.
inline triangle_list colliding_lines(std::uint64_t seed) {
    constexpr std::size_t total = 21845;
    constexpr std::uint32_t bits = 17;
    constexpr std::uint32_t stretch = 64;
    triangle_list setup;
    triangle_list attack;
    for (std::uint32_t hub = 0; setup.size() + attack.size() < total && hub < 0xFFF0; hub += 5) {
        std::vector<std::uint32_t> partners;
        for (std::uint32_t x = hub + 5; x <= 0xFFFF; ++x) {
            const std::uint32_t key = hub << 16 | x;
            if (gantrel::line_index_home_slot(seed, key, bits) < stretch)
                partners.push_back(x);
        }
        fill_lanes(setup, hub);
        for (const std::uint32_t x : partners) {
            if (setup.size() + attack.size() < total)
                attack.push_back({hub, x, x});  // the line hub-x, and x-x in x's lanes
        }
    }
    setup.insert(setup.end(), attack.begin(), attack.end());
    return setup;
}

// (f) A double star: every triangle 0, 1, x, so that both hubs have a line to every x.
inline triangle_list double_star() {
    triangle_list out;
    for (std::uint32_t x = 2; x < 2 + 21845; ++x)
        out.push_back({0, 1, x});
    return out;
}

// (g) Many hubs of six lines each, two of them past the lanes: 7281 hubs, 14562 hashed lines
// spread over the table.
inline triangle_list many_hubs() {
    triangle_list out;
    for (std::uint32_t h = 0; out.size() + 3 <= 21845; h += 7) {
        out.push_back({h, h + 1, h + 2});
        out.push_back({h, h + 3, h + 4});
        out.push_back({h, h + 5, h + 6});
    }
    return out;
}

// (h) The highest vertex numbers: random triangles over the top 300 vertices, and the one line,
// 0-65535, that no lane can hold.
inline triangle_list highest_vertices() {
    std::mt19937 random(65535);
    std::uniform_int_distribution<std::uint32_t> vertex(0xFFFF - 299, 0xFFFF);
    triangle_list out(21845);
    for (auto& t : out)
        t = {vertex(random), vertex(random), vertex(random)};
    out[0] = {0, 0xFFFF, 0xFFFE};
    return out;
}

// 1024 hubs `spacing` apart with their lanes full, then random triangles of three hubs, so that
// every side's lower vertex is a full hub and almost every side is a new line.
inline triangle_list hub_triangles(std::uint32_t spacing) {
    std::mt19937 random(1024);
    std::uniform_int_distribution<std::uint32_t> hub(0, 1023);
    triangle_list out;
    for (std::uint32_t h = 0; h < 1024; ++h)
        fill_lanes(out, spacing * h);
    while (out.size() < 21845) {
        const std::uint32_t a = hub(random), b = hub(random), c = hub(random);
        if (a != b && b != c && c != a)
            out.push_back({spacing * a, spacing * b, spacing * c});
    }
    return out;
}

// (i) Every side hashed, its hubs close together.
inline triangle_list every_side_hashed() {
    return hub_triangles(5);
}

// (j) Every side hashed, its hubs 64 vertices apart, so that they reach every page of lanes too.
inline triangle_list hubs_everywhere() {
    return hub_triangles(64);
}

// The mesh data file for `triangles`: both counts 3 x triangles, zeros elsewhere in the header.
inline bytes mesh_data_file(const triangle_list& triangles) {
    const auto indices = static_cast<std::uint32_t>(3 * triangles.size());
    return mesh_file(indices, 0, indices, triangles);
}

}  // namespace gantrel::test
