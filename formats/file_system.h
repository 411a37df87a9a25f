#pragma once

// Files by path, the only place the tool meets the file system. Paths are used exactly as given;
// on Windows they come from the UTF-16 command line, so any file name a script passes opens.

#include <cstdio>
#include <filesystem>
#include <functional>

namespace gantrel {

// Opens an existing file for binary reading, or returns null. A directory is refused even where
// the platform would open it.
std::FILE* open_for_reading(const std::filesystem::path& path);

enum class replace_status {
    replaced,
    cannot_open,   // the target can be neither created nor opened for writing
    cannot_write,  // a write, the close or the final rename failed
};

// Writes a file's whole content to the open `file`; false if a write failed.
using content_writer = std::function<bool(std::FILE* file)>;

// Makes the file at `target` hold what `write_content` writes, without ever leaving a
// half-written file in its place: the content goes to a new file beside the target, every write
// and the close are checked, and only then is it renamed over the target. On failure the temporary
// is removed and the target keeps what it held. A symbolic link stays a link and the file it
// points to is replaced; an existing target keeps its permissions. A target that exists but is
// not a regular file (a device, a FIFO), or beside which no file can be created, is written in
// place instead.
replace_status replace_file(const std::filesystem::path& target,
                            const content_writer& write_content);

}  // namespace gantrel
