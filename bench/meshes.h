#pragma once

// The meshes the benchmarks run on, as triangles and as mesh data files.

#include <array>
#include <cstdint>
#include <random>
#include <vector>

namespace gantrel::bench {

using triangle_list = std::vector<std::array<std::int32_t, 3>>;

// (a) The largest input the format can describe: 21845 triangles, 65535 sides, all distinct.
inline triangle_list all_sides_distinct() {
    constexpr std::int32_t n = 21845;
    triangle_list out;
    for (std::int32_t t = 0; t < n; ++t)
        out.push_back({t, t + n, t + 2 * n});
    return out;
}

// (b) What real meshes look like: a closed 107 x 100 grid (a torus), two triangles a cell, every
// edge shared by two triangles: 21400 triangles, 32100 lines.
inline triangle_list closed_grid() {
    constexpr std::int32_t width = 107;
    constexpr std::int32_t height = 100;
    const auto vertex = [](std::int32_t x, std::int32_t y) {
        return (y % height) * width + (x % width);
    };
    triangle_list out;
    for (std::int32_t y = 0; y < height; ++y) {
        for (std::int32_t x = 0; x < width; ++x) {
            out.push_back({vertex(x, y), vertex(x + 1, y), vertex(x + 1, y + 1)});
            out.push_back({vertex(x, y), vertex(x + 1, y + 1), vertex(x, y + 1)});
        }
    }
    return out;
}

// (c) 21845 triangles over 40 vertices: almost every side is a repeat.
inline triangle_list few_vertices() {
    std::mt19937 random(40);
    std::uniform_int_distribution<std::int32_t> vertex(0, 39);
    triangle_list out(21845);
    for (auto& t : out)
        t = {vertex(random), vertex(random), vertex(random)};
    return out;
}

// (d) A fan: 21845 triangles around vertex 0, whose 65535 sides are all distinct and two thirds
// of them share the one vertex. The worst case for looking lines up by their lower vertex.
inline triangle_list fan() {
    constexpr std::int32_t n = 21845;
    triangle_list out;
    for (std::int32_t t = 0; t < n; ++t)
        out.push_back({0, 2 * t + 1, 2 * t + 2});
    return out;
}

// The mesh data file for `triangles`: both counts 3 x triangles, zeros elsewhere in the header.
inline std::vector<unsigned char> mesh_data_file(const triangle_list& triangles) {
    std::vector<unsigned char> out(28, 0);
    const auto put = [&out](std::size_t at, std::int32_t value) {
        out[at] = static_cast<unsigned char>(value & 0xFF);
        out[at + 1] = static_cast<unsigned char>((value >> 8) & 0xFF);
    };
    const auto indices = static_cast<std::int32_t>(3 * triangles.size());
    put(10, indices);
    put(24, indices);
    for (const auto& t : triangles) {
        for (const std::int32_t index : t) {
            out.push_back(0);
            out.push_back(0);
            put(out.size() - 2, index);
        }
    }
    return out;
}

}  // namespace gantrel::bench
