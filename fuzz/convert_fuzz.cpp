// Fuzzes a whole conversion in memory, as a run makes it. The first byte gives the length of the
// mesh name, taken from the bytes after it; the rest is the mesh data file.
//
// Beyond not crashing, it checks the conversion against the plain model of the tests: a damaged
// file is refused as damaged, the line count is that of a linear scan, and the wire file is byte
// for byte the one built field by field from the scanned lines.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "mesh/name_hash.h"
#include "support/converted.h"
#include "support/oracle.h"

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "check failed: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::size_t name_size = std::min<std::size_t>(data[0], size - 1);
    const std::string_view name(reinterpret_cast<const char*>(data + 1), name_size);
    const std::uint8_t* file = data + 1 + name_size;
    const std::size_t file_size = size - 1 - name_size;

    // The key is fixed, so that every failure reproduces.
    const gantrel::test::converted got = gantrel::test::convert_bytes(file, file_size, name);
    const gantrel::test::decoded_mesh mesh = gantrel::test::decode_mesh(file, file_size);
    using gantrel::conversion_status;
    if (!mesh.header_whole) {
        check(got.result.status == conversion_status::header_cut_short, "a cut header");
        return 0;
    }
    check(got.result.header.reported_index_count ==
                  static_cast<std::int32_t>(mesh.reported_index_count) &&
              got.result.header.carried_word == static_cast<std::int32_t>(mesh.carried_word) &&
              got.result.header.walked_index_count ==
                  static_cast<std::int32_t>(mesh.walked_index_count),
          "header fields");
    if (!mesh.whole) {
        check(got.result.status == conversion_status::triangles_cut_short, "a cut triangle");
        return 0;
    }
    const gantrel::test::wire_lines lines = gantrel::test::scanned_lines(mesh.triangles);
    check(got.result.line_count == static_cast<std::int32_t>(lines.size()), "line count");
    if (lines.size() > 32767) {
        check(got.result.status == conversion_status::too_many_lines, "too many lines");
        return 0;
    }
    check(got.result.status == conversion_status::converted, "converted");
    check(got.wire == gantrel::test::wire_file(gantrel::name_hash(name), mesh.carried_word, lines),
          "wire file bytes");
    return 0;
}
