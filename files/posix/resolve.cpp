#include "files/posix/resolve.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace gantrel {

namespace {

// A setting under /proc/sys/fs, or `fallback` where it cannot be read.
int host_setting(const char* path, int fallback) {
    const descriptor file(openat(AT_FDCWD, path, O_RDONLY | O_CLOEXEC));
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

// The body of the link that `at` names in `folder` ("" names the link `folder` itself holds),
// `size` bytes long as its status says; false when it cannot be read whole or is empty.
bool link_body(int folder, const char* at, off_t size, std::string& body) {
    body.assign(static_cast<std::size_t>(size) + 1, '\0');
    const ssize_t length = readlinkat(folder, at, &body[0], body.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= body.size()) {
        return false;
    }
    body.resize(static_cast<std::size_t>(length));
    return true;
}

int open_start(const std::string& path) {
    return openat(AT_FDCWD, path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
}

}  // namespace

ownership_facts ownership(const resolved_path& where, const struct stat& owned) {
    return ownership_facts{static_cast<std::uint32_t>(where.folder_info.st_mode & 07777),
                           where.folder_info.st_uid, owned.st_uid, geteuid()};
}

bool resolve_path(const std::string& path, resolved_path& out) {
    if (path.empty() || path.size() >= path_limit) {
        return false;
    }
    int links = 0;
    bool protection_read = false;
    std::string pending = path;
    out.folder.reset(open_start(pending));
    std::string_view rest = pending;
    for (;;) {
        rest.remove_prefix(std::min(rest.size(), rest.find_first_not_of('/')));
        const path_step step = first_step(rest);
        // Slashes alone, ".", ".." or a name followed by a slash name a folder, which a plain
        // create-or-truncate open refuses.
        if (out.folder.fd < 0 || step.name.empty() || step.trailing_slash ||
            (step.last && (step.name == "." || step.name == ".."))) {
            return false;
        }
        std::string body;
        const std::string name(step.name);
        if (step.last) {
            if (fstat(out.folder.fd, &out.folder_info) != 0) {
                return false;
            }
            if ((out.folder_info.st_mode & S_ISVTX) != 0 && !protection_read) {
                out.protection = host_protection();  // read only where it can matter
                protection_read = true;
            }
            out.name = name;
            out.status_error =
                fstatat(out.folder.fd, name.c_str(), &out.info, AT_SYMLINK_NOFOLLOW) == 0 ? 0
                                                                                          : errno;
            if (out.status_error != 0 || !S_ISLNK(out.info.st_mode)) {
                return true;
            }
            // A trailing link: the host's rule applies, and its body ends the walk in turn.
            if (++links > link_limit ||
                !may_follow_link(out.protection, ownership(out, out.info)) ||
                !link_body(out.folder.fd, name.c_str(), out.info.st_size, body)) {
                return false;
            }
        } else {
            descriptor next(openat(out.folder.fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
            struct stat info {};
            if (next.fd < 0 || fstat(next.fd, &info) != 0) {
                return false;
            }
            if (S_ISDIR(info.st_mode)) {
                out.folder.reset(next.fd);
                next.fd = -1;
                rest = step.rest;
                continue;
            }
            // A link on the way to a folder is followed whoever owns it, as the kernel does.
            if (!S_ISLNK(info.st_mode) || ++links > link_limit ||
                !link_body(next.fd, "", info.st_size, body)) {
                return false;
            }
        }
        pending = after_link(body, step.rest);
        if (body[0] == '/') {
            out.folder.reset(open_start(pending));
        }
        rest = pending;
    }
}

}  // namespace gantrel
