#pragma once

// An open handle that closes itself, and the checked reads and writes at the handle's position
// that every write path of the replacement uses.

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "files/files.h"

namespace gantrel {

struct handle {
    HANDLE value = INVALID_HANDLE_VALUE;
    handle() = default;
    explicit handle(HANDLE h) : value(h) {}
    ~handle() { close(); }
    void close();
    bool valid() const { return value != INVALID_HANDLE_VALUE; }
    handle(const handle&) = delete;
    handle& operator=(const handle&) = delete;
};

bool write_all(HANDLE file, const unsigned char* bytes, std::size_t size);
bool write_parts(HANDLE file, const byte_span* parts, std::size_t part_count);
bool read_all(HANDLE file, unsigned char* bytes, std::size_t size);
bool seek_to(HANDLE file, std::uint64_t offset);

}  // namespace gantrel
