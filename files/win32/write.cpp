#include <windows.h>

#include <vector>

#include "files/port.h"
#include "files/windows_rules.h"

namespace gantrel {

replace_status write_directly(const replacement_target& target, const byte_span* parts,
                              std::size_t part_count) {
    return write_parts(target.existing.value, parts, part_count) ? replace_status::replaced
                                                                 : replace_status::cannot_write;
}

// The target's own bytes are overwritten, so its identity (links, security, streams) stays; the
// old bytes the new content covers are kept and written back if any step fails. The file is cut
// last, so that nothing past the new content is lost before every other step has succeeded.
replace_status write_in_place(replacement_target& target, bool restorable, const byte_span* parts,
                              std::size_t part_count) {
    const HANDLE file = target.existing.value;
    LARGE_INTEGER length;
    if (GetFileSizeEx(file, &length) == 0) {
        return replace_status::cannot_write;
    }
    const auto old_size = static_cast<std::size_t>(length.QuadPart);
    const std::size_t covered = restorable ? bytes_covered(old_size, parts, part_count) : 0;
    std::vector<unsigned char> saved(covered);
    if (!seek_to(file, 0) || !read_all(file, saved.data(), covered)) {
        return replace_status::cannot_write;
    }
    if (seek_to(file, 0) && write_parts(file, parts, part_count) && FlushFileBuffers(file) != 0 &&
        SetEndOfFile(file) != 0) {
        return replace_status::replaced;
    }
    if (!restorable) {
        return replace_status::cannot_write;
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

replace_status rename_temporary(replacement_target& target, bool target_exists,
                                const byte_span* parts, std::size_t part_count) {
    target.existing.close();
    handle& file = target.staged.file;
    const DWORD target_attributes = target.attributes;
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
    ok = ok && (!target.staged.marked || mark_for_deletion(file.value, false));
    file.close();
    for (int attempt = 0; ok && !move_into_place(target.staged.path, target.path, target_exists);
         ++attempt) {
        const unsigned pause = retry_pause_ms(attempt);
        ok = held_for_a_moment(GetLastError()) && pause != 0;
        if (ok) {
            Sleep(pause);
        }
    }
    if (!ok) {
        DeleteFileW(target.staged.path.c_str());
        return replace_status::cannot_write;
    }
    return replace_status::replaced;
}

}  // namespace gantrel
