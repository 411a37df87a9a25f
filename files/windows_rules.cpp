#include <algorithm>
#include <cwctype>
#include <vector>

#include "files/windows_rules.h"

namespace gantrel {

namespace {

constexpr std::size_t max_path = 260;  // MAX_PATH, the terminating null included

bool is_separator(wchar_t ch) {
    return ch == L'\\' || ch == L'/';
}

bool is_letter(wchar_t ch) {
    return (ch >= L'A' && ch <= L'Z') || (ch >= L'a' && ch <= L'z');
}

bool same_letter(wchar_t a, wchar_t b) {
    return std::towupper(static_cast<std::wint_t>(a)) == std::towupper(static_cast<std::wint_t>(b));
}

// NUL, CON, COM1 and the like, alone and optionally with a colon: names of devices, not files.
bool is_device_name(std::wstring name) {
    if (!name.empty() && name.back() == L':') {
        name.pop_back();
    }
    for (wchar_t& ch : name) {
        ch = static_cast<wchar_t>(std::towupper(static_cast<std::wint_t>(ch)));
    }
    if (name == L"NUL" || name == L"CON" || name == L"PRN" || name == L"AUX" || name == L"CONIN$" ||
        name == L"CONOUT$") {
        return true;
    }
    return name.size() == 4 &&
           (name.compare(0, 3, L"COM") == 0 || name.compare(0, 3, L"LPT") == 0) &&
           name[3] >= L'1' && name[3] <= L'9';
}

// The length of the root of an absolute path with backslashes: "C:\" or "\\server\share\".
std::size_t root_length(const std::wstring& path) {
    if (path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\') {
        std::size_t at = path.find(L'\\', 2);
        at = at == std::wstring::npos ? path.size() : path.find(L'\\', at + 1);
        return at == std::wstring::npos ? path.size() : at + 1;
    }
    return path.size() >= 3 ? 3 : path.size();
}

// `path` made absolute against `current_directory`, with backslashes.
std::wstring absolute(std::wstring path, const std::wstring& current_directory) {
    std::replace(path.begin(), path.end(), L'/', L'\\');
    std::wstring base = current_directory;
    if (!base.empty() && base.back() != L'\\') {
        base += L'\\';
    }
    if (path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\') {
        return path;  // UNC
    }
    if (path.size() >= 2 && is_letter(path[0]) && path[1] == L':') {
        if (path.size() >= 3 && path[2] == L'\\') {
            return path;
        }
        // "C:name" is relative to the current directory of drive C, known only for the current
        // drive; for another drive its root stands in, as it does in a fresh process.
        if (!base.empty() && same_letter(base[0], path[0]) && base.size() >= 2 && base[1] == L':') {
            return base + path.substr(2);
        }
        return path.substr(0, 2) + L"\\" + path.substr(2);
    }
    if (!path.empty() && path[0] == L'\\') {
        return base.substr(0, root_length(base) - 1) + path;  // relative to the current root
    }
    return base + path;
}

// Drops "." and empty components and resolves "..", never above the root.
std::wstring normalised(const std::wstring& path) {
    const std::size_t root = root_length(path);
    std::vector<std::wstring> parts;
    for (std::size_t at = root; at < path.size();) {
        std::size_t end = path.find(L'\\', at);
        if (end == std::wstring::npos) {
            end = path.size();
        }
        const std::wstring part = path.substr(at, end - at);
        if (part == L"..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != L".") {
            parts.push_back(part);
        }
        at = end + 1;
    }
    std::wstring out = path.substr(0, root);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        out += i == 0 ? L"" : L"\\";
        out += parts[i];
    }
    return out;
}

}  // namespace

std::wstring extended_length_path(const std::wstring& path, const std::wstring& current_directory) {
    if (path.size() >= 4 && is_separator(path[0]) && is_separator(path[1]) &&
        (path[2] == L'?' || path[2] == L'.') && is_separator(path[3])) {
        return path;  // already a form the platform takes as it is
    }
    if (path.empty() || is_device_name(path)) {
        return path;
    }
    // A current directory past MAX_PATH comes in the extended form: the path is worked out
    // from its plain form, and the prefix put back once below.
    std::wstring base = current_directory;
    if (base.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
        base = L"\\\\" + base.substr(8);
    } else if (base.compare(0, 4, L"\\\\?\\") == 0) {
        base = base.substr(4);
    }
    std::wstring full = normalised(absolute(path, base));
    if (full.size() < max_path) {
        return path;
    }
    if (is_separator(path.back())) {
        full += L'\\';  // a name that must be a folder stays one
    }
    if (full.size() >= 2 && full[0] == L'\\' && full[1] == L'\\') {
        return L"\\\\?\\UNC\\" + full.substr(2);
    }
    return L"\\\\?\\" + full;
}

unsigned retry_pause_ms(int attempt) {
    // About two seconds in all, as long as a scanner or a sync client holds a fresh file.
    static const unsigned pauses[] = {10, 20, 40, 80, 160, 320, 640, 730};
    return attempt >= 0 && attempt < static_cast<int>(sizeof pauses / sizeof pauses[0])
               ? pauses[attempt]
               : 0;
}

bool console_event_held(unsigned long event, bool temporary_exists) {
    if (!temporary_exists) {
        return false;
    }
    switch (static_cast<console_event>(event)) {
        case console_event::ctrl_c:
        case console_event::ctrl_break:
        case console_event::close:
        case console_event::logoff:
        case console_event::shutdown:
            return true;
    }
    return false;
}

}  // namespace gantrel
