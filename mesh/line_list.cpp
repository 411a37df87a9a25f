#include "mesh/line_list.h"

#include <cassert>
#include <cstring>

namespace gantrel {

namespace {

// The unordered pair as one 32-bit word, the same for a-b and b-a, for hashing.
std::uint32_t line_key(std::uint32_t a, std::uint32_t b) {
    const std::uint32_t low = a < b ? a : b;
    const std::uint32_t high = a < b ? b : a;
    return low << 16 | high;
}

// Fibonacci hashing: the multiply spreads both halves of the key into the top bits.
std::uint32_t home_slot(std::uint32_t key, std::uint32_t bits) {
    return (key * 0x9E3779B1u) >> (32 - bits);
}

// A record as one word, first | second << 16, whatever the host's byte order.
std::uint32_t record_word(const unsigned char* record) {
    return static_cast<std::uint32_t>(record[0]) | static_cast<std::uint32_t>(record[1]) << 8 |
           static_cast<std::uint32_t>(record[2]) << 16 |
           static_cast<std::uint32_t>(record[3]) << 24;
}

// The slot numbering the line a-b, in either orientation, or the empty slot where it belongs.
std::uint32_t find_slot(const line_list& lines, std::uint32_t a, std::uint32_t b) {
    const std::uint32_t key = line_key(a, b);
    const std::uint32_t mask = (std::uint32_t{1} << lines.index_bits) - 1;
    std::uint32_t slot = home_slot(key, lines.index_bits);
    for (;;) {
        const std::uint32_t held = lines.index[slot];
        if (held == 0) {
            return slot;
        }
        // Compared as unordered pairs: which orientation matches is a coin toss, not worth a
        // mispredicted branch.
        const std::uint32_t word = record_word(lines.records[held - 1]);
        if (line_key(word & 0xFFFF, word >> 16) == key) {
            return slot;
        }
        slot = (slot + 1) & mask;
    }
}

// Whether an entry past the ones the index numbers is the line a-b in either orientation.
bool unindexed_entries_hold(const line_list& lines, std::uint32_t a, std::uint32_t b) {
    const std::uint32_t key = line_key(a, b);
    for (std::int32_t i = line_index_entries; i < lines.count; ++i) {
        const std::uint32_t word = record_word(lines.records[i]);
        if (line_key(word & 0xFFFF, word >> 16) == key) {
            return true;
        }
    }
    return false;
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
    const std::int32_t indexed =
        lines.count < line_index_entries ? lines.count : line_index_entries;
    for (std::int32_t i = 0; i < indexed; ++i) {
        const line entry = line_at(lines, i);
        const std::uint32_t slot = find_slot(lines, static_cast<std::uint32_t>(entry.first),
                                             static_cast<std::uint32_t>(entry.second));
        lines.index[slot] = static_cast<std::uint16_t>(i + 1);
    }
}

}  // namespace

void clear_line_list(line_list& lines) {
    clear_index(lines);
    lines.index_bits = 0;
    lines.count = 0;
}

void reserve_lines(line_list& lines, std::int32_t expected_lines) {
    if (expected_lines <= 0) {
        return;
    }
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
    const std::uint32_t slot = find_slot(lines, first, second);
    if (lines.index[slot] != 0 ||
        (lines.count > line_index_entries && unindexed_entries_hold(lines, first, second))) {
        return;
    }
    assert(lines.count < line_list_capacity);
    unsigned char* record = lines.records[lines.count];
    record[0] = static_cast<unsigned char>(first & 0xFF);
    record[1] = static_cast<unsigned char>(first >> 8);
    record[2] = static_cast<unsigned char>(second & 0xFF);
    record[3] = static_cast<unsigned char>(second >> 8);
    if (lines.count < line_index_entries) {
        lines.index[slot] = static_cast<std::uint16_t>(lines.count + 1);
    }
    ++lines.count;
    // Keep the index under half full, so probe sequences stay short.
    if (lines.count <= line_index_entries &&
        static_cast<std::uint32_t>(lines.count) * 2 >= (std::uint32_t{1} << lines.index_bits)) {
        grow_index(lines);
    }
}

void add_triangle(line_list& lines, std::int32_t a, std::int32_t b, std::int32_t c) {
    add_line(lines, a, b);
    add_line(lines, b, c);
    add_line(lines, c, a);
}

}  // namespace gantrel
