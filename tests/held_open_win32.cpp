// Windows only: a target file that another program holds open is reported, never crashed on,
// and keeps its content. Run from the folder holding gantrel.exe, or with its path as argument.

#include <windows.h>

#include <cstdio>
#include <string>

#include "test_bytes.h"

namespace {

using gantrel::test::bytes;

int failures = 0;

void expect(bool condition, const std::string& what) {
    if (!condition) {
        std::printf("FAILED: %s\n", what.c_str());
        ++failures;
    }
}

std::string run_gantrel(const std::string& gantrel) {
    std::string output;
    std::FILE* pipe = _popen(("\"" + gantrel + "\" m abc w").c_str(), "rb");
    if (pipe == nullptr)
        return output;
    char buffer[256];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, got);
    _pclose(pipe);
    return output;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string gantrel = argc > 1 ? argv[1] : "gantrel.exe";
    const bytes mesh = gantrel::test::mesh_file(6, 4, 6, {{0, 1, 2}, {0, 2, 3}});
    const bytes old_content(100, 0x5A);
    const std::string reports =
        "total number of triangles in mesh = 2\r\ntotal number of lines in mesh = 5\r\n";
    struct row {
        const char* what;
        DWORD share;
        std::string last_line;
    };
    const row rows[] = {
        {"held without write sharing", FILE_SHARE_READ, "Could not open file w\r\n"},
        {"held without delete sharing", FILE_SHARE_READ | FILE_SHARE_WRITE,
         "Could not write file w\r\n"},
    };
    int passed = 0;
    for (const row& r : rows) {
        const int failures_before = failures;
        gantrel::test::write_file("m", mesh);
        gantrel::test::write_file("w", old_content);
        const HANDLE held = CreateFileW(L"w", GENERIC_READ, r.share, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        expect(held != INVALID_HANDLE_VALUE, std::string(r.what) + ": hold the file");
        const std::string output = run_gantrel(gantrel);
        CloseHandle(held);
        expect(output == reports + r.last_line, std::string(r.what) + ": output was " + output);
        expect(gantrel::test::read_file("w") == old_content,
               std::string(r.what) + ": the old content is kept");
        std::size_t entries = 0;
        for (const auto& entry : std::filesystem::directory_iterator(".")) {
            const std::string name = entry.path().filename().string();
            entries += name != "m" && name != "w";
        }
        expect(entries == 0, std::string(r.what) + ": no temporary is left");
        DeleteFileW(L"m");
        DeleteFileW(L"w");
        passed += failures == failures_before;
    }
    const int cases = static_cast<int>(sizeof rows / sizeof rows[0]);
    std::printf("held open: %d passed, %d failed\n", passed, cases - passed);
    return passed == cases ? 0 : 1;
}
