#include <io.h>
#include <windows.h>
// after windows.h, which it builds on
#include <bcrypt.h>

#include <string>

#include "tool/platform.h"

namespace gantrel {

namespace {

// `text` in the ANSI code page: the bytes a mesh name is hashed over, as stored files made on
// Windows expect, and the bytes messages print when standard output is redirected.
std::string ansi_bytes(const std::wstring& text) {
    if (text.empty()) {
        return std::string();
    }
    const int size = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) {
        WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &out[0], size,
                            nullptr, nullptr);
    }
    return out;
}

std::wstring from_ansi(std::string_view text) {
    if (text.empty()) {
        return std::wstring();
    }
    const int size =
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0) {
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &out[0], size);
    }
    return out;
}

// The console behind `out`, or null when `out` is redirected to a file or a pipe.
HANDLE console_of(std::FILE* out) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(out)));
    DWORD mode = 0;
    if (handle == INVALID_HANDLE_VALUE || GetConsoleMode(handle, &mode) == 0) {
        return nullptr;
    }
    return handle;
}

}  // namespace

void prepare_process() {
    // A batch run must never stop at a dialog box, for a missing drive or for a crash.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
}

std::vector<argument> command_line_arguments(int argc, wchar_t** argv) {
    std::vector<argument> arguments;
    for (int i = 1; i < argc; ++i) {
        const std::wstring wide(argv[i]);
        arguments.push_back(argument{ansi_bytes(wide), wide});
    }
    return arguments;
}

void prefault(void* start, std::size_t size) {
    // Windows backs committed memory as it is touched; there is nothing to ask for.
    static_cast<void>(start);
    static_cast<void>(size);
}

std::uint64_t random_seed() {
    std::uint64_t seed = 0;
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, reinterpret_cast<unsigned char*>(&seed),
                                        sizeof seed, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
        seed = 0;
    }
    return seed;
}

void write_message(std::FILE* out, std::string_view before, const argument* subject,
                   std::string_view after) {
    const HANDLE console = console_of(out);
    if (console != nullptr) {
        // A console shows text in its own (OEM) code page, not the ANSI one the bytes are in:
        // written as UTF-16 every character of the path shows as the user typed it.
        std::wstring line = from_ansi(before);
        if (subject != nullptr) {
            for (const wchar_t ch : subject->path) {
                line += ch < 0x20 || ch == 0x7F ? L'?' : ch;
            }
        }
        line += from_ansi(after);
        line += L"\r\n";
        std::fflush(out);
        DWORD written = 0;
        WriteConsoleW(console, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        return;
    }
    std::string line(before);
    if (subject != nullptr) {
        line += printable(subject->text);
    }
    line += after;
    line += '\n';  // standard output is a text stream: this becomes CR LF
    std::fwrite(line.data(), 1, line.size(), out);
    std::fflush(out);
}

}  // namespace gantrel
