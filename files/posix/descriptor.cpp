#include "files/posix/descriptor.h"

#include <unistd.h>

#include <cerrno>

namespace gantrel {

void descriptor::reset(int value) {
    if (fd >= 0) {
        close(fd);
    }
    fd = value;
}

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

bool write_parts_at_start(int fd, const byte_span* parts, std::size_t part_count) {
    off_t offset = 0;
    for (std::size_t i = 0; i < part_count; ++i) {
        if (!write_all_at(fd, parts[i].data, parts[i].size, offset)) {
            return false;
        }
        offset += static_cast<off_t>(parts[i].size);
    }
    return true;
}

bool write_parts_in_order(int fd, const byte_span* parts, std::size_t part_count) {
    for (std::size_t i = 0; i < part_count; ++i) {
        for (std::size_t done = 0; done < parts[i].size;) {
            const ssize_t written = write(fd, parts[i].data + done, parts[i].size - done);
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                return false;
            }
            done += static_cast<std::size_t>(written);
        }
    }
    return true;
}

}  // namespace gantrel
