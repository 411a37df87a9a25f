#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "files/port.h"

namespace gantrel {

namespace {

// Takes an exclusive lock on the whole open file, so that runs writing the same file in place
// follow one another instead of interleaving or undoing each other; it is released when the
// descriptor is closed. Where the file system has no locks, the write goes on without.
void lock_for_writing(int fd) {
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    while (fcntl(fd, F_OFD_SETLKW, &whole) != 0) {
        if (errno == EINTR) {
            continue;
        }
        while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
        return;
    }
}

}  // namespace

replace_status write_directly(const replacement_target& target, const byte_span* parts,
                              std::size_t part_count) {
    return write_parts_in_order(target.existing.fd, parts, part_count)
               ? replace_status::replaced
               : replace_status::cannot_write;
}

// Overwrites the open target in place, so its identity (inode, links, owner, attributes) stays;
// the old content is kept and written back if any step fails, the bytes past the new content's
// end too, since a cut loses them. The file is only ever cut, never grown by a cut: some file
// systems (FAT through FUSE) refuse that.
replace_status write_in_place(replacement_target& target, bool restorable, const byte_span* parts,
                              std::size_t part_count) {
    const int fd = target.existing.fd;
    lock_for_writing(fd);
    struct stat info {};  // only now: the run before may have changed it
    if (fstat(fd, &info) != 0) {
        return replace_status::cannot_write;
    }
    const auto old_size = static_cast<std::size_t>(info.st_size);
    const std::size_t new_size = content_size(parts, part_count);
    const std::size_t kept = restorable ? old_size : 0;
    std::vector<unsigned char> saved(kept);
    if (!read_all_at(fd, saved.data(), kept, 0)) {
        return replace_status::cannot_write;
    }
    if (write_parts_at_start(fd, parts, part_count) &&
        (new_size >= old_size || ftruncate(fd, static_cast<off_t>(new_size)) == 0) &&
        fsync(fd) == 0) {
        return replace_status::replaced;
    }
    // Best effort, and only for a file that could be read: the run reports a failed write
    // whatever these give.
    if (restorable && write_all_at(fd, saved.data(), kept, 0) &&
        (new_size <= old_size || ftruncate(fd, static_cast<off_t>(old_size)) == 0)) {
        fsync(fd);
    }
    return replace_status::cannot_write;
}

replace_status rename_temporary(replacement_target& target, bool target_exists,
                                const byte_span* parts, std::size_t part_count) {
    staged_file& staged = target.staged;
    const int folder = target.where.folder.fd;
    // Only a replacement needs the flush: a power cut may lose a new file, but must not turn
    // an old one into an empty one.
    if (write_parts_at_start(staged.file.fd, parts, part_count) &&
        (!target_exists || fsync(staged.file.fd) == 0) &&
        move_into_place(staged, folder, target.where.name, target_exists)) {
        return replace_status::replaced;
    }
    remove_temporary(staged, folder);
    return replace_status::cannot_write;
}

}  // namespace gantrel
