#include "tool/convert.h"

#include "mesh/name_hash.h"
#include "tool/platform.h"

namespace gantrel {

namespace {

// Reads every triangle the header announces into `lines`; false when the file ends before the
// last triangle does.
bool collect_lines(mesh_data_reader& reader, line_list& lines) {
    for (;;) {
        triangle_run next{};
        if (!read_triangles(reader, next)) {
            return false;
        }
        if (next.count == 0) {
            return true;
        }
        add_triangles(lines, next.indices, next.count);
    }
}

}  // namespace

conversion convert(converter& space, std::FILE* input, std::string_view mesh_name,
                   std::uint64_t seed) {
    conversion out{};
    start_reading(space.reader, input);
    if (!read_header(space.reader, out.header)) {
        out.status = conversion_status::header_cut_short;
        return out;
    }
    clear_line_list(space.lines);
    seed_line_index(space.lines, seed);
    prefault_line_index(space.lines, prefault);
    storage_span likely[2];
    likely_storage(space.lines, out.header.walked_index_count / 3, likely);
    for (const storage_span& span : likely) {
        prefault(span.start, span.size);
    }
    if (!collect_lines(space.reader, space.lines)) {
        out.status = conversion_status::triangles_cut_short;
        return out;
    }
    out.line_count = line_count(space.lines);
    if (out.line_count > max_wire_lines) {
        out.status = conversion_status::too_many_lines;
        return out;
    }
    encode_wire_header(name_hash(mesh_name), out.header.carried_word, out.line_count,
                       out.wire_header);
    out.records = line_records(space.lines);
    out.records_size = line_record_size * static_cast<std::size_t>(out.line_count);
    out.status = conversion_status::converted;
    return out;
}

}  // namespace gantrel
