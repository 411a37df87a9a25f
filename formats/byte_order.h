#pragma once

// Little-endian loads and stores by shifting bytes, so both file formats come out the same on any
// host byte order and at any alignment.

#include <cstdint>

namespace gantrel {

inline std::uint32_t load_u16_le(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8;
}

// Stores the low 16 bits of `value`.
inline void store_u16_le(unsigned char* bytes, std::uint32_t value) {
    bytes[0] = static_cast<unsigned char>(value & 0xFF);
    bytes[1] = static_cast<unsigned char>((value >> 8) & 0xFF);
}

inline void store_u32_le(unsigned char* bytes, std::uint32_t value) {
    store_u16_le(bytes, value & 0xFFFF);
    store_u16_le(bytes + 2, value >> 16);
}

}  // namespace gantrel
