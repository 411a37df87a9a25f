#include "files/win32/handle.h"

namespace gantrel {

void handle::close() {
    if (value != INVALID_HANDLE_VALUE) {
        CloseHandle(value);
        value = INVALID_HANDLE_VALUE;
    }
}

bool write_all(HANDLE file, const unsigned char* bytes, std::size_t size) {
    while (size > 0) {
        const DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        DWORD written = 0;
        if (WriteFile(file, bytes, chunk, &written, nullptr) == 0 || written == 0) {
            return false;
        }
        bytes += written;
        size -= written;
    }
    return true;
}

bool write_parts(HANDLE file, const byte_span* parts, std::size_t part_count) {
    for (std::size_t i = 0; i < part_count; ++i) {
        if (!write_all(file, parts[i].data, parts[i].size)) {
            return false;
        }
    }
    return true;
}

bool read_all(HANDLE file, unsigned char* bytes, std::size_t size) {
    while (size > 0) {
        const DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        DWORD got = 0;
        if (ReadFile(file, bytes, chunk, &got, nullptr) == 0 || got == 0) {
            return false;
        }
        bytes += got;
        size -= got;
    }
    return true;
}

bool seek_to(HANDLE file, std::uint64_t offset) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) != 0;
}

}  // namespace gantrel
