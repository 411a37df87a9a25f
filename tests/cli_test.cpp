// End-to-end cases: each runs the built gantrel in a fresh folder and compares its standard
// output, its exit status and every file in the folder afterwards, byte for byte.
//
// GANTREL_COMMAND names the command to run (for example "wine gantrel.exe"); GANTREL_NEWLINE set
// to "crlf" expects Windows line ends.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "support/bytes.h"
#include "support/meshes.h"

namespace gantrel {
namespace {

namespace fs = std::filesystem;
using test::bytes;
using test::distinct_side_lines;
using test::distinct_sides;
using test::mesh_file;
using test::read_file;
using test::tri;
using test::wire_file;
using test::write_file;

constexpr std::uint32_t hash_mesh = 0xFD1B664Au;  // the name "mesh"
const std::string usage = "gantrel input_quorvdata_file input_quorvdata_name output_quorvwire_file";
const std::string triangles_is = "total number of triangles in mesh = ";
const std::string lines_is = "total number of lines in mesh = ";
const std::string success = "Successfully wrote quorvwire";

struct cli_case {
    std::string name;
    std::map<std::string, bytes> files_before;
    std::vector<std::string> folders_before;
    std::vector<std::string> arguments;
    std::vector<std::string> expected_output;
    // Every file in the folder afterwards, and nothing else: no temporary may be left behind.
    std::map<std::string, bytes> files_after;
};

bytes take(const bytes& b, std::size_t n) {
    return bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n));
}

