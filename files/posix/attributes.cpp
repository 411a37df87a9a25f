#include "files/posix/attributes.h"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <utility>
#include <vector>

namespace gantrel {

namespace {

using attribute_list = std::vector<std::pair<std::string, std::string>>;

// Errors with which a file system that cannot store an attribute answers an attempt to set it:
// FAT gives every file the same owner and mode, and refuses others with EPERM (or, through FUSE,
// ENOSYS); some file systems have no extended attributes.
bool unstorable(int error) {
    return error == ENOSYS || error == EOPNOTSUPP || error == EPERM;
}

// The extended attributes of `fd` as name and value pairs, sorted; false when they cannot be read
// (none at all where the file system has none).
bool attributes_of(int fd, attribute_list& out) {
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

bool has_attribute(const attribute_list& list, const std::string& name) {
    return std::any_of(list.begin(), list.end(),
                       [&name](const auto& attribute) { return attribute.first == name; });
}

// Flags the file system sets and keeps for itself (extents, inline data, an index, a huge file,
// verity, encryption, case folding): neither copied nor compared.
constexpr int managed_flags = FS_EXTENT_FL | FS_INLINE_DATA_FL | FS_INDEX_FL | FS_HUGE_FILE_FL |
                              FS_EA_INODE_FL | FS_VERITY_FL | FS_ENCRYPT_FL | FS_CASEFOLD_FL;

}  // namespace

copy_result copy_attributes(int target, const struct stat& info, int copy) {
    struct stat copy_info {};
    attribute_list attributes;
    attribute_list inherited;
    if (fstat(copy, &copy_info) != 0 || !attributes_of(target, attributes) ||
        !attributes_of(copy, inherited)) {
        return copy_result::failed;
    }
    copy_result result = copy_result::copied;
    const auto step = [&result](bool ok) {
        if (!ok) {
            result = unstorable(errno) && result != copy_result::failed ? copy_result::unstorable
                                                                        : copy_result::failed;
        }
    };
    // The owner first: changing it clears set-user-ID; the mode after the ACL, which sets the
    // group bits.
    if (copy_info.st_uid != info.st_uid || copy_info.st_gid != info.st_gid) {
        step(fchown(copy, info.st_uid, info.st_gid) == 0);
    }
    for (const auto& attribute : inherited) {
        if (!has_attribute(attributes, attribute.first)) {
            step(fremovexattr(copy, attribute.first.c_str()) == 0);
        }
    }
    for (const auto& attribute : attributes) {
        step(fsetxattr(copy, attribute.first.c_str(), attribute.second.data(),
                       attribute.second.size(), 0) == 0);
    }
    step(fchmod(copy, info.st_mode & 07777) == 0);
    int flags = 0;
    int copy_flags = 0;
    if (ioctl(target, FS_IOC_GETFLAGS, &flags) != 0) {
        // Nothing to carry where the file system keeps no inode flags.
        if (errno != ENOTTY && errno != EOPNOTSUPP && errno != ENOSYS && errno != EINVAL) {
            result = copy_result::failed;
        }
    } else if (ioctl(copy, FS_IOC_GETFLAGS, &copy_flags) != 0) {
        result = copy_result::failed;
    } else if (((flags ^ copy_flags) & ~managed_flags) != 0) {
        int wanted = (copy_flags & managed_flags) | (flags & ~managed_flags);
        // A flag the file system would not take (or not from this user) cannot be carried.
        if (ioctl(copy, FS_IOC_SETFLAGS, &wanted) != 0 ||
            ioctl(copy, FS_IOC_GETFLAGS, &copy_flags) != 0 ||
            ((flags ^ copy_flags) & ~managed_flags) != 0) {
            result = copy_result::failed;
        }
    }
    return result;
}

bool shown_alike(int target, const struct stat& info, int copy) {
    struct stat copy_info {};
    attribute_list target_attributes;
    attribute_list temporary_attributes;
    return fstat(copy, &copy_info) == 0 && (copy_info.st_mode & 07777) == (info.st_mode & 07777) &&
           copy_info.st_uid == info.st_uid && copy_info.st_gid == info.st_gid &&
           attributes_of(target, target_attributes) && attributes_of(copy, temporary_attributes) &&
           target_attributes == temporary_attributes;
}

}  // namespace gantrel
