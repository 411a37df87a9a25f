#pragma once

// Files by path, the only place the tool meets the file system: opening the mesh data file, and
// replacing the wire file without ever losing what the target held. Paths are used exactly as
// given; on Windows they come from the UTF-16 command line, so any file name a script passes opens.
//
// How a target is replaced:
// - The new content is staged in a temporary beside the target, with a short name of fixed length
//   (".gantrel-" and six random characters, or no name at all where the platform offers unnamed
//   temporaries), every write is checked, an existing target's content is flushed to the disk,
//   and only then is the temporary renamed over the target. A power cut or a killed process
//   therefore leaves the complete old file or the complete new one.
// - An existing target's owner, group, permission bits, ACL, extended attributes and inode flags
//   are carried over to the temporary before the rename, and it carries nothing else. Where that
//   cannot be done, where the target has more than one hard link, or where its folder refuses new
//   files or never lets a name go (append-only), the target is overwritten in place instead: the
//   old bytes the new content covers are kept in memory and written back if any step fails (a
//   file the process may write but not read cannot be restored), and runs writing one file in
//   place take turns.
// - A symbolic link stays a link: the file it resolves to is replaced. A character device or a
//   FIFO is written directly. A folder, a block device, a file the process may not write and a
//   missing folder are refused before anything is written.
// - The tool goes no further than a plain create-or-truncate open by the same user would: the
//   path is walked as the kernel walks it (its length and link limits, and the host's rules for
//   sticky folders), and the target's folder is held open from then on, so that nobody's renames
//   can move the write elsewhere.
// - Anything that fails after that leaves the target as it was and no temporary behind.

#include <cstddef>
#include <cstdio>
#include <string>

namespace gantrel {

// A path as the platform's file calls take it: bytes on POSIX, UTF-16 on Windows. (On POSIX this
// also keeps std::filesystem, and the start-up cost it adds to a static binary, out of the tool.)
#ifdef _WIN32
using native_path = std::wstring;
#else
using native_path = std::string;
#endif

// Opens an existing file for binary reading, or returns null. A directory is refused even where
// the platform would open it.
std::FILE* open_for_reading(const native_path& path);

enum class replace_status {
    replaced,
    cannot_open,   // the target can be neither created nor opened for writing
    cannot_write,  // a write, the flush or the final rename failed; the target is as it was,
                   // except after an in-place write to a file that could not be read
};

// Consecutive bytes of a file's content; a content is given as one or more parts, so that a
// header and a body kept apart in memory need not be copied together first.
struct byte_span {
    const unsigned char* data;
    std::size_t size;
};

// Makes the file at `path` hold exactly the `part_count` parts at `parts`, one after the
// other, as described above.
replace_status replace_file(const native_path& path, const byte_span* parts,
                            std::size_t part_count);

}  // namespace gantrel
