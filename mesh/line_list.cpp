#include "mesh/line_list.h"

#include <cassert>
#include <cstring>

namespace gantrel {

namespace {

// The unordered pair as one 32-bit word: the complement of the smaller index in the upper half,
// the larger index in the lower half. Encoding 0 would need a smaller index of 65535 and a larger
// one of 0, which cannot happen, so 0 is free to mark an empty slot and zeroed storage is empty.
std::uint32_t line_key(std::int32_t a, std::int32_t b) {
    const std::uint32_t low = static_cast<std::uint32_t>(a < b ? a : b);
    const std::uint32_t high = static_cast<std::uint32_t>(a < b ? b : a);
    return (low ^ 0xFFFFu) << 16 | high;
}

// Fibonacci hashing: the multiply spreads both halves of the key into the top bits.
std::uint32_t home_slot(std::uint32_t key) {
    return (key * 0x9E3779B1u) >> (32 - line_index_bits);
}

}  // namespace

void clear_line_list(line_list& lines) {
    if (lines.count != 0) {
        std::memset(lines.index, 0, sizeof lines.index);
        lines.count = 0;
    }
}

void add_line(line_list& lines, std::int32_t a, std::int32_t b) {
    assert(a >= 0 && a <= 0xFFFF && b >= 0 && b <= 0xFFFF);
    const std::uint32_t key = line_key(a, b);
    std::uint32_t slot = home_slot(key);
    while (lines.index[slot] != 0) {
        if (lines.index[slot] == key) {
            return;
        }
        slot = (slot + 1) & (line_index_size - 1);
    }
    assert(lines.count < line_list_capacity);
    lines.index[slot] = key;
    lines.entries[lines.count] = line{a, b};
    ++lines.count;
}

void add_triangle(line_list& lines, std::int32_t a, std::int32_t b, std::int32_t c) {
    add_line(lines, a, b);
    add_line(lines, b, c);
    add_line(lines, c, a);
}

}  // namespace gantrel
