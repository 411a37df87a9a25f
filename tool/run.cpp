#include "tool/run.h"

#include <string_view>

#include "files/files.h"
#include "formats/mesh_data.h"
#include "formats/wire_file.h"
#include "mesh/line_list.h"
#include "mesh/name_hash.h"
#include "tool/platform.h"

namespace gantrel {

namespace {

void say(std::FILE* out, std::string_view text) {
    write_message(out, text, nullptr, "");
}

void say(std::FILE* out, std::string_view prefix, const argument& subject) {
    write_message(out, prefix, &subject, "");
}

// Reads every triangle the header announces into `lines`, emptied first; false when the file
// ends before the last triangle does.
bool collect_lines(mesh_data_reader& reader, line_list& lines) {
    clear_line_list(lines);
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

// The wire stage: hashes the mesh name and puts the wire file for `lines` at the output path.
replace_status write_wire_file(const native_path& output_quorvwire_file,
                               std::string_view input_quorvdata_name, std::int32_t carried_word,
                               const line_list& lines) {
    unsigned char header[wire_header_size];
    encode_wire_header(name_hash(input_quorvdata_name), carried_word, line_count(lines), header);
    const byte_span parts[] = {
        {header, sizeof header},
        {line_records(lines), line_record_size * static_cast<std::size_t>(line_count(lines))},
    };
    return replace_file(output_quorvwire_file, parts, 2);
}

}  // namespace

int run(const std::vector<argument>& arguments, std::FILE* out) {
    if (arguments.size() != 3) {
        say(out, "gantrel input_quorvdata_file input_quorvdata_name output_quorvwire_file");
        return 0;
    }
    const argument& input = arguments[0];
    const std::string& name = arguments[1].text;
    const argument& output = arguments[2];

    std::FILE* file = open_for_reading(input.path);
    if (file == nullptr) {
        say(out, "Could not open file ", input);
        return 0;
    }
    // Static storage, like the line list: a run's large buffers stay off the stack, which may be
    // small.
    static mesh_data_reader reader;
    start_reading(reader, file);
    mesh_data_header header{};
    if (!read_header(reader, header)) {
        std::fclose(file);
        say(out, "Could not read file ", input);
        return 0;
    }
    say(out,
        "total number of triangles in mesh = " + std::to_string(header.reported_index_count / 3));

    // Static storage: its zero pages cost nothing until lines reach them, and it cannot fail to
    // be allocated.
    static line_list lines;
    seed_line_index(lines, random_seed());
    storage_span likely[2];
    likely_storage(lines, header.walked_index_count / 3, likely);
    for (const storage_span& span : likely) {
        prefault(span.start, span.size);
    }
    const bool whole = collect_lines(reader, lines);
    // Closed before the wire file is created, so input and output may be the same path.
    std::fclose(file);
    if (!whole) {
        say(out, "Could not read file ", input);
        return 0;
    }
    const std::string count = std::to_string(line_count(lines));
    say(out, "total number of lines in mesh = " + count);

    if (line_count(lines) > max_wire_lines) {
        write_message(out, "Could not write file ", &output,
                      ": " + count + " lines exceed the 32767 a quorvwire header can count");
        return 0;
    }
    switch (write_wire_file(output.path, name, header.carried_word, lines)) {
        case replace_status::replaced:
            say(out, "Successfully wrote quorvwire");
            break;
        case replace_status::cannot_open:
            say(out, "Could not open file ", output);
            break;
        case replace_status::cannot_write:
            say(out, "Could not write file ", output);
            break;
    }
    return 0;
}

std::string printable(std::string_view path) {
    std::string text(path);
    for (char& ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte < 0x20 || byte == 0x7F) {
            ch = '?';
        }
    }
    return text;
}

}  // namespace gantrel