std::vector<cli_case> cases() {
    const bytes& abc_mesh = test::abc_mesh;
    const bytes& abc_wire = test::abc_wire;
    const bytes old_wire = bytes(100, 0x5A);
    const bytes many_lines_mesh = mesh_file(32769, 0, 32769, distinct_sides(10923));
    std::vector<tri> most_triangles = distinct_sides(10922);
    most_triangles.push_back({0, 0, 0});
    auto most_lines = distinct_side_lines(10922);
    most_lines.push_back({0, 0});
    bytes noisy_header = abc_mesh;
    for (const int at : {0, 5, 8, 9, 12, 13, 16, 19, 20, 21, 22, 23, 26, 27}) {
        noisy_header[static_cast<std::size_t>(at)] = 0xC3;
    }
    bytes longer_mesh = abc_mesh;
    longer_mesh.insert(longer_mesh.end(), {9, 0, 9, 0, 9, 0});
    const fs::path examples = GANTREL_EXAMPLES_DIR;
    const bytes icosahedron = read_file(examples / "icosahedron.quorvdata");

    std::vector<cli_case> c = {
        {"whole conversion",
         {{"m.quorvdata", abc_mesh}},
         {},
         {"m.quorvdata", "abc", "m.quorvwire"},
         {triangles_is + "2", lines_is + "5", success},
         {{"m.quorvdata", abc_mesh}, {"m.quorvwire", abc_wire}}},
        {"the shipped example",
         {{"i.quorvdata", icosahedron}},
         {},
         {"i.quorvdata", "icosahedron", "i.quorvwire"},
         {triangles_is + "20", lines_is + "30", success},
         {{"i.quorvdata", icosahedron},
          {"i.quorvwire", read_file(examples / "icosahedron.quorvwire")}}},
        // Outside every ANSI code page, so on Windows only the UTF-16 command line opens it.
        {"paths outside the ANSI code page",
         {{"\u0416 \u4E2D.quorvdata", abc_mesh}},
         {},
         {"\u0416 \u4E2D.quorvdata", "abc", "\u0416 \u4E2D.quorvwire"},
         {triangles_is + "2", lines_is + "5", success},
         {{"\u0416 \u4E2D.quorvdata", abc_mesh}, {"\u0416 \u4E2D.quorvwire", abc_wire}}},
        {"mesh name folds case",
         {{"m", abc_mesh}},
         {},
         {"m", "ABC", "w"},
         {triangles_is + "2", lines_is + "5", success},
         {{"m", abc_mesh}, {"w", abc_wire}}},
        {"no arguments", {{"m", abc_mesh}}, {}, {}, {usage}, {{"m", abc_mesh}}},
        {"two arguments", {{"m", abc_mesh}}, {}, {"m", "abc"}, {usage}, {{"m", abc_mesh}}},
        {"four arguments",
         {{"m", abc_mesh}},
         {},
         {"m", "abc", "w", "x"},
         {usage},
         {{"m", abc_mesh}}},
        {"missing input",
         {},
         {},
         {"missing.quorvdata", "abc", "w"},
         {"Could not open file missing.quorvdata"},
         {}},
        // Control characters in a printed path become '?', so no file name adds a line.
        {"a path cannot forge the success line",
         {},
         {},
         {"missing\nSuccessfully wrote quorvwire", "abc", "w"},
         {"Could not open file missing?Successfully wrote quorvwire"},
         {}},
        {"control characters in a printed path",
         {{"m", abc_mesh}},
         {},
         {"m", "abc", "no\r\t\x1b\x7f\x01\x1f /w"},
         {triangles_is + "2", lines_is + "5",
          "Could not open file no?????? "
          "/w"},
         {{"m", abc_mesh}}},
        {"input is a folder", {}, {"d"}, {"d", "abc", "w"}, {"Could not open file d"}, {}},
        {"path printed as passed",
         {},
         {"d"},
         {"./d/../nothing here", "abc", "w"},
         {"Could not open file ./d/../nothing here"},
         {}},
        {"reported count 0",
         {{"m", mesh_file(0, 0, 3, {{0, 1, 2}})}},
         {},
         {"m", "", "w"},
         {triangles_is + "0", lines_is + "3", success},
         {{"m", mesh_file(0, 0, 3, {{0, 1, 2}})},
          {"w", wire_file(0, 0, {{0, 1}, {1, 2}, {2, 0}})}}},
        {"reported count 7 reports 2",
         {{"m", mesh_file(7, 0, 0, {})}},
         {},
         {"m", "", "w"},
         {triangles_is + "2", lines_is + "0", success},
         {{"m", mesh_file(7, 0, 0, {})}, {"w", wire_file(0, 0, {})}}},
        {"walked count 8 reads two triangles",
         {{"m", mesh_file(8, 0, 8, {{0, 1, 2}, {3, 4, 5}, {6, 7, 8}})}},
         {},
         {"m", "", "w"},
         {triangles_is + "2", lines_is + "6", success},
         {{"m", mesh_file(8, 0, 8, {{0, 1, 2}, {3, 4, 5}, {6, 7, 8}})},
          {"w", wire_file(0, 0, {{0, 1}, {1, 2}, {2, 0}, {3, 4}, {4, 5}, {5, 3}})}}},
        {"reported 9 walked 3",
         {{"m", mesh_file(9, 0, 3, {{5, 6, 7}, {8, 9, 10}})}},
         {},
         {"m", "", "w"},
         {triangles_is + "3", lines_is + "3", success},
         {{"m", mesh_file(9, 0, 3, {{5, 6, 7}, {8, 9, 10}})},
          {"w", wire_file(0, 0, {{5, 6}, {6, 7}, {7, 5}})}}},
        {"header fields outside the three are ignored",
         {{"m", noisy_header}},
         {},
         {"m", "abc", "w"},
         {triangles_is + "2", lines_is + "5", success},
         {{"m", noisy_header}, {"w", abc_wire}}},
        {"bytes after the last triangle are ignored",
         {{"m", longer_mesh}},
         {},
         {"m", "abc", "w"},
         {triangles_is + "2", lines_is + "5", success},
         {{"m", longer_mesh}, {"w", abc_wire}}},
        {"carried word 258",
         {{"m", mesh_file(0, 258, 0, {})}},
         {},
         {"m", "", "w"},
         {triangles_is + "0", lines_is + "0", success},
         {{"m", mesh_file(0, 258, 0, {})},
          {"w", test::hex("10000000 00000000 0000 0201 0000 0201")}}},
        {"same path in and out",
         {{"m", abc_mesh}},
         {},
         {"m", "abc", "m"},
         {triangles_is + "2", lines_is + "5", success},
         {{"m", abc_wire}}},
        {"longer old output is replaced",
         {{"m", abc_mesh}, {"w", old_wire}},
         {},
         {"m", "abc", "w"},
         {triangles_is + "2", lines_is + "5", success},
         {{"m", abc_mesh}, {"w", abc_wire}}},
        {"output folder missing",
         {{"m", abc_mesh}},
         {},
         {"m", "abc", "no/w"},
         {triangles_is + "2", lines_is + "5", "Could not open file no/w"},
         {{"m", abc_mesh}}},
        {"empty paths",
         {{"m", abc_mesh}},
         {},
         {"", "abc", "w"},
         {"Could not open file "},
         {{"m", abc_mesh}}},
        {"empty output path",
         {{"m", abc_mesh}},
         {},
         {"m", "abc", ""},
         {triangles_is + "2", lines_is + "5", "Could not open file "},
         {{"m", abc_mesh}}},
        {"output path ending in a separator",
         {{"m", abc_mesh}},
         {},
         {"m", "abc", "w/"},
         {triangles_is + "2", lines_is + "5", "Could not open file w/"},
         {{"m", abc_mesh}}},
        {"output is the root folder",
         {{"m", abc_mesh}},
         {},
         {"m", "abc", "/"},
         {triangles_is + "2", lines_is + "5", "Could not open file /"},
         {{"m", abc_mesh}}},
        {"output is a folder",
         {{"m", abc_mesh}},
         {"d"},
         {"m", "abc", "d"},
         {triangles_is + "2", lines_is + "5", "Could not open file d"},
         {{"m", abc_mesh}}},
        {"output in a subfolder",
         {{"m", abc_mesh}},
         {"d"},
         {"m", "mesh", "d/w"},
         {triangles_is + "2", lines_is + "5", success},
         {{"m", abc_mesh},
          {"d/w", wire_file(hash_mesh, 4, {{0, 1}, {1, 2}, {2, 0}, {2, 3}, {3, 0}})}}},
        // Damaged input is refused and the output path is left as it was.
        {"empty input",
         {{"m", {}}, {"w", old_wire}},
         {},
         {"m", "abc", "w"},
         {"Could not read file m"},
         {{"m", {}}, {"w", old_wire}}},
        {"input ends inside the header",
         {{"m", take(abc_mesh, 27)}},
         {},
         {"m", "abc", "w"},
         {"Could not read file m"},
         {{"m", take(abc_mesh, 27)}}},
        {"input ends after the header",
         {{"m", take(abc_mesh, 28)}, {"w", old_wire}},
         {},
         {"m", "abc", "w"},
         {triangles_is + "2", "Could not read file m"},
         {{"m", take(abc_mesh, 28)}, {"w", old_wire}}},
        {"input ends inside the last triangle",
         {{"m", take(abc_mesh, 39)}},
         {},
         {"m", "abc", "m"},
         {triangles_is + "2", "Could not read file m"},
         {{"m", take(abc_mesh, 39)}}},
        // A header counts at most 32767 lines.
        {"32767 lines are written",
         {{"m", mesh_file(0, 7, 32769, most_triangles)}},
         {},
         {"m", "mesh", "w"},
         {triangles_is + "0", lines_is + "32767", success},
         {{"m", mesh_file(0, 7, 32769, most_triangles)},
          {"w", wire_file(hash_mesh, 7, most_lines)}}},
        {"32769 lines are refused",
         {{"m", many_lines_mesh}, {"w", old_wire}},
         {},
         {"m", "mesh", "w"},
         {triangles_is + "10923", lines_is + "32769",
          "Could not write file w: 32769 lines exceed the 32767 a quorvwire header can count"},
         {{"m", many_lines_mesh}, {"w", old_wire}}},
        {"the most triangles a file can describe",
         {{"m", mesh_file(65535, 0, 65535, distinct_sides(21845))}},
         {},
         {"m", "mesh", "w"},
         {triangles_is + "21845", lines_is + "65535",
          "Could not write file w: 65535 lines exceed the 32767 a quorvwire header can count"},
         {{"m", mesh_file(65535, 0, 65535, distinct_sides(21845))}}},
    };
    return c;
}

