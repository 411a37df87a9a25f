#include <windows.h>
// after windows.h, which it builds on
#include <bcrypt.h>

#include <cstdint>
#include <cwchar>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "files/files.h"

namespace gantrel {

namespace {

struct handle {
    HANDLE value = INVALID_HANDLE_VALUE;
    handle() = default;
    explicit handle(HANDLE h) : value(h) {}
    ~handle() { close(); }
    void close() {
        if (value != INVALID_HANDLE_VALUE) {
            CloseHandle(value);
            value = INVALID_HANDLE_VALUE;
        }
    }
    bool valid() const { return value != INVALID_HANDLE_VALUE; }
    handle(const handle&) = delete;
    handle& operator=(const handle&) = delete;
};

bool write_all(HANDLE file, const unsigned char* bytes, std::size_t size) {
    while (size > 0) {
        const DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        DWORD written = 0;
        if (WriteFile(file, bytes, chunk, &written, nullptr) == 0 || written == 0) {
            return false;
        }
        bytes += written;
        size -= written;
    }
    return true;
}

bool write_parts(HANDLE file, const byte_span* parts, std::size_t part_count) {
    for (std::size_t i = 0; i < part_count; ++i) {
        if (!write_all(file, parts[i].data, parts[i].size)) {
            return false;
        }
    }
    return true;
}

bool read_all(HANDLE file, unsigned char* bytes, std::size_t size) {
    while (size > 0) {
        const DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        DWORD got = 0;
        if (ReadFile(file, bytes, chunk, &got, nullptr) == 0 || got == 0) {
            return false;
        }
        bytes += got;
        size -= got;
    }
    return true;
}

bool seek_to(HANDLE file, std::uint64_t offset) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) != 0;
}

// A fresh temporary name from the system's random source, or "" where it fails.
std::wstring random_name() {
    unsigned char random[temporary_random_bytes];
    if (!BCRYPT_SUCCESS(
            BCryptGenRandom(nullptr, random, sizeof random, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
        return std::wstring();
    }
    const std::string name = temporary_name(random);
    return std::wstring(name.begin(), name.end());
}

temporary_outcome outcome_of(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_WRITE_PROTECT:
            return temporary_outcome::refused;
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_DIRECTORY:
            return temporary_outcome::no_folder;
        default:
            return temporary_outcome::failed;
    }
}

// Marks the open temporary for deletion when its handle is closed, or clears the mark. The system
// closes a process's handles when it ends, however it ends: a terminated run then leaves no
// temporary behind.
bool mark_for_deletion(HANDLE file, bool mark) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = mark ? TRUE : FALSE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

// Whether temporaries are marked for deletion: only where the mark can be cleared again, which
// the first temporary of the run finds out (a temporary whose mark sticks is given up).
enum class marking { untried, works, refused };

temporary_outcome create_temporary(const std::filesystem::path& folder, handle& file,
                                   std::filesystem::path& path, bool& marked) {
    static marking marks = marking::untried;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::wstring name = random_name();
        if (name.empty()) {
            return temporary_outcome::failed;
        }
        path = folder / name;
        file.value = CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        if (!file.valid()) {
            const DWORD error = GetLastError();
            if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
                return outcome_of(error);
            }
            continue;
        }
        marked = marks != marking::refused && mark_for_deletion(file.value, true);
        if (marked && marks == marking::untried) {
            const bool clears = mark_for_deletion(file.value, false);
            marks =
                clears && mark_for_deletion(file.value, true) ? marking::works : marking::refused;
            if (!clears) {
                file.close();  // which deletes it: the next one goes unmarked
                continue;
            }
        }
        if (!marked) {
            marks = marking::refused;
        }
        marked = marks == marking::works;
        return temporary_outcome::created;
    }
    return temporary_outcome::failed;
}

// The span from creating a temporary to its replace or removal, in which console control events
// are held: 0 outside it, 1 inside it, 2 + the event once one has arrived inside it.
volatile LONG console_span = 0;

BOOL WINAPI hold_console_event(DWORD event) {
    const bool in_span = InterlockedCompareExchange(&console_span, 0, 0) != 0;
    if (!console_event_held(event, in_span)) {
        return FALSE;  // the platform's default: the process ends at once
    }
    const LONG before = InterlockedCompareExchange(&console_span, static_cast<LONG>(2 + event), 1);
    if (before == 0) {
        return FALSE;  // the span ended meanwhile
    }
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) {
        // The system ends the process as soon as this returns; the run ends it itself instead,
        // at the end of the span.
        Sleep(INFINITE);
    }
    return TRUE;
}

