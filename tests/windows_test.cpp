// Windows only, run under Windows or Wine from an empty folder with gantrel.exe's path as its
// argument: what the end-to-end table cannot show from Linux. Targets other programs hold open
// (for good, or for a moment as a virus scanner does), hidden and read-only targets, the NUL
// device, symbolic links, and command lines whose quoting the one parse must get right.

#include <windows.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "mesh/name_hash.h"
#include "support/bytes.h"
#include "support/meshes.h"

namespace {

using gantrel::test::bytes;

int failures = 0;
int passed = 0;

void expect(bool condition, const std::string& what) {
    if (!condition) {
        std::printf("FAILED: %s\n", what.c_str());
        ++failures;
    }
}

std::wstring gantrel_exe;

// Runs gantrel with `arguments` appended to its command line exactly as given, and returns what
// it printed.
std::string run_gantrel(const std::wstring& arguments) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (CreatePipe(&read_end, &write_end, &inherit, 0) == 0) {
        return "";
    }
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION process{};
    std::wstring command_line = L"\"" + gantrel_exe + L"\" " + arguments;
    const BOOL started = CreateProcessW(nullptr, &command_line[0], nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &process);
    CloseHandle(write_end);
    std::string output;
    if (started != 0) {
        char buffer[256];
        DWORD got = 0;
        while (ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) != 0 && got > 0) {
            output.append(buffer, got);
        }
        WaitForSingleObject(process.hProcess, INFINITE);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    CloseHandle(read_end);
    return output;
}

std::vector<std::wstring> names_here() {
    std::vector<std::wstring> out;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(L"*", &found);
    if (search == INVALID_HANDLE_VALUE) {
        return out;
    }
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") {
            out.push_back(name);
        }
    } while (FindNextFileW(search, &found) != 0);
    FindClose(search);
    return out;
}

void clear_folder() {
    for (const std::wstring& name : names_here()) {
        SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(name.c_str());
    }
}

const bytes& mesh = gantrel::test::abc_mesh;
const bytes old_content(100, 0x5A);
const std::string reports =
    "total number of triangles in mesh = 2\r\ntotal number of lines in mesh = 5\r\n";
const std::string converted = reports + "Successfully wrote quorvwire\r\n";

bytes wire_for(const std::string& name_bytes) {
    return gantrel::test::wire_file(gantrel::name_hash(name_bytes), 4, gantrel::test::abc_lines);
}

struct holder {
    HANDLE file;
    DWORD milliseconds;
};

DWORD WINAPI let_go_later(void* parameter) {
    const auto* held = static_cast<holder*>(parameter);
    Sleep(held->milliseconds);
    CloseHandle(held->file);
    return 0;
}

void targets_held_by_other_programs() {
    struct row {
        const char* what;
        DWORD share;
        DWORD let_go_after_ms;  // 0: held to the end of the run
        std::string expected;
        bool replaced;
    };
    const row rows[] = {
        {"held without write sharing", FILE_SHARE_READ, 0, reports + "Could not open file w\r\n",
         false},
        {"held without delete sharing", FILE_SHARE_READ | FILE_SHARE_WRITE, 0,
         reports + "Could not write file w\r\n", false},
        {"held without delete sharing for a moment", FILE_SHARE_READ | FILE_SHARE_WRITE, 300,
         converted, true},
    };
    for (const row& r : rows) {
        const int failures_before = failures;
        clear_folder();
        gantrel::test::write_file("m", mesh);
        gantrel::test::write_file("w", old_content);
        holder held{CreateFileW(L"w", GENERIC_READ, r.share, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr),
                    r.let_go_after_ms};
        expect(held.file != INVALID_HANDLE_VALUE, std::string(r.what) + ": hold the file");
        HANDLE thread = nullptr;
        if (r.let_go_after_ms != 0) {
            thread = CreateThread(nullptr, 0, let_go_later, &held, 0, nullptr);
        }
        const std::string output = run_gantrel(L"m abc w");
        if (thread != nullptr) {
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
        } else {
            CloseHandle(held.file);
        }
        expect(output == r.expected, std::string(r.what) + ": output was " + output);
        expect(gantrel::test::read_file("w") == (r.replaced ? wire_for("abc") : old_content),
               std::string(r.what) + ": the file holds what it should");
        expect(names_here().size() == 2, std::string(r.what) + ": no temporary is left");
        passed += failures == failures_before;
    }
}