std::string quoted(const std::string& argument) {
    std::string out = "'";
    for (const char ch : argument) {
        out += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    }
    return out + "'";
}

std::map<std::string, bytes> files_in(const fs::path& folder) {
    std::map<std::string, bytes> out;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) {
            out[entry.path().lexically_relative(folder).generic_string()] = read_file(entry.path());
        }
    }
    return out;
}

// Names the case in failure messages instead of dumping its bytes.
void PrintTo(const cli_case& c, std::ostream* out) {
    *out << c.name;
}

class Cli : public testing::TestWithParam<cli_case> {};

TEST_P(Cli, Case) {
    const cli_case& c = GetParam();
    const char* command = std::getenv("GANTREL_COMMAND");
    ASSERT_NE(command, nullptr) << "GANTREL_COMMAND names the gantrel to run";
    const char* newline_setting = std::getenv("GANTREL_NEWLINE");
    const std::string newline =
        newline_setting != nullptr && std::string(newline_setting) == "crlf" ? "\r\n" : "\n";

    const fs::path root =
        fs::temp_directory_path() / ("gantrel-cli-" + std::to_string(std::random_device{}()) + "-" +
                                     std::to_string(std::hash<std::string>{}(c.name)));
    fs::remove_all(root);
    const fs::path folder = root / "work";
    fs::create_directories(folder);
    for (const auto& name : c.folders_before)
        fs::create_directories(folder / name);
    for (const auto& [name, content] : c.files_before)
        write_file(folder / name, content);

    std::string line = "cd " + quoted(folder.string()) + " && " + command;
    for (const auto& argument : c.arguments)
        line += " " + quoted(argument);
    line += " > ../stdout 2> ../stderr";
    const int status = std::system(line.c_str());

    EXPECT_EQ(status, 0) << line;
    std::string expected;
    for (const auto& text : c.expected_output)
        expected += text + newline;
    const bytes output = read_file(root / "stdout");
    EXPECT_EQ(std::string(output.begin(), output.end()), expected);
    EXPECT_TRUE(read_file(root / "stderr").empty());
    const auto after = files_in(folder);
    EXPECT_EQ(after.size(), c.files_after.size());
    for (const auto& [name, content] : c.files_after) {
        const auto found = after.find(name);
        ASSERT_NE(found, after.end()) << name << " is missing";
        EXPECT_EQ(found->second.size(), content.size()) << name;
        EXPECT_TRUE(found->second == content) << name << " differs";
    }
    for (const auto& [name, content] : after) {
        EXPECT_EQ(c.files_after.count(name), 1u) << "unexpected file " << name;
    }
    fs::remove_all(root);
}

std::string case_name(const testing::TestParamInfo<cli_case>& info) {
    std::string out;
    for (const char ch : info.param.name) {
        out += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(Table, Cli, testing::ValuesIn(cases()), case_name);

}  // namespace
}  // namespace gantrel
