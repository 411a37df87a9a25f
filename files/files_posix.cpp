#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
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

// Follows symbolic links from `path` to the name they end at, which need not exist yet (a
// dangling link's target is created), with what is there (`found`, `info`). False on a loop of
// links or an unreadable link.
bool resolve_links(std::string path, std::string& out, bool& found, struct stat& info) {
    for (int hops = 0; hops < 40; ++hops) {
        found = lstat(path.c_str(), &info) == 0;
        if (!found || !S_ISLNK(info.st_mode)) {
            out = path;
            return true;
        }
        std::string target(static_cast<std::size_t>(info.st_size) + 1, '\0');
        const ssize_t length = readlink(path.c_str(), &target[0], target.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
            return false;
        }
        target.resize(static_cast<std::size_t>(length));
        if (target[0] == '/') {
            path = target;
        } else {
            path = folder_of(path);
            path += target;
        }
    }
    return false;
}

std::string random_name() {
    static std::uint64_t state = 0;
    if (state == 0) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        state = static_cast<std::uint64_t>(now.tv_nsec) ^
                static_cast<std::uint64_t>(now.tv_sec) << 30 ^
                static_cast<std::uint64_t>(getpid()) << 40;
    }
    return temporary_name(state);
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

// A temporary in `folder`: unnamed (`name` empty) where the file system offers that, so that not
// even SIGKILL can leave it behind, otherwise named and created exclusively.
struct temporary {
    descriptor file;
    std::string name;
};

