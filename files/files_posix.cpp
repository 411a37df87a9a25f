#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "files/files.h"

namespace gantrel {

namespace {

// Holds back the signals that end a process by default (and that a user or a batch runner sends)
// from the first byte staged until the temporary is renamed or removed, so none of them leaves
// a temporary or a torn target; they act as usual once released.
struct held_signals {
    sigset_t previous;
    held_signals() {
        sigset_t set;
        sigemptyset(&set);
        for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
            sigaddset(&set, signal_number);
        }
        sigprocmask(SIG_BLOCK, &set, &previous);
    }
    ~held_signals() { sigprocmask(SIG_SETMASK, &previous, nullptr); }
    held_signals(const held_signals&) = delete;
    held_signals& operator=(const held_signals&) = delete;
};

struct descriptor {
    int fd = -1;
    descriptor() = default;
    explicit descriptor(int value) : fd(value) {}
    ~descriptor() {
        if (fd >= 0) {
            close(fd);
        }
    }
    descriptor(const descriptor&) = delete;
    descriptor& operator=(const descriptor&) = delete;
};

bool write_all_at(int fd, const unsigned char* bytes, std::size_t size, off_t offset) {
    while (size > 0) {
        const ssize_t written = pwrite(fd, bytes, size, offset);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
        offset += written;
    }
    return true;
}

// Writes the parts one after the other from offset 0.
bool write_parts(int fd, const byte_span* parts, std::size_t part_count) {
    off_t offset = 0;
    for (std::size_t i = 0; i < part_count; ++i) {
        if (!write_all_at(fd, parts[i].data, parts[i].size, offset)) {
            return false;
        }
        offset += static_cast<off_t>(parts[i].size);
    }
    return true;
}

bool read_all_at(int fd, unsigned char* bytes, std::size_t size, off_t offset) {
    while (size > 0) {
        const ssize_t got = pread(fd, bytes, size, offset);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        bytes += got;
        size -= static_cast<std::size_t>(got);
        offset += got;
    }
    return true;
}

// The folder part of `path` ("" for the current folder) and its last component.
std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string name_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A setting under /proc/sys/fs, or `fallback` where it cannot be read.
int host_setting(const char* path, int fallback) {
    const descriptor file(open(path, O_RDONLY | O_CLOEXEC));
    char text[8] = {};
    if (file.fd < 0 || read(file.fd, text, sizeof text) <= 0 || text[0] < '0' || text[0] > '9') {
        return fallback;
    }
    return text[0] - '0';
}

sticky_protection host_protection() {
    const sticky_protection shipped;
    sticky_protection protection;
    protection.symlinks = host_setting("/proc/sys/fs/protected_symlinks", shipped.symlinks);
    protection.regular = host_setting("/proc/sys/fs/protected_regular", shipped.regular);
    protection.fifos = host_setting("/proc/sys/fs/protected_fifos", shipped.fifos);
    return protection;
}

// The target's folder, held open from its resolution to the end of the replacement: every later
// step is relative to it, so renaming or swapping any folder on the way cannot move the write.
struct resolved_target {
    descriptor folder;
    struct stat folder_info {};
    std::string name;
    int status_error = 0;  // 0 when `info` holds what the name is, ENOENT when it names nothing
    struct stat info {};
    sticky_protection protection;
};

ownership_facts ownership(const resolved_target& target, const struct stat& owned) {
    return ownership_facts{static_cast<std::uint32_t>(target.folder_info.st_mode & 07777),
                           target.folder_info.st_uid, owned.st_uid, geteuid()};
}

// Resolves `path` to the folder it ends in and a name in that folder, following symbolic links in
// the last component as the kernel would for this user (those in the folders on the way are
// followed by the kernel itself). A dangling link resolves to the name it points at. False when
// the path cannot lead to a file: a missing folder, a link loop, a link the kernel would refuse.
bool resolve_target(const std::string& path, resolved_target& out) {
    constexpr int link_hops = 40;  // as many as the kernel follows
    bool protection_read = false;
    std::string remaining = path;
    for (int hop = 0; hop <= link_hops; ++hop) {
        const std::string folder = folder_of(remaining);
        const int base = out.folder.fd >= 0 ? out.folder.fd : AT_FDCWD;
        descriptor next(
            openat(base, folder.empty() ? "." : folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        out.name = name_of(remaining);
        if (next.fd < 0 || out.name.empty() || fstat(next.fd, &out.folder_info) != 0) {
            return false;
        }
        std::swap(out.folder.fd, next.fd);
        if ((out.folder_info.st_mode & S_ISVTX) != 0 && !protection_read) {
            out.protection = host_protection();  // read only where it can matter
            protection_read = true;
        }
        out.status_error =
            fstatat(out.folder.fd, out.name.c_str(), &out.info, AT_SYMLINK_NOFOLLOW) == 0 ? 0
                                                                                          : errno;
        if (out.status_error != 0 || !S_ISLNK(out.info.st_mode)) {
            return true;
        }
        if (!may_follow_link(out.protection, ownership(out, out.info))) {
            return false;
        }
        std::string target(static_cast<std::size_t>(out.info.st_size) + 1, '\0');
        const ssize_t length =
            readlinkat(out.folder.fd, out.name.c_str(), &target[0], target.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
            return false;
        }
        target.resize(static_cast<std::size_t>(length));
        remaining = target;  // an absolute target ignores the folder it is looked up from
    }
    return false;
}

std::string random_name() {
    unsigned char random[temporary_random_bytes];
    std::size_t got = 0;
    while (got < sizeof random) {
        const ssize_t more = getrandom(random + got, sizeof random - got, 0);
        if (more < 0 && errno != EINTR) {
            return std::string();  // no random source: no name anyone could guess either
        }
        got += more > 0 ? static_cast<std::size_t>(more) : 0;
    }
    return temporary_name(random);
}

temporary_outcome outcome_of(int error) {
    switch (error) {
        case EACCES:
        case EPERM:
        case EROFS:
            return temporary_outcome::refused;
        case ENOENT:
        case ENOTDIR:
            return temporary_outcome::no_folder;
        default:
            return temporary_outcome::failed;
    }
}

// A temporary in the held folder: unnamed (`name` empty) where the file system offers that, so
// that not even SIGKILL can leave it behind, otherwise named and created exclusively.
struct temporary {
    descriptor file;
    std::string name;
};

temporary_outcome create_temporary(int folder, mode_t mode, bool unnamed_allowed, temporary& out) {
    if (unnamed_allowed) {
        out.file.fd = openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
        if (out.file.fd >= 0) {
            return temporary_outcome::created;
        }
        // Older kernels and some file systems refuse unnamed files; a named one still works.
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            return outcome_of(errno);
        }
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        out.name = random_name();
        if (out.name.empty()) {
            return temporary_outcome::failed;
        }
        out.file.fd = openat(folder, out.name.c_str(),
                             O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC | O_NOFOLLOW, mode);
        if (out.file.fd >= 0) {
            return temporary_outcome::created;
        }
        if (errno != EEXIST) {
            out.name.clear();
            return outcome_of(errno);
        }
    }
    out.name.clear();
    return temporary_outcome::failed;
}

// Errors with which a file system that cannot store an attribute answers an attempt to set it:
// FAT gives every file the same owner and mode, and refuses others with EPERM (or, through FUSE,
// ENOSYS); some file systems have no extended attributes.
bool unstorable(int error) {
    return error == ENOSYS || error == EOPNOTSUPP || error == EPERM;
}

enum class copy_result {
    copied,
    unstorable,  // every step that failed failed as where the file system cannot store it
    failed,
};

// The extended attributes of `fd` as name and value pairs, sorted; false when they cannot be read
// (none at all where the file system has none).
bool attributes_of(int fd, std::vector<std::pair<std::string, std::string>>& out) {
    out.clear();
    const ssize_t list_size = flistxattr(fd, nullptr, 0);
    if (list_size <= 0) {
        return list_size == 0 || errno == ENOTSUP;
    }
    std::vector<char> names(static_cast<std::size_t>(list_size));
    const ssize_t got = flistxattr(fd, names.data(), names.size());
    if (got < 0) {
        return false;
    }
    for (std::size_t at = 0; at < static_cast<std::size_t>(got);) {
        const std::string name(names.data() + at);
        at += name.size() + 1;
        const ssize_t value_size = fgetxattr(fd, name.c_str(), nullptr, 0);
        if (value_size < 0) {
            return false;
        }
        std::string value(static_cast<std::size_t>(value_size), '\0');
        const ssize_t value_got = fgetxattr(fd, name.c_str(), &value[0], value.size());
        if (value_got < 0) {
            return false;
        }
        value.resize(static_cast<std::size_t>(value_got));
        out.emplace_back(name, value);
    }
    std::sort(out.begin(), out.end());
    return true;
}

// Gives the temporary the target's owner, group, extended attributes (POSIX ACLs among them)
// and mode, in that order: changing the owner clears set-user-ID, and an ACL sets group bits.
// A step the file system cannot store is passed over, so that the others are still given.
copy_result copy_attributes(int target, const struct stat& info, int copy) {
    struct stat copy_info {};
    std::vector<std::pair<std::string, std::string>> attributes;
    if (fstat(copy, &copy_info) != 0 || !attributes_of(target, attributes)) {
        return copy_result::failed;
    }
    copy_result result = copy_result::copied;
    const auto step = [&result](bool ok) {
        if (!ok) {
            result = unstorable(errno) && result != copy_result::failed ? copy_result::unstorable
                                                                        : copy_result::failed;
        }
    };
    if (copy_info.st_uid != info.st_uid || copy_info.st_gid != info.st_gid) {
        step(fchown(copy, info.st_uid, info.st_gid) == 0);
    }
    for (const auto& attribute : attributes) {
        step(fsetxattr(copy, attribute.first.c_str(), attribute.second.data(),
                       attribute.second.size(), 0) == 0);
    }
    step(fchmod(copy, info.st_mode & 07777) == 0);
    return result;
}

// Whether the temporary shows what the target shows: permission bits, owner, group and extended
// attributes. Then renaming it over the target loses nothing, whatever could not be set.
bool shown_alike(int target, const struct stat& info, int copy) {
    struct stat copy_info {};
    std::vector<std::pair<std::string, std::string>> target_attributes;
    std::vector<std::pair<std::string, std::string>> temporary_attributes;
    return fstat(copy, &copy_info) == 0 && (copy_info.st_mode & 07777) == (info.st_mode & 07777) &&
           copy_info.st_uid == info.st_uid && copy_info.st_gid == info.st_gid &&
           attributes_of(target, target_attributes) && attributes_of(copy, temporary_attributes) &&
           target_attributes == temporary_attributes;
}

// Links an unnamed temporary into the held folder under `name`, failing if the name is taken.
bool link_unnamed(int fd, int folder, const std::string& name) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return linkat(AT_FDCWD, self.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// Puts the written temporary at `name` in the held folder, atomically: an unnamed one is linked
// under a fresh name (or straight to `name` when nothing is there) and renamed over the target.
bool move_into_place(temporary& staged, int folder, const std::string& name, bool target_exists) {
    if (staged.name.empty()) {
        if (!target_exists && link_unnamed(staged.file.fd, folder, name)) {
            return true;
        }
        for (int attempt = 0; attempt < 100 && staged.name.empty(); ++attempt) {
            const std::string fresh = random_name();
            if (!fresh.empty() && link_unnamed(staged.file.fd, folder, fresh)) {
                staged.name = fresh;
            } else if (fresh.empty() || errno != EEXIST) {
                return false;
            }
        }
        if (staged.name.empty()) {
            return false;
        }
    }
    if (renameat(folder, staged.name.c_str(), folder, name.c_str()) != 0) {
        unlinkat(folder, staged.name.c_str(), 0);
        staged.name.clear();
        return false;
    }
    staged.name.clear();
    return true;
}

replace_status rename_temporary(temporary& staged, int folder, const std::string& name,
                                bool target_exists, const byte_span* parts,
                                std::size_t part_count) {
    // Only a replacement needs the flush: a power cut may lose a new file, but must not turn
    // an old one into an empty one.
    bool ok = write_parts(staged.file.fd, parts, part_count) &&
              (!target_exists || fsync(staged.file.fd) == 0);
    ok = ok && move_into_place(staged, folder, name, target_exists);
    if (!ok && !staged.name.empty()) {
        unlinkat(folder, staged.name.c_str(), 0);
    }
    return ok ? replace_status::replaced : replace_status::cannot_write;
}

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

// Overwrites the open target in place, so its identity (inode, links, owner, attributes) stays;
// the old bytes that the new content covers are kept and written back if any step fails. The file
// is only ever cut, never grown by a cut: some file systems (FAT through FUSE) refuse that.
replace_status write_in_place(int fd, const byte_span* parts, std::size_t part_count) {
    lock_for_writing(fd);
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        return replace_status::cannot_write;
    }
    const auto old_size = static_cast<std::size_t>(info.st_size);
    const std::size_t new_size = content_size(parts, part_count);
    const std::size_t covered = bytes_covered(old_size, parts, part_count);
    std::vector<unsigned char> saved(covered);
    if (!read_all_at(fd, saved.data(), covered, 0)) {
        return replace_status::cannot_write;
    }
    const held_signals hold;
    if (write_parts(fd, parts, part_count) &&
        (new_size >= old_size || ftruncate(fd, static_cast<off_t>(new_size)) == 0) &&
        fsync(fd) == 0) {
        return replace_status::replaced;
    }
    // Best effort: the run reports a failed write whatever these give.
    const bool restored =
        write_all_at(fd, saved.data(), covered, 0) &&
        (new_size <= old_size || ftruncate(fd, static_cast<off_t>(old_size)) == 0);
    if (restored) {
        fsync(fd);
    }
    return replace_status::cannot_write;
}

// Writes to the character device or FIFO that `fd` holds, as it is.
replace_status write_directly(int fd, const byte_span* parts, std::size_t part_count) {
    for (std::size_t i = 0; i < part_count; ++i) {
        for (std::size_t done = 0; done < parts[i].size;) {
            const ssize_t written = write(fd, parts[i].data + done, parts[i].size - done);
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                return replace_status::cannot_write;
            }
            done += static_cast<std::size_t>(written);
        }
    }
    return replace_status::replaced;
}

existing_kind kind_of(const struct stat& info) {
    return S_ISREG(info.st_mode)    ? existing_kind::regular
           : S_ISFIFO(info.st_mode) ? existing_kind::fifo
                                    : existing_kind::other;
}

// Fills the facts about an existing target from `info`, what the open descriptor (or, before it
// is opened, the name) shows.
void describe_existing(const resolved_target& target, const struct stat& info,
                       target_facts& facts) {
    facts.is_directory = S_ISDIR(info.st_mode);
    facts.exists = !facts.is_directory;
    facts.is_regular = S_ISREG(info.st_mode);
    facts.is_block_device = S_ISBLK(info.st_mode);
    facts.sticky_refused =
        !may_open_existing(target.protection, ownership(target, info), kind_of(info));
}

// Opens the existing target that `target.info` describes for writing (and reading, where it may),
// never through a link, and describes it again from the open descriptor: another user may have
// put something else under the name meanwhile. The facts then concern the open file.
void open_existing(const resolved_target& target, target_facts& facts, descriptor& existing,
                   struct stat& info) {
    if (facts.is_regular) {
        // Not blocking: should the name have become a FIFO, no reader is waited for.
        const int flags = O_NOFOLLOW | O_NOCTTY | O_CLOEXEC | O_NONBLOCK;
        existing.fd = openat(target.folder.fd, target.name.c_str(), O_RDWR | flags);
        facts.readable = existing.fd >= 0;
        if (existing.fd < 0) {
            existing.fd = openat(target.folder.fd, target.name.c_str(), O_WRONLY | flags);
        }
    } else {
        // A FIFO waits here for its reader, as any writer of one does.
        existing.fd = openat(target.folder.fd, target.name.c_str(),
                             O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    }
    facts.writable = existing.fd >= 0;
    if (!facts.writable) {
        return;
    }
    if (fstat(existing.fd, &info) != 0) {
        facts.status_unknown = true;
        return;
    }
    const bool was_regular = facts.is_regular;
    describe_existing(target, info, facts);
    // A file that turned into something else between the look and the open is not trusted.
    facts.status_unknown = facts.is_regular != was_regular;
    facts.several_links = info.st_nlink > 1;
}

bool unnamed_temporaries_linkable() {
    static const bool linkable = access("/proc/self/fd", X_OK) == 0;
    return linkable;
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

replace_status replace_file(const native_path& target_path, const byte_span* parts,
                            std::size_t part_count) {
    resolved_target target;
    if (!resolve_target(target_path, target)) {
        return replace_status::cannot_open;
    }
    target_facts facts{};
    descriptor existing;
    struct stat info {};  // of the open target
    // Only "nothing there" means absent; any other failure to look leaves the target alone.
    facts.status_unknown = target.status_error != 0 && target.status_error != ENOENT;
    if (target.status_error == 0) {
        describe_existing(target, target.info, facts);
        if (facts.exists && !facts.sticky_refused && !facts.is_block_device) {
            open_existing(target, facts, existing, info);
        }
    }

    // Held only while a temporary exists: a device or FIFO written directly may block, and must
    // stay interruptible meanwhile.
    std::optional<held_signals> hold;
    temporary staged;
    facts.temporary = temporary_outcome::not_tried;
    if (temporary_wanted(facts)) {
        hold.emplace();
        const mode_t mode = facts.exists ? 0600 : 0666;
        facts.temporary =
            create_temporary(target.folder.fd, mode, unnamed_temporaries_linkable(), staged);
        if (facts.temporary == temporary_outcome::created && facts.exists) {
            const copy_result copied = copy_attributes(existing.fd, info, staged.file.fd);
            facts.attributes_copied = copied == copy_result::copied;
            facts.attributes_unstorable = copied == copy_result::unstorable;
            facts.attributes_shown_alike =
                facts.attributes_unstorable && shown_alike(existing.fd, info, staged.file.fd);
        }
    }
    const replacement decision = decide_replacement(facts);
    if (decision != replacement::rename_temporary && !staged.name.empty()) {
        unlinkat(target.folder.fd, staged.name.c_str(), 0);
    }
    switch (decision) {
        case replacement::refuse_open:
            return replace_status::cannot_open;
        case replacement::refuse_write:
            return replace_status::cannot_write;
        case replacement::write_directly:
            return write_directly(existing.fd, parts, part_count);
        case replacement::write_in_place:
            return write_in_place(existing.fd, parts, part_count);
        case replacement::rename_temporary:
            return rename_temporary(staged, target.folder.fd, target.name, facts.exists, parts,
                                    part_count);
    }
    return replace_status::cannot_open;
}

}  // namespace gantrel