// Holds console control events for its lifetime; one that arrived meanwhile ends the process
// afterwards, as the platform's default handler would have.
struct held_console_events {
    held_console_events() {
        static const BOOL installed = SetConsoleCtrlHandler(hold_console_event, TRUE);
        static_cast<void>(installed);
        InterlockedExchange(&console_span, 1);
    }
    ~held_console_events() {
        if (InterlockedExchange(&console_span, 0) >= 2) {
            ExitProcess(held_event_exit_code);
        }
    }
    held_console_events(const held_console_events&) = delete;
    held_console_events& operator=(const held_console_events&) = delete;
};

// Virus scanners, the search indexer and sync clients open fresh files for a moment; these are
// the errors they cause, worth another try after a pause. No other error is.
bool held_for_a_moment(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED;
}

// Puts the closed temporary in the target's place: with the replace-file call over an existing
// file, which keeps the replaced file's attributes, security descriptor, streams and creation
// time; with a plain move onto a new name.
bool move_into_place(const std::filesystem::path& temporary, const std::filesystem::path& target,
                     bool target_exists) {
    if (!target_exists) {
        return MoveFileExW(temporary.c_str(), target.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    }
    // A target another program holds open without delete sharing cannot be replaced; asking
    // first spares the replace call's own failure path, which may leave a file of its own.
    const handle probe(CreateFileW(target.c_str(), DELETE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!probe.valid()) {
        return false;
    }
    // The replace call wants full paths: it looks for the folder of each name it is given.
    std::error_code error;
    const std::filesystem::path full_target = std::filesystem::absolute(target, error);
    const std::filesystem::path full_temporary = std::filesystem::absolute(temporary, error);
    if (error) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    return ReplaceFileW(full_target.c_str(), full_temporary.c_str(), nullptr,
                        REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0;
}

replace_status rename_temporary(handle& file, bool marked, const std::filesystem::path& temporary,
                                const std::filesystem::path& target, DWORD target_attributes,
                                bool target_exists, const byte_span* parts,
                                std::size_t part_count) {
    bool ok = write_parts(file.value, parts, part_count) &&
              (!target_exists || FlushFileBuffers(file.value) != 0);
    // The replace call carries these over itself, but not every implementation of it does.
    constexpr DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                           FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    FILE_BASIC_INFO basic{};
    if (ok && target_exists && (target_attributes & kept) != 0 &&
        GetFileInformationByHandleEx(file.value, FileBasicInfo, &basic, sizeof basic) != 0) {
        basic.FileAttributes = (basic.FileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL)) |
                               (target_attributes & kept);
        SetFileInformationByHandle(file.value, FileBasicInfo, &basic, sizeof basic);
    }
    // From here to the replace, a terminated run leaves the temporary: the one window left.
    ok = ok && (!marked || mark_for_deletion(file.value, false));
    file.close();
    for (int attempt = 0; ok && !move_into_place(temporary, target, target_exists); ++attempt) {
        const unsigned pause = retry_pause_ms(attempt);
        ok = held_for_a_moment(GetLastError()) && pause != 0;
        if (ok) {
            Sleep(pause);
        }
    }
    if (!ok) {
        DeleteFileW(temporary.c_str());
        return replace_status::cannot_write;
    }
    return replace_status::replaced;
}

replace_status write_in_place(HANDLE file, const byte_span* parts, std::size_t part_count) {
    LARGE_INTEGER length;
    if (GetFileSizeEx(file, &length) == 0) {
        return replace_status::cannot_write;
    }
    const auto old_size = static_cast<std::size_t>(length.QuadPart);
    const std::size_t covered = bytes_covered(old_size, parts, part_count);
    std::vector<unsigned char> saved(covered);
    if (!seek_to(file, 0) || !read_all(file, saved.data(), covered)) {
        return replace_status::cannot_write;
    }
    if (seek_to(file, 0) && write_parts(file, parts, part_count) && FlushFileBuffers(file) != 0 &&
        SetEndOfFile(file) != 0) {
        return replace_status::replaced;
    }
    if (seek_to(file, 0)) {
        write_all(file, saved.data(), covered);
    }
    if (seek_to(file, old_size)) {
        SetEndOfFile(file);
    }
    FlushFileBuffers(file);
    return replace_status::cannot_write;
}

replace_status write_directly(HANDLE file, const byte_span* parts, std::size_t part_count) {
    return write_parts(file, parts, part_count) ? replace_status::replaced
                                                : replace_status::cannot_write;
}

// `path` as the file calls take it whatever its length: paths too long for MAX_PATH get their
// extended form, relative to the current directory.
native_path openable(const native_path& path) {
    const DWORD size = GetCurrentDirectoryW(0, nullptr);
    std::wstring current(size, L'\0');
    const DWORD got = size == 0 ? 0 : GetCurrentDirectoryW(size, &current[0]);
    current.resize(got < size ? got : 0);
    return extended_length_path(path, current);
}

// Replaces `link` by the final path of the file it names, following any links; false when it
// names nothing.
bool resolve_link(std::filesystem::path& link) {
    const handle file(CreateFileW(link.c_str(), 0,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file.valid()) {
        return false;
    }
    std::wstring final_path(MAX_PATH, L'\0');
    DWORD length = GetFinalPathNameByHandleW(file.value, &final_path[0],
                                             static_cast<DWORD>(final_path.size()), 0);
    if (length >= final_path.size()) {
        final_path.resize(length + 1);
        length = GetFinalPathNameByHandleW(file.value, &final_path[0],
                                           static_cast<DWORD>(final_path.size()), 0);
    }
    if (length == 0 || length >= final_path.size()) {
        return false;
    }
    final_path.resize(length);
    link = final_path;
    return true;
}

}  // namespace

std::FILE* open_for_reading(const native_path& path) {
    const native_path opened = openable(path);
    const DWORD attributes = GetFileAttributesW(opened.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return nullptr;
    }
    return _wfopen(opened.c_str(), L"rb");
}

replace_status replace_file(const native_path& target_text, const byte_span* parts,
                            std::size_t part_count) {
    std::filesystem::path target(openable(target_text));
    if (!target.has_filename()) {
        return replace_status::cannot_open;
    }
    DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        // A symbolic link or a junction stays: the file it resolves to is replaced.
        if (!resolve_link(target)) {
            return replace_status::cannot_open;
        }
        attributes = GetFileAttributesW(target.c_str());
    }
    target_facts facts{};
    facts.is_directory =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    handle existing;
    if (!facts.is_directory) {
        // Shares everything, so that holding it open does not itself stand in the way.
        existing.value = CreateFileW(target.c_str(), GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        const DWORD error = existing.valid() ? ERROR_SUCCESS : GetLastError();
        facts.exists = error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
        // A file marked read-only is not written, even where the process could write it anyway.
        facts.writable = existing.valid() && (attributes & FILE_ATTRIBUTE_READONLY) == 0;
        facts.readable = existing.valid();
        facts.is_regular = !existing.valid() || GetFileType(existing.value) == FILE_TYPE_DISK;
        BY_HANDLE_FILE_INFORMATION information;
        if (existing.valid() && GetFileInformationByHandle(existing.value, &information) != 0) {
            facts.several_links = information.nNumberOfLinks > 1;
        }
    }
    std::optional<held_console_events> hold;  // outlives `staged`, whose closing may delete it
    handle staged;
    bool marked = false;
    std::filesystem::path temporary;
    facts.temporary = temporary_outcome::not_tried;
    const std::filesystem::path folder =
        target.parent_path().empty() ? std::filesystem::path(L".") : target.parent_path();
    // Held without delete sharing until the replacement is done, so that nobody can rename the
    // folder or put a junction in its place meanwhile and move the temporary or the write.
    const handle held_folder(CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (temporary_wanted(facts)) {
        hold.emplace();
        facts.temporary = create_temporary(folder, staged, temporary, marked);
        // The replace-file call carries every attribute over itself.
        facts.attributes_copied = true;
    }
    const replacement decision = decide_replacement(facts);
    if (decision != replacement::rename_temporary && staged.valid()) {
        staged.close();
        DeleteFileW(temporary.c_str());
    }
    switch (decision) {
        case replacement::refuse_open:
            return replace_status::cannot_open;
        case replacement::refuse_write:
            return replace_status::cannot_write;
        case replacement::write_directly:
            return write_directly(existing.value, parts, part_count);
        case replacement::write_in_place:
            return write_in_place(existing.value, parts, part_count);
        case replacement::rename_temporary:
            existing.close();
            return rename_temporary(staged, marked, temporary, target, attributes, facts.exists,
                                    parts, part_count);
    }
    return replace_status::cannot_open;
}

}  // namespace gantrel
