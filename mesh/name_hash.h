#pragma once

// The mesh name as the wire file carries it: a 32-bit hash shaped like the reflected CRC-32 over
// the name with ASCII letters folded to lower case, but driven by its own table. The table is
// built with an arithmetic right shift, so 254 of its 256 entries differ from the CRC-32 table
// and a CRC-32 routine cannot stand in for it. Stored files depend on every bit of this.

#include <array>
#include <cstdint>
#include <string_view>

namespace gantrel {

constexpr std::array<std::uint32_t, 256> make_name_hash_table() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit) {
            // Shift right copying the top bit down, as a signed 32-bit shift would.
            const std::uint32_t shifted = (c >> 1) | (c & 0x80000000u);
            c = (c & 1u) != 0 ? shifted ^ 0xEDB88320u : shifted;
        }
        table[i] = c;
    }
    return table;
}

inline constexpr std::array<std::uint32_t, 256> name_hash_table = make_name_hash_table();

static_assert(name_hash_table[1] == 0x09073096u, "table rule must shift arithmetically");
static_assert(name_hash_table[128] == 0xEDB88320u, "entry 128 equals the CRC-32 polynomial");
static_assert(name_hash_table[255] == 0x0702EF8Du, "table rule must shift arithmetically");

// Hashes every byte of `name` as given: nothing is trimmed and only 'A' to 'Z' are folded.
std::uint32_t name_hash(std::string_view name);

}  // namespace gantrel
