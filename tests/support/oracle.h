#pragma once

// What a conversion must give, worked out the plain way and apart from the tool's own code: the
// mesh data file decoded from a whole buffer, the lines found by scanning every line kept so far
// for either orientation, and the wire file built field by field.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "support/bytes.h"

namespace gantrel::test {

using wire_lines = std::vector<std::array<std::uint32_t, 2>>;

struct decoded_mesh {
    bool header_whole;  // the file holds the 28 header bytes
    bool whole;         // ... and every triangle the header announces
    std::uint32_t reported_index_count;
    std::uint32_t carried_word;
    std::uint32_t walked_index_count;
    std::vector<tri> triangles;  // walked_index_count / 3, where whole
};

inline std::uint32_t u16_at(const unsigned char* file, std::size_t offset) {
    return static_cast<std::uint32_t>(file[offset] | file[offset + 1] << 8);
}

inline decoded_mesh decode_mesh(const unsigned char* file, std::size_t size) {
    decoded_mesh out{};
    if (size < 28)
        return out;
    out.header_whole = true;
    out.reported_index_count = u16_at(file, 10);
    out.carried_word = u16_at(file, 14);
    out.walked_index_count = u16_at(file, 24);
    const std::size_t count = out.walked_index_count / 3;
    if (size - 28 < 6 * count)
        return out;
    out.whole = true;
    for (std::size_t t = 0; t < count; ++t) {
        const std::size_t at = 28 + 6 * t;
        out.triangles.push_back({u16_at(file, at), u16_at(file, at + 2), u16_at(file, at + 4)});
    }
    return out;
}

inline decoded_mesh decode_mesh(const bytes& file) {
    return decode_mesh(file.data(), file.size());
}

// Each side a-b, b-c, c-a in turn, kept unless a-b or b-a is already kept.
inline wire_lines scanned_lines(const std::vector<tri>& triangles) {
    wire_lines out;
    const auto add = [&out](std::uint32_t a, std::uint32_t b) {
        for (const auto& kept : out) {
            if ((kept[0] == a && kept[1] == b) || (kept[0] == b && kept[1] == a))
                return;
        }
        out.push_back({a, b});
    };
    for (const tri& t : triangles) {
        add(t[0], t[1]);
        add(t[1], t[2]);
        add(t[2], t[0]);
    }
    return out;
}

}  // namespace gantrel::test