void attributes_and_devices() {
    struct row {
        const char* what;
        std::function<void()> prepare;
        std::wstring output;
        std::string expected;
        std::function<void()> check;
    };
    const row rows[] = {
        {"a hidden target stays hidden",
         [] {
             gantrel::test::write_file("w", old_content);
             SetFileAttributesW(L"w", FILE_ATTRIBUTE_HIDDEN);
         },
         L"w", converted,
         [] {
             expect((GetFileAttributesW(L"w") & FILE_ATTRIBUTE_HIDDEN) != 0,
                    "a hidden target stays hidden: hidden");
             expect(gantrel::test::read_file("w") == wire_for("abc"),
                    "a hidden target stays hidden: replaced");
         }},
        {"a read-only target is refused and kept",
         [] {
             gantrel::test::write_file("w", old_content);
             SetFileAttributesW(L"w", FILE_ATTRIBUTE_READONLY);
         },
         L"w", reports + "Could not open file w\r\n",
         [] {
             expect(gantrel::test::read_file("w") == old_content,
                    "a read-only target is refused and kept: kept");
         }},
        {"NUL is a device", [] {}, L"NUL", converted, [] {}},
        {"nul is a device", [] {}, L"nul", converted, [] {}},
        {"NUL: is a device", [] {}, L"NUL:", converted, [] {}},
    };
    for (const row& r : rows) {
        const int failures_before = failures;
        clear_folder();
        gantrel::test::write_file("m", mesh);
        r.prepare();
        const std::string output = run_gantrel(L"m abc " + r.output);
        expect(output == r.expected, std::string(r.what) + ": output was " + output);
        r.check();
        const std::size_t expected_names = r.output == L"w" ? 2 : 1;
        expect(names_here().size() == expected_names, std::string(r.what) + ": no temporary");
        passed += failures == failures_before;
    }
}

