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
// - An existing target's owner, group, permission bits, ACL and extended attributes are carried
//   over to the temporary before the rename. Where that cannot be done (the process may not give
//   the owner or group, or cannot copy an attribute), where the target has more than one hard
//   link, or where its folder refuses new files, the target is overwritten in place instead: the
//   old bytes the new content covers are kept in memory and written back if any step fails, and
//   runs writing one file in place take turns. Where the file system cannot store an attribute
//   at all (FAT's fixed owner and mode), the temporary is still renamed if it shows the same.
// - A symbolic link stays a link: the file it resolves to is replaced. A character device or a
//   FIFO is written directly. A folder, a block device, a file the process may not write and a
//   missing folder are refused before anything is written.
// - In folders that others may write, the tool goes no further than a plain create-or-truncate
//   open by the same user would: links, other users' files and FIFOs in sticky folders are
//   followed or opened only where the host's rules for such folders allow it. The target's folder
//   is resolved once and held open, so that nobody's renames can move the write elsewhere.
// - Anything that fails after that leaves the target as it was and no temporary behind.

#include <cstddef>
#include <cstdint>
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
    cannot_write,  // a write, the flush or the final rename failed; the target is as it was
};

// Consecutive bytes of a file's content; a content is given as one or more parts, so that a
// header and a body kept apart in memory need not be copied together first.
struct byte_span {
    const unsigned char* data;
    std::size_t size;
};

// Makes the file at `target` hold exactly the `part_count` parts at `parts`, one after the
// other, as described above.
replace_status replace_file(const native_path& target, const byte_span* parts,
                            std::size_t part_count);

// What became of the attempt to create a temporary beside the target.
enum class temporary_outcome {
    not_tried,  // the target is not a file that a temporary could replace
    created,
    refused,    // the folder exists but refuses new files (permissions, a read-only mount)
    no_folder,  // the folder does not exist or is not a folder
    failed,     // anything else: no space, no free inodes, quota, too many open files
};

// What the platform code found out about a target, in the order it finds it out.
struct target_facts {
    bool status_unknown;  // asking for the target's status failed for another reason than absence
    bool is_directory;
    bool exists;      // something other than a directory is there
    bool is_regular;  // it is a plain file, not a device or a FIFO
    bool is_block_device;
    bool sticky_refused;  // the host's rules for sticky folders forbid opening it (see below)
    bool writable;        // the process may open it for writing
    bool readable;        // the process may open it for reading too
    bool several_links;   // it has more than one hard link
    temporary_outcome temporary;
    bool attributes_copied;  // owner, group, mode, ACL and attributes were given to the temporary
    // What the file system keeps: those that could not be given failed as where the file system
    // cannot store them (FAT's single owner and mode, no extended attributes) ...
    bool attributes_unstorable;
    // ... and the temporary shows the same mode, owner, group and attributes as the target.
    bool attributes_shown_alike;
};

enum class replacement {
    refuse_open,       // report that the target cannot be opened; nothing is written
    refuse_write,      // report that the target cannot be written; nothing is changed
    write_directly,    // a device or a FIFO: written as it is
    write_in_place,    // overwrite the target's own bytes, restoring them on failure
    rename_temporary,  // write the temporary and rename it over the target
};

// The length of a temporary's name, and how many random bytes make one.
constexpr std::size_t temporary_name_length = 15;
constexpr std::size_t temporary_random_bytes = 6;

// A temporary's name: ".gantrel-" and six characters, one from each of the `random` bytes, which
// come from the operating system's random source so that nobody can guess the name in advance.
// Short and of fixed length whatever the target's name, and lower case, since Windows names
// ignore case; exclusive creation settles any clash.
std::string temporary_name(const unsigned char (&random)[temporary_random_bytes]);

// Linux's rules for folders that anyone may write and only owners may delete from (sticky
// folders, such as /tmp): the settings fs.protected_symlinks, fs.protected_regular and
// fs.protected_fifos, each 0 (off), 1 or 2. The defaults are what distributions ship.
struct sticky_protection {
    int symlinks = 1;
    int regular = 1;
    int fifos = 1;
};

// Who owns a link or an existing file, the folder it is in, and who runs the tool.
struct ownership_facts {
    std::uint32_t folder_mode;   // the folder's permission bits, the sticky bit among them
    std::uint32_t folder_owner;  // user ids
    std::uint32_t owner;         // of the link or the file
    std::uint32_t runner;        // the effective user of the run
};

enum class existing_kind { regular, fifo, other };

// Whether the kernel follows a symbolic link for the runner: with protected symlinks on, a link
// in a sticky, world-writable folder only when the runner or the folder's owner owns it.
bool may_follow_link(const sticky_protection& protection, const ownership_facts& facts);

// Whether the kernel lets the runner open an existing file of this kind with O_CREAT: in a sticky
// folder that everyone (level 1) or its group (level 2) may write, another user's file or FIFO
// only when the folder's owner owns it.
bool may_open_existing(const sticky_protection& protection, const ownership_facts& facts,
                       existing_kind kind);

// The size of a content given as parts, and how many of a file's first `old_size` bytes it covers:
// the bytes an in-place write must be able to restore.
std::size_t content_size(const byte_span* parts, std::size_t part_count);
std::size_t bytes_covered(std::size_t old_size, const byte_span* parts, std::size_t part_count);

// Whether a temporary is worth creating for a target with these facts: only a plain file the
// process may write and open, or a name nothing holds yet, can be replaced by one.
bool temporary_wanted(const target_facts& facts);

// The one decision of a replacement, from everything the platform found out.
replacement decide_replacement(const target_facts& facts);

// Windows paths. `path` in the form the platform opens whatever its length: a path too long for
// MAX_PATH (260) once made absolute against `current_directory` becomes its "\\?\" form
// ("\\?\UNC\server\share\..." for a UNC path), made absolute, with backslashes, "." and ".."
// resolved, as the platform's full-path call would. Shorter paths, paths already in that form and
// device names such as NUL are returned as they are.
std::wstring extended_length_path(const std::wstring& path, const std::wstring& current_directory);

// The pause in milliseconds before retry `attempt` (from 0) of a final replace that another
// program briefly stood in the way of, or 0 when it is time to give up.
unsigned retry_pause_ms(int attempt);

// Windows console control events, by the numbers the platform gives them.
enum class console_event : unsigned long {
    ctrl_c = 0,
    ctrl_break = 1,
    close = 2,
    logoff = 5,
    shutdown = 6,
};

// Whether a console control event `event` is held back until the temporary is replaced or
// removed, rather than ending the process at once: every event that would end it (Ctrl+C,
// Ctrl+Break, closing the console, logging off, shutting down), and only while a temporary exists.
bool console_event_held(unsigned long event, bool temporary_exists);

// The exit code a process ends with once a held event is acted on: what the platform's default
// handler gives, so that cmd.exe still offers to terminate the batch job.
constexpr unsigned long held_event_exit_code = 0xC000013AUL;  // STATUS_CONTROL_C_EXIT

}  // namespace gantrel