temporary_outcome create_temporary(const std::string& folder, mode_t mode, bool unnamed_allowed,
                                   temporary& out) {
    const std::string where = folder.empty() ? std::string(".") : folder;
    if (unnamed_allowed) {
        out.file.fd = open(where.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
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
        out.file.fd = open((folder + out.name).c_str(),
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

// Gives the temporary the target's owner, group, extended attributes (POSIX ACLs among them)
// and mode, in that order: changing the owner clears set-user-ID, and an ACL sets group bits.
bool copy_attributes(int target, const struct stat& info, int copy) {
    struct stat copy_info {};
    if (fstat(copy, &copy_info) != 0) {
        return false;
    }
    if ((copy_info.st_uid != info.st_uid || copy_info.st_gid != info.st_gid) &&
        fchown(copy, info.st_uid, info.st_gid) != 0) {
        return false;
    }
    const ssize_t list_size = flistxattr(target, nullptr, 0);
    if (list_size < 0 && errno != ENOTSUP) {
        return false;
    }
    if (list_size > 0) {
        std::vector<char> names(static_cast<std::size_t>(list_size));
        const ssize_t got = flistxattr(target, names.data(), names.size());
        if (got < 0) {
            return false;
        }
        std::vector<char> value;
        for (std::size_t at = 0; at < static_cast<std::size_t>(got);) {
            const char* name = names.data() + at;
            at += std::char_traits<char>::length(name) + 1;
            const ssize_t value_size = fgetxattr(target, name, nullptr, 0);
            if (value_size < 0) {
                return false;
            }
            value.resize(static_cast<std::size_t>(value_size));
            const ssize_t value_got = fgetxattr(target, name, value.data(), value.size());
            if (value_got < 0 ||
                fsetxattr(copy, name, value.data(), static_cast<std::size_t>(value_got), 0) != 0) {
                return false;
            }
        }
    }
    return fchmod(copy, info.st_mode & 07777) == 0;
}

// Links an unnamed temporary into its folder under `name`, failing if the name is taken.
bool link_unnamed(int fd, const std::string& path) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// Puts the written temporary at `path`, atomically: an unnamed one is linked under a fresh name
// (or straight to `path` when nothing is there) and renamed over the target.
bool move_into_place(temporary& staged, const std::string& folder, const std::string& path,
                     bool target_exists) {
    if (staged.name.empty()) {
        if (!target_exists && link_unnamed(staged.file.fd, path)) {
            return true;
        }
        for (int attempt = 0; attempt < 100 && staged.name.empty(); ++attempt) {
            const std::string name = random_name();
            if (link_unnamed(staged.file.fd, folder + name)) {
                staged.name = name;
            } else if (errno != EEXIST) {
                return false;
            }
        }
        if (staged.name.empty()) {
            return false;
        }
    }
    const std::string temporary_path = folder + staged.name;
    if (rename(temporary_path.c_str(), path.c_str()) != 0) {
        unlink(temporary_path.c_str());
        staged.name.clear();
        return false;
    }
    staged.name.clear();
    return true;
}

replace_status rename_temporary(temporary& staged, const std::string& folder,
                                const std::string& path, bool target_exists, const byte_span* parts,
                                std::size_t part_count) {
    // Only a replacement needs the flush: a power cut may lose a new file, but must not turn
    // an old one into an empty one.
    bool ok = write_parts(staged.file.fd, parts, part_count) &&
              (!target_exists || fsync(staged.file.fd) == 0);
    ok = ok && move_into_place(staged, folder, path, target_exists);
    if (!ok && !staged.name.empty()) {
        unlink((folder + staged.name).c_str());
    }
    return ok ? replace_status::replaced : replace_status::cannot_write;
}

// Overwrites the open target in place, so its identity (inode, links, owner, attributes) stays;
// the old bytes that the new content covers are kept and written back if any step fails.
replace_status write_in_place(int fd, const byte_span* parts, std::size_t part_count) {
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        return replace_status::cannot_write;
    }
    const auto old_size = static_cast<std::size_t>(info.st_size);
    const std::size_t covered = bytes_covered(old_size, parts, part_count);
    std::vector<unsigned char> saved(covered);
    if (!read_all_at(fd, saved.data(), covered, 0)) {
        return replace_status::cannot_write;
    }
    const held_signals hold;
    if (write_parts(fd, parts, part_count) && fsync(fd) == 0 &&
        ftruncate(fd, static_cast<off_t>(content_size(parts, part_count))) == 0) {
        return replace_status::replaced;
    }
    write_all_at(fd, saved.data(), covered, 0);
    ftruncate(fd, static_cast<off_t>(old_size));
    fsync(fd);
    return replace_status::cannot_write;
}

replace_status write_directly(const std::string& path, const byte_span* parts,
                              std::size_t part_count) {
    const descriptor file(open(path.c_str(), O_WRONLY | O_TRUNC | O_NOCTTY | O_CLOEXEC));
    if (file.fd < 0) {
        return replace_status::cannot_open;
    }
    for (std::size_t i = 0; i < part_count; ++i) {
        for (std::size_t done = 0; done < parts[i].size;) {
            const ssize_t written = write(file.fd, parts[i].data + done, parts[i].size - done);
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

replace_status replace_file(const native_path& target, const byte_span* parts,
                            std::size_t part_count) {
    std::string path;
    bool found = false;
    struct stat info {};
    if (!resolve_links(target, path, found, info) || name_of(path).empty()) {
        return replace_status::cannot_open;
    }
    const std::string folder = folder_of(path);

    target_facts facts{};
    descriptor existing;
    if (found) {
        facts.is_directory = S_ISDIR(info.st_mode);
        facts.exists = !facts.is_directory;
        facts.is_regular = S_ISREG(info.st_mode);
    }
    if (facts.exists && facts.is_regular) {
        existing.fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        facts.readable = existing.fd >= 0;
        if (existing.fd < 0) {
            existing.fd = open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        }
        facts.writable = existing.fd >= 0;
        // The open file is what the decisions are about, even if the name moved meanwhile.
        if (facts.writable && fstat(existing.fd, &info) == 0) {
            facts.several_links = info.st_nlink > 1;
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
        facts.temporary = create_temporary(folder, mode, unnamed_temporaries_linkable(), staged);
        if (facts.temporary == temporary_outcome::created && facts.exists) {
            facts.attributes_copied = copy_attributes(existing.fd, info, staged.file.fd);
        }
    }
    switch (decide_replacement(facts)) {
        case replacement::refuse_open:
            break;
        case replacement::refuse_write:
            return replace_status::cannot_write;
        case replacement::write_directly:
            return write_directly(path, parts, part_count);
        case replacement::write_in_place:
            if (!staged.name.empty()) {
                unlink((folder + staged.name).c_str());
            }
            return write_in_place(existing.fd, parts, part_count);
        case replacement::rename_temporary:
            return rename_temporary(staged, folder, path, facts.exists, parts, part_count);
    }
    if (!staged.name.empty()) {
        unlink((folder + staged.name).c_str());
    }
    return replace_status::cannot_open;
}

}  // namespace gantrel
