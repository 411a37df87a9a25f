#pragma once

// A conversion in memory, as a run makes it, of a mesh data file given as bytes.

#include <cstdint>
#include <cstdio>
#include <string_view>

#include "support/bytes.h"
#include "tool/convert.h"

namespace gantrel::test {

// A stream reading `file` from memory, which must outlive it.
inline std::FILE* open_bytes(const unsigned char* file, std::size_t size) {
    if (size == 0)
        return std::tmpfile();  // fmemopen refuses an empty buffer
    return fmemopen(const_cast<unsigned char*>(file), size, "rb");
}

struct converted {
    conversion result;
    bytes wire;  // the wire file, where converted
};

// Converts `file` with `mesh_name` as a run does, keyed with `seed`.
inline converted convert_bytes(const unsigned char* file, std::size_t size,
                               std::string_view mesh_name, std::uint64_t seed = 0) {
    static converter space;
    std::FILE* stream = open_bytes(file, size);
    converted out{convert(space, stream, mesh_name, seed), {}};
    std::fclose(stream);
    if (out.result.status == conversion_status::converted) {
        out.wire.assign(out.result.wire_header, out.result.wire_header + wire_header_size);
        out.wire.insert(out.wire.end(), out.result.records,
                        out.result.records + out.result.records_size);
    }
    return out;
}

inline converted convert_bytes(const bytes& file, std::string_view mesh_name,
                               std::uint64_t seed = 0) {
    return convert_bytes(file.data(), file.size(), mesh_name, seed);
}

}  // namespace gantrel::test
