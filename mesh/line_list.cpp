#include "mesh/line_list.h"

#include <cassert>
#include <cstring>

namespace gantrel {

namespace {

// The unordered pair as one 32-bit word: the complement of the smaller index in the upper half,
// the larger index in the lower half. Encoding 0 would need a smaller index of 65535 and a larger
// one of 0, which cannot happen, so 0 is free to mark an empty slot and zeroed storage is empty.
std::uint32_t line_key(std::uint32_t a, std::uint32_t b) {
    const std::uint32_t low = a < b ? a : b;
    const std::uint32_t high = a < b ? b : a;
    return (low ^ 0xFFFFu) << 16 | high;
}

// Fibonacci hashing: the multiply spreads both halves of the key into the top bits.
std::uint32_t home_slot(std::uint32_t key, std::uint32_t bits) {
    return (key * 0x9E3779B1u) >> (32 - bits);
}

// The slot holding `key`, or the empty slot where it belongs.
std::uint32_t find_slot(const line_list& lines, std::uint32_t key) {
    const std::uint32_t mask = (std::uint32_t{1} << lines.index_bits) - 1;
    std::uint32_t slot = home_slot(key, lines.index_bits);
    while (lines.index[slot] != 0 && lines.index[slot] != key) {
        slot = (slot + 1) & mask;
    }
    return slot;
}

void clear_index(line_list& lines) {
    if (lines.index_bits != 0) {
        std::memset(lines.index, 0, sizeof lines.index[0] << lines.index_bits);
    }
}

// Doubles the index (or sets up the first one) and files every entry again. Clearing the whole
// new index, fresh pages included, writes each page before any probe reads it: a page first read
// while untouched would fault twice, once to map the shared zero page and again on the write.
void grow_index(line_list& lines) {
    lines.index_bits = lines.index_bits == 0 ? line_index_min_bits : lines.index_bits + 1;
    assert(lines.index_bits <= line_index_max_bits);
    clear_index(lines);
    for (std::int32_t i = 0; i < lines.count; ++i) {
        const line entry = line_at(lines, i);
        const std::uint32_t key = line_key(static_cast<std::uint32_t>(entry.first),
                                           static_cast<std::uint32_t>(entry.second));
        lines.index[find_slot(lines, key)] = key;
    }
}

}  // namespace

void clear_line_list(line_list& lines) {
    clear_index(lines);
    lines.index_bits = 0;
    lines.count = 0;
}

void reserve_lines(line_list& lines, std::int32_t expected_lines) {
    std::uint32_t bits = line_index_min_bits;
    while (bits < line_index_max_bits &&
           static_cast<std::uint32_t>(expected_lines) * 2 >= (std::uint32_t{1} << bits)) {
        ++bits;
    }
    if (bits > lines.index_bits) {
        lines.index_bits = bits - 1;
        grow_index(lines);
    }
}

void add_line(line_list& lines, std::int32_t a, std::int32_t b) {
    assert(a >= 0 && a <= 0xFFFF && b >= 0 && b <= 0xFFFF);
    if (lines.index_bits == 0) {
        grow_index(lines);
    }
    const auto first = static_cast<std::uint32_t>(a);
    const auto second = static_cast<std::uint32_t>(b);
    const std::uint32_t key = line_key(first, second);
    const std::uint32_t slot = find_slot(lines, key);
    if (lines.index[slot] == key) {
        return;
    }
    assert(lines.count < line_list_capacity);
    lines.index[slot] = key;
    unsigned char* record = lines.records[lines.count];
    record[0] = static_cast<unsigned char>(first & 0xFF);
    record[1] = static_cast<unsigned char>(first >> 8);
    record[2] = static_cast<unsigned char>(second & 0xFF);
    record[3] = static_cast<unsigned char>(second >> 8);
    ++lines.count;
    // Keep the index under half full, so probe sequences stay short.
    if (static_cast<std::uint32_t>(lines.count) * 2 >= (std::uint32_t{1} << lines.index_bits)) {
        grow_index(lines);
    }
}

void add_triangle(line_list& lines, std::int32_t a, std::int32_t b, std::int32_t c) {
    add_line(lines, a, b);
    add_line(lines, b, c);
    add_line(lines, c, a);
}

}  // namespace gantrel
