#include "files/win32/temporary.h"

// after windows.h, which it builds on
#include <bcrypt.h>

#include <string>

namespace gantrel {

namespace {

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

// Whether temporaries are marked for deletion: only where the mark can be cleared again, which
// the first temporary of the run finds out (a temporary whose mark sticks is given up).
enum class marking { untried, works, refused };

}  // namespace

temporary_outcome create_temporary(const std::filesystem::path& folder, staged_file& out) {
    static marking marks = marking::untried;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::wstring name = random_name();
        if (name.empty()) {
            return temporary_outcome::failed;
        }
        out.path = folder / name;
        out.file.value = CreateFileW(out.path.c_str(), GENERIC_WRITE | DELETE, 0, nullptr,
                                     CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (!out.file.valid()) {
            const DWORD error = GetLastError();
            if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
                return outcome_of(error);
            }
            continue;
        }
        out.marked = marks != marking::refused && mark_for_deletion(out.file.value, true);
        if (out.marked && marks == marking::untried) {
            const bool clears = mark_for_deletion(out.file.value, false);
            marks = clears && mark_for_deletion(out.file.value, true) ? marking::works
                                                                      : marking::refused;
            if (!clears) {
                out.file.close();  // which deletes it: the next one goes unmarked
                continue;
            }
        }
        if (!out.marked) {
            marks = marking::refused;
        }
        out.marked = marks == marking::works;
        return temporary_outcome::created;
    }
    return temporary_outcome::failed;
}

bool mark_for_deletion(HANDLE file, bool mark) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = mark ? TRUE : FALSE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

bool held_for_a_moment(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED;
}

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

void remove_temporary(staged_file& staged) {
    if (staged.file.valid()) {
        staged.file.close();
        DeleteFileW(staged.path.c_str());
    }
}

}  // namespace gantrel
