#include <windows.h>

#include <filesystem>
#include <string>

#include "files/port.h"
#include "files/windows_rules.h"

namespace gantrel {

namespace {

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

// The folder a temporary for `target` is made in.
std::filesystem::path folder_of(const std::filesystem::path& target) {
    return target.parent_path().empty() ? std::filesystem::path(L".") : target.parent_path();
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

void gather_target(const native_path& path, replacement_target& target, target_facts& facts) {
    target.path = openable(path);
    if (!target.path.has_filename()) {
        facts.status_unknown = true;  // a name that must be a folder
        return;
    }
    target.attributes = GetFileAttributesW(target.path.c_str());
    if (target.attributes != INVALID_FILE_ATTRIBUTES &&
        (target.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        // A symbolic link or a junction stays: the file it resolves to is replaced.
        if (!resolve_link(target.path)) {
            facts.status_unknown = true;
            return;
        }
        target.attributes = GetFileAttributesW(target.path.c_str());
    }
    const DWORD attributes = target.attributes;
    facts.is_directory =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!facts.is_directory) {
        // Shares everything, so that holding it open does not itself stand in the way.
        target.existing.value = CreateFileW(target.path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        const bool opened = target.existing.valid();
        const DWORD error = opened ? ERROR_SUCCESS : GetLastError();
        facts.exists = error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
        // A file marked read-only is not written, even where the process could write it anyway.
        facts.writable = opened && (attributes & FILE_ATTRIBUTE_READONLY) == 0;
        facts.readable = opened;
        facts.is_regular = !opened || GetFileType(target.existing.value) == FILE_TYPE_DISK;
        BY_HANDLE_FILE_INFORMATION information;
        if (opened && GetFileInformationByHandle(target.existing.value, &information) != 0) {
            facts.several_links = information.nNumberOfLinks > 1;
        }
    }
    // Held without delete sharing until the replacement is done, so that nobody can rename the
    // folder or put a junction in its place meanwhile and move the temporary or the write.
    target.folder.value =
        CreateFileW(folder_of(target.path).c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

void stage_temporary(replacement_target& target, target_facts& facts) {
    facts.temporary = create_temporary(folder_of(target.path), target.staged);
    // The replace-file call carries every attribute over itself.
    facts.attributes_copied = true;
}

void discard_temporary(replacement_target& target) {
    remove_temporary(target.staged);
}

}  // namespace gantrel
