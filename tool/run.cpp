#include "tool/run.h"

#include <string_view>

#include "files/files.h"
#include "tool/convert.h"
#include "tool/platform.h"

namespace gantrel {

namespace {

void say(std::FILE* out, std::string_view text) {
    write_message(out, text, nullptr, "");
}

void say(std::FILE* out, std::string_view prefix, const argument& subject) {
    write_message(out, prefix, &subject, "");
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
    static converter space;
    const conversion converted = convert(space, file, name, random_seed());
    // Closed before the wire file is created, so input and output may be the same path.
    std::fclose(file);
    if (converted.status == conversion_status::header_cut_short) {
        say(out, "Could not read file ", input);
        return 0;
    }
    say(out, "total number of triangles in mesh = " +
                 std::to_string(converted.header.reported_index_count / 3));
    if (converted.status == conversion_status::triangles_cut_short) {
        say(out, "Could not read file ", input);
        return 0;
    }
    const std::string count = std::to_string(converted.line_count);
    say(out, "total number of lines in mesh = " + count);
    if (converted.status == conversion_status::too_many_lines) {
        write_message(out, "Could not write file ", &output,
                      ": " + count + " lines exceed the 32767 a quorvwire header can count");
        return 0;
    }
    const byte_span parts[] = {
        {converted.wire_header, sizeof converted.wire_header},
        {converted.records, converted.records_size},
    };
    switch (replace_file(output.path, parts, 2)) {
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
