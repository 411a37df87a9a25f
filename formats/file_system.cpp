#include "formats/file_system.h"

#include <chrono>
#include <string>

#include "formats/file_open.h"

namespace gantrel {

namespace fs = std::filesystem;

namespace {

// Writes the content and closes `file`, true only if every byte reached the file.
bool write_and_close(std::FILE* file, const content_writer& write_content) {
    const bool written = write_content(file);
    const bool closed = std::fclose(file) == 0;
    return written && closed;
}

replace_status write_in_place(const fs::path& target, const content_writer& write_content) {
    std::FILE* file = open_file(target, "wb");
    if (file == nullptr) {
        return replace_status::cannot_open;
    }
    return write_and_close(file, write_content) ? replace_status::replaced
                                                : replace_status::cannot_write;
}

// Creates a new file beside `target`, hidden and named after it, so that renaming it over the
// target stays within one directory and so within one file system. Exclusive creation keeps
// runs that write beside each other apart.
std::FILE* create_temporary_beside(const fs::path& target, fs::path& temporary) {
    const auto seed = static_cast<unsigned long long>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    for (unsigned long long attempt = 0; attempt < 16; ++attempt) {
        fs::path name = ".";
        name += target.filename();
        name += "." + std::to_string((seed + attempt) % 1000000007ULL) + ".tmp";
        temporary = target;
        temporary.replace_filename(name);
        std::FILE* file = create_new_file(temporary);
        if (file != nullptr) {
            return file;
        }
        std::error_code ec;
        if (!fs::exists(fs::symlink_status(temporary, ec))) {
            return nullptr;  // not a name clash: nothing can be created here
        }
    }
    return nullptr;
}

}  // namespace

std::FILE* open_for_reading(const fs::path& path) {
    std::error_code ec;
    if (fs::is_directory(fs::status(path, ec))) {
        return nullptr;
    }
    return open_file(path, "rb");
}

replace_status replace_file(const fs::path& target, const content_writer& write_content) {
    std::error_code ec;
    fs::path file = target;
    if (fs::is_symlink(fs::symlink_status(target, ec))) {
        file = fs::canonical(target, ec);
        if (ec) {
            return write_in_place(target, write_content);  // dangling: writing creates the target
        }
    }
    const fs::file_status status = fs::status(file, ec);
    if (fs::is_directory(status)) {
        return replace_status::cannot_open;
    }
    const bool exists = fs::exists(status);
    // Devices and FIFOs are written as they are; so is a path with no file name (empty, or
    // ending in a separator), which then fails to open as it would have anyway.
    if ((exists && !fs::is_regular_file(status)) || !file.has_filename()) {
        return write_in_place(file, write_content);
    }
    if (exists) {
        // A file we may not write must not be replaced behind its owner's back.
        std::FILE* probe = open_file(file, "r+b");
        if (probe == nullptr) {
            return replace_status::cannot_open;
        }
        std::fclose(probe);
    }
    fs::path temporary;
    std::FILE* out = create_temporary_beside(file, temporary);
    if (out == nullptr) {
        return write_in_place(file, write_content);
    }
    bool ok = write_and_close(out, write_content);
    if (ok && exists) {
        fs::permissions(temporary, status.permissions(), ec);
    }
    if (ok) {
        fs::rename(temporary, file, ec);
        ok = !ec;
    }
    if (!ok) {
        fs::remove(temporary, ec);
        return replace_status::cannot_write;
    }
    return replace_status::replaced;
}

}  // namespace gantrel
