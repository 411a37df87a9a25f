#include "files/posix/descriptor.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
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

namespace {

// A part this large is handed over through a pipe: below it, the pipe's own calls cost more than
// they save.
constexpr std::size_t spliced_part_size = std::size_t{16} * 1024;
// As much as a pipe is asked to hold, so that one handover takes a whole part: an unprivileged
// process may have a pipe this large.
constexpr std::size_t largest_pipe = std::size_t{1024} * 1024;

// Writes as much of `size` bytes at `offset` as it can by handing their pages to a pipe
// (vmsplice) and moving them from there into the file (splice), and gives how many reached the
// file. A write() copies them through the process's own mapping of each page, and on the virtual
// machines the tool was measured on, reaching a page the process has just written that way costs
// about as much again as writing it did: the records of the closed grid of 21400 triangles took
// 195 us through write() and 56 us through the pipe. Any failure only ends the handover; the
// caller writes the rest as it writes everything else, and a write that truly fails, fails there.
std::size_t splice_all_at(int fd, const unsigned char* bytes, std::size_t size, off_t offset) {
#ifdef SPLICE_F_NONBLOCK
    int ends[2] = {-1, -1};
    // Non-blocking: a splice that finds the pipe empty ends the handover rather than waiting.
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        return 0;
    }
    const descriptor from(ends[0]);
    const descriptor to(ends[1]);
    fcntl(to.fd, F_SETPIPE_SZ, static_cast<int>(std::min(size, largest_pipe)));
    std::size_t done = 0;
    while (done < size) {
        iovec piece{const_cast<unsigned char*>(bytes + done), size - done};
        const ssize_t queued = vmsplice(to.fd, &piece, 1, 0);
        if (queued < 0 && errno == EINTR) {
            continue;
        }
        if (queued <= 0) {
            return done;
        }
        for (auto left = static_cast<std::size_t>(queued); left > 0;) {
            loff_t at = offset + static_cast<off_t>(done);
            const ssize_t moved = splice(from.fd, nullptr, fd, &at, left, SPLICE_F_NONBLOCK);
            if (moved < 0 && errno == EINTR) {
                continue;
            }
            if (moved <= 0) {
                return done;
            }
            done += static_cast<std::size_t>(moved);
            left -= static_cast<std::size_t>(moved);
        }
    }
    return done;
#else
    static_cast<void>(fd);
    static_cast<void>(bytes);
    static_cast<void>(size);
    static_cast<void>(offset);
    return 0;
#endif
}

}  // namespace

bool write_parts_at_start(int fd, const byte_span* parts, std::size_t part_count) {
    off_t offset = 0;
    for (std::size_t i = 0; i < part_count; ++i) {
        const std::size_t spliced = parts[i].size >= spliced_part_size
                                        ? splice_all_at(fd, parts[i].data, parts[i].size, offset)
                                        : 0;
        if (!write_all_at(fd, parts[i].data + spliced, parts[i].size - spliced,
                          offset + static_cast<off_t>(spliced))) {
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
