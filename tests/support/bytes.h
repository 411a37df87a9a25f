#pragma once

// Byte helpers shared by the tests: hex golden bytes, mesh data and wire files built from
// fields, and whole files read and written.

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace gantrel::test {

using bytes = std::vector<unsigned char>;

// "10 00 0a" -> {0x10, 0x00, 0x0a}; whitespace is ignored.
inline bytes hex(const std::string& text) {
    bytes out;
    int high = -1;
    for (const char ch : text) {
        int digit = -1;
        if (ch >= '0' && ch <= '9')
            digit = ch - '0';
        if (ch >= 'a' && ch <= 'f')
            digit = ch - 'a' + 10;
        if (ch >= 'A' && ch <= 'F')
            digit = ch - 'A' + 10;
        if (digit < 0)
            continue;
        if (high < 0) {
            high = digit;
        } else {
            out.push_back(static_cast<unsigned char>(high * 16 + digit));
            high = -1;
        }
    }
    return out;
}

inline void put_u16(bytes& out, std::uint32_t value) {
    out.push_back(static_cast<unsigned char>(value & 0xFF));
    out.push_back(static_cast<unsigned char>((value >> 8) & 0xFF));
}

using tri = std::array<std::uint32_t, 3>;

// A mesh data file with the three fields the tool reads, zeros elsewhere, then the triangles.
inline bytes mesh_file(std::uint32_t reported, std::uint32_t carried, std::uint32_t walked,
                       const std::vector<tri>& triangles) {
    bytes out(8, 0);
    for (const std::uint32_t field : {0u, reported, 0u, carried, 0u, 0u, 0u, 0u, walked, 0u}) {
        put_u16(out, field);
    }
    for (const tri& t : triangles) {
        for (const std::uint32_t index : t)
            put_u16(out, index);
    }
    return out;
}

// The wire file the tool should write.
inline bytes wire_file(std::uint32_t hash, std::uint32_t carried,
                       const std::vector<std::array<std::uint32_t, 2>>& lines) {
    bytes out;
    put_u16(out, 16);
    put_u16(out, 0);
    put_u16(out, hash & 0xFFFF);
    put_u16(out, hash >> 16);
    put_u16(out, 0);
    put_u16(out, carried);
    put_u16(out, static_cast<std::uint32_t>(2 * lines.size()));
    put_u16(out, carried);
    for (const auto& l : lines) {
        put_u16(out, l[0]);
        put_u16(out, l[1]);
    }
    return out;
}

inline bytes read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::filesystem::path& path, const bytes& content) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(content.data()),
              static_cast<std::streamsize>(content.size()));
}

}  // namespace gantrel::test