void symbolic_links() {
    clear_folder();
    gantrel::test::write_file("m", mesh);
    CreateDirectoryW(L"elsewhere", nullptr);
    gantrel::test::write_file("elsewhere/target", old_content);
    CreateSymbolicLinkW(L"link", L"elsewhere\\target",
                        SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    const DWORD link_attributes = GetFileAttributesW(L"link");
    if (link_attributes == INVALID_FILE_ATTRIBUTES ||
        (link_attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        // Wine 8 reports success but creates nothing.
        std::printf("skipped: symbolic links cannot be created here\n");
        RemoveDirectoryW(L"elsewhere\\target");
        DeleteFileW(L"elsewhere\\target");
        RemoveDirectoryW(L"elsewhere");
        return;
    }
    const int failures_before = failures;
    const std::string output = run_gantrel(L"m abc link");
    expect(output == converted, "a link: output was " + output);
    expect((GetFileAttributesW(L"link") & FILE_ATTRIBUTE_REPARSE_POINT) != 0,
           "a link stays a link");
    expect(gantrel::test::read_file("elsewhere/target") == wire_for("abc"),
           "a link: the file it names is replaced");
    DeleteFileW(L"link");
    DeleteFileW(L"elsewhere\\target");
    RemoveDirectoryW(L"elsewhere");
    passed += failures == failures_before;
}

// Each command line is split once, by the C runtime's rules: the name hashed, the file written
// and the path printed all come from that split.
void one_parse_of_the_command_line() {
    struct row {
        const char* what;
        std::wstring arguments;
        std::string name_bytes;    // as hashed: the ANSI code page's bytes
        std::wstring output_file;  // the file that must appear
    };
    const row rows[] = {
        {"plain", L"m abc w", "abc", L"w"},
        {"a quoted name with a space", L"m \"a b\" w", "a b", L"w"},
        {"a quoted output with a space", L"m abc \"out put\"", "abc", L"out put"},
        {"an escaped quote", L"m a\\\"b w", "a\"b", L"w"},
        {"backslashes not before a quote are kept", L"m a\\\\b w", "a\\\\b", L"w"},
        {"backslashes before a closing quote are halved", L"m \"a\\\\\" w", "a\\", L"w"},
        {"a doubled quote inside quotes", L"m \"a\"\"b x\" out", "a\"b x", L"out"},
        {"a name in the ANSI code page", L"m \u00e9t\u00e9 w", "\xe9t\xe9", L"w"},
        {"a name outside it", L"m \u0416 w", "?", L"w"},
    };
    for (const row& r : rows) {
        const int failures_before = failures;
        clear_folder();
        gantrel::test::write_file("m", mesh);
        const std::string output = run_gantrel(r.arguments);
        expect(output == converted, std::string(r.what) + ": output was " + output);
        const HANDLE file = CreateFileW(r.output_file.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        bytes content;
        if (file != INVALID_HANDLE_VALUE) {
            unsigned char buffer[256];
            DWORD got = 0;
            while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) != 0 && got > 0) {
                content.insert(content.end(), buffer, buffer + got);
            }
            CloseHandle(file);
        }
        expect(content == wire_for(r.name_bytes),
               std::string(r.what) + ": the file written carries the name's hash");
        expect(names_here().size() == 2, std::string(r.what) + ": one file written");
        passed += failures == failures_before;
    }
}

// Paths past MAX_PATH (260 characters), absolute and with "..", given without the "\\?\"
// prefix, onto new files. (Wine cannot start a process in a current folder that long, so the
// end-to-end table cannot be run from inside one; and its replace-file call cannot replace a file
// that deep, which Windows's can.)
void paths_past_max_path() {
    wchar_t here[MAX_PATH];
    const DWORD length = GetCurrentDirectoryW(MAX_PATH, here);
    const std::wstring base(here, length);
    const std::wstring deep = base + L"\\" + std::wstring(120, L'd') + L"\\" +
                              std::wstring(120, L'e') + L"\\" + std::wstring(40, L'f');
    // Created through the extended form, which never had the limit.
    std::wstring folder = L"\\\\?\\" + base;
    for (const std::wstring& part :
         {std::wstring(120, L'd'), std::wstring(120, L'e'), std::wstring(40, L'f')}) {
        folder += L"\\" + part;
        CreateDirectoryW(folder.c_str(), nullptr);
    }
    struct row {
        const char* what;
        std::wstring input;
        std::wstring output;
    };
    const row rows[] = {
        {"absolute", deep + L"\\m", deep + L"\\w"},
        {"with \"..\" and forward slashes", deep + L"\\..\\" + std::wstring(40, L'f') + L"/m",
         deep + L"/w"},
    };
    for (const row& r : rows) {
        const int failures_before = failures;
        const std::wstring extended_input = L"\\\\?\\" + deep + L"\\m";
        const std::wstring extended_output = L"\\\\?\\" + deep + L"\\w";
        DeleteFileW(extended_output.c_str());
        const HANDLE file = CreateFileW(extended_input.c_str(), GENERIC_WRITE, 0, nullptr,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        WriteFile(file, mesh.data(), static_cast<DWORD>(mesh.size()), &written, nullptr);
        CloseHandle(file);
        const std::string output = run_gantrel(L"\"" + r.input + L"\" abc \"" + r.output + L"\"");
        expect(output == converted, std::string(r.what) + ": output was " + output);
        const HANDLE result = CreateFileW(extended_output.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        bytes content(200);
        DWORD got = 0;
        ReadFile(result, content.data(), static_cast<DWORD>(content.size()), &got, nullptr);
        content.resize(got);
        CloseHandle(result);
        expect(content == wire_for("abc"), std::string(r.what) + ": the file is written");
        passed += failures == failures_before;
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    wchar_t full[MAX_PATH * 4];
    const DWORD length =
        GetFullPathNameW(argc > 1 ? argv[1] : L"gantrel.exe",
                         static_cast<DWORD>(sizeof full / sizeof full[0]), full, nullptr);
    gantrel_exe.assign(full, length);
    targets_held_by_other_programs();
    attributes_and_devices();
    symbolic_links();
    one_parse_of_the_command_line();
    paths_past_max_path();
    clear_folder();
    std::printf("windows: %d passed, %d failed\n", passed, failures);
    return failures == 0 ? 0 : 1;
}
