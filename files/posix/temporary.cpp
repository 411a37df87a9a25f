#include "files/posix/temporary.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>

namespace gantrel {

namespace {

// A fresh name from the system's random source, or "" where it fails: then no name anyone could
// guess is made either.
std::string random_name() {
    unsigned char random[temporary_random_bytes];
    std::size_t got = 0;
    while (got < sizeof random) {
        const ssize_t more = getrandom(random + got, sizeof random - got, 0);
        if (more < 0 && errno != EINTR) {
            return std::string();
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

// Unnamed files are linked through /proc/self/fd, which a run without /proc cannot reach.
bool unnamed_temporaries_linkable() {
    static const bool linkable = faccessat(AT_FDCWD, "/proc/self/fd", X_OK, 0) == 0;
    return linkable;
}

// Links the unnamed temporary into `folder` under `name`, failing if the name is taken.
bool link_unnamed(int fd, int folder, const std::string& name) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return linkat(AT_FDCWD, self.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

}  // namespace

temporary_outcome create_temporary(int folder, mode_t mode, bool folder_keeps_names,
                                   staged_file& out) {
    out.folder_keeps_names = folder_keeps_names;
    if (unnamed_temporaries_linkable()) {
        out.file.reset(openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode));
        if (out.file.fd >= 0) {
            out.state = temporary_state::unnamed;
            return temporary_outcome::created;
        }
        // Older kernels and some file systems refuse unnamed files; a named one still works.
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            return outcome_of(errno);
        }
    }
    if (folder_keeps_names) {
        return temporary_outcome::refused;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = random_name();
        if (name.empty()) {
            return temporary_outcome::failed;
        }
        out.file.reset(
            openat(folder, name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC | O_NOFOLLOW, mode));
        if (out.file.fd >= 0) {
            out.state = temporary_state::named;
            out.name = name;
            return temporary_outcome::created;
        }
        if (errno != EEXIST) {
            return outcome_of(errno);
        }
    }
    return temporary_outcome::failed;
}

bool move_into_place(staged_file& staged, int folder, const std::string& name, bool target_exists) {
    if (staged.state == temporary_state::unnamed) {
        if (!target_exists && link_unnamed(staged.file.fd, folder, name)) {
            staged.state = temporary_state::none;
            return true;
        }
        for (int attempt = 0; attempt < 100 && !staged.folder_keeps_names; ++attempt) {
            const std::string fresh = random_name();
            if (!fresh.empty() && link_unnamed(staged.file.fd, folder, fresh)) {
                staged.state = temporary_state::named;
                staged.name = fresh;
                break;
            }
            if (fresh.empty() || errno != EEXIST) {
                break;
            }
        }
        if (staged.state != temporary_state::named) {
            return false;
        }
    }
    if (staged.state != temporary_state::named ||
        renameat(folder, staged.name.c_str(), folder, name.c_str()) != 0) {
        remove_temporary(staged, folder);
        return false;
    }
    staged.state = temporary_state::none;
    return true;
}

void remove_temporary(staged_file& staged, int folder) {
    if (staged.state == temporary_state::named) {
        unlinkat(folder, staged.name.c_str(), 0);
    }
    staged.state = temporary_state::none;
    staged.file.reset();
}

}  // namespace gantrel
