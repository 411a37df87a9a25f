#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "files/port.h"
#include "files/posix/attributes.h"

namespace gantrel {

namespace {

existing_kind kind_of(const struct stat& info) {
    return S_ISREG(info.st_mode)    ? existing_kind::regular
           : S_ISFIFO(info.st_mode) ? existing_kind::fifo
                                    : existing_kind::other;
}

// Fills the facts about an existing target from `info`, what the open descriptor (or, before it
// is opened, the name) shows.
void describe_existing(const resolved_path& where, const struct stat& info, target_facts& facts) {
    facts.is_directory = S_ISDIR(info.st_mode);
    facts.exists = !facts.is_directory;
    facts.is_regular = S_ISREG(info.st_mode);
    facts.is_block_device = S_ISBLK(info.st_mode);
    facts.sticky_refused =
        !may_open_existing(where.protection, ownership(where, info), kind_of(info));
}

// Opens the existing target for writing (and reading, where it may), never through a link, and
// describes it again from the open descriptor: another user may have put something else under
// the name meanwhile. The facts then concern the open file.
void open_existing(replacement_target& target, target_facts& facts) {
    const int folder = target.where.folder.fd;
    const char* name = target.where.name.c_str();
    if (facts.is_regular) {
        // Not blocking: should the name have become a FIFO, no reader is waited for, and a file
        // another program holds a lease on is refused rather than waited for.
        const int flags = O_NOFOLLOW | O_NOCTTY | O_CLOEXEC | O_NONBLOCK;
        target.existing.reset(openat(folder, name, O_RDWR | flags));
        facts.readable = target.existing.fd >= 0;
        if (target.existing.fd < 0) {
            target.existing.reset(openat(folder, name, O_WRONLY | flags));
        }
    } else {
        // A FIFO waits here for its reader, as any writer of one does.
        target.existing.reset(openat(folder, name, O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    }
    facts.writable = target.existing.fd >= 0;
    if (!facts.writable) {
        return;
    }
    if (fstat(target.existing.fd, &target.existing_info) != 0) {
        facts.status_unknown = true;
        return;
    }
    const bool was_regular = facts.is_regular;
    describe_existing(target.where, target.existing_info, facts);
    // A file that turned into something else between the look and the open is not trusted.
    facts.status_unknown = facts.is_regular != was_regular;
    facts.several_links = target.existing_info.st_nlink > 1;
}

// Whether the held folder keeps every name it is given (append-only), so that nothing in it can
// be renamed or removed; false where the file system does not say.
bool keeps_names(int folder) {
    struct statx info {};
    return statx(folder, "", AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, STATX_TYPE, &info) == 0 &&
           (info.stx_attributes_mask & STATX_ATTR_APPEND) != 0 &&
           (info.stx_attributes & STATX_ATTR_APPEND) != 0;
}

}  // namespace

std::FILE* open_for_reading(const native_path& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    struct stat info {};
    if (file != nullptr && (fstat(fileno(file), &info) != 0 || S_ISDIR(info.st_mode))) {
        std::fclose(file);
        return nullptr;
    }
    return file;
}

void gather_target(const native_path& path, replacement_target& target, target_facts& facts) {
    if (!resolve_path(path, target.where)) {
        facts.status_unknown = true;  // a plain open would be refused on the way
        return;
    }
    // Only "nothing there" means absent; any other failure to look leaves the target alone.
    facts.status_unknown = target.where.status_error != 0 && target.where.status_error != ENOENT;
    if (target.where.status_error == 0) {
        describe_existing(target.where, target.where.info, facts);
        if (facts.exists && !facts.sticky_refused && !facts.is_block_device) {
            open_existing(target, facts);
        }
    }
}

void stage_temporary(replacement_target& target, target_facts& facts) {
    const int folder = target.where.folder.fd;
    const bool append_only = keeps_names(folder);
    // An existing file in a folder that keeps its names cannot be renamed over: it is written in
    // place, as the folder refusing new files would have it.
    if (append_only && facts.exists) {
        facts.temporary = temporary_outcome::refused;
        return;
    }
    const mode_t mode = facts.exists ? 0600 : 0666;
    facts.temporary = create_temporary(folder, mode, append_only, target.staged);
    if (facts.temporary != temporary_outcome::created || !facts.exists) {
        return;
    }
    const int existing = target.existing.fd;
    const copy_result copied =
        copy_attributes(existing, target.existing_info, target.staged.file.fd);
    facts.attributes_copied = copied == copy_result::copied;
    facts.attributes_unstorable = copied == copy_result::unstorable;
    facts.attributes_shown_alike =
        facts.attributes_unstorable &&
        shown_alike(existing, target.existing_info, target.staged.file.fd);
}

void discard_temporary(replacement_target& target) {
    remove_temporary(target.staged, target.where.folder.fd);
}

}  // namespace gantrel
