#pragma once

// An open file descriptor that closes itself, and the checked reads and writes every write path
// of the replacement uses: each goes on after a signal interrupts it and stops at the first
// failure.

#include <sys/types.h>

#include <cstddef>

#include "files/files.h"

namespace gantrel {

struct descriptor {
    int fd = -1;
    descriptor() = default;
    explicit descriptor(int value) : fd(value) {}
    ~descriptor() { reset(); }
    // Closes what it holds, if anything, and holds `value` instead.
    void reset(int value = -1);
    descriptor(const descriptor&) = delete;
    descriptor& operator=(const descriptor&) = delete;
};

// The whole of `size` bytes at `offset`, or false.
bool write_all_at(int fd, const unsigned char* bytes, std::size_t size, off_t offset);
bool read_all_at(int fd, unsigned char* bytes, std::size_t size, off_t offset);

// The parts one after the other from offset 0. A large part goes through a pipe where the system
// allows it, which costs less, and whatever the pipe does not take is written as usual.
bool write_parts_at_start(int fd, const byte_span* parts, std::size_t part_count);

// The parts one after the other at the descriptor's own position (a device or a FIFO).
bool write_parts_in_order(int fd, const byte_span* parts, std::size_t part_count);

}  // namespace gantrel
