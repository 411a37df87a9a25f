#pragma once

// The replacement's one decision, taken on what the platform found out about a target, and the
// small pure rules around it. No file is touched here: each rule has a table of cases in the
// tests.

#include <cstddef>
#include <string>

#include "files/files.h"

namespace gantrel {

// What became of the attempt to create a temporary beside the target.
enum class temporary_outcome {
    not_tried,  // the target is not a file that a temporary could replace
    created,
    refused,    // the folder refuses new files (permissions, a read-only mount, an immutable
                // folder), or keeps every name it holds (append-only), so no rename can follow
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
    bool sticky_refused;  // the host's rules for sticky folders forbid opening it
    bool writable;        // the process may open it for writing
    bool readable;        // the process may open it for reading too, so its bytes can be restored
    bool several_links;   // it has more than one hard link
    temporary_outcome temporary;
    // Owner, group, mode, ACL, extended attributes and inode flags were given to the temporary.
    bool attributes_copied;
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
    write_in_place,    // overwrite the target's own bytes, restoring them on failure if readable
    rename_temporary,  // write the temporary and rename it over the target
};

// Whether a temporary is worth creating for a target with these facts: only a plain file the
// process may write, or a name nothing holds yet, can be replaced by one.
bool temporary_wanted(const target_facts& facts);

// The one decision of a replacement, from everything the platform found out.
replacement decide_replacement(const target_facts& facts);

// The length of a temporary's name, and how many random bytes make one.
constexpr std::size_t temporary_name_length = 15;
constexpr std::size_t temporary_random_bytes = 6;

// A temporary's name: ".gantrel-" and six characters, one from each of the `random` bytes, which
// come from the operating system's random source so that nobody can guess the name in advance.
// Short and of fixed length whatever the target's name, and lower case, since Windows names
// ignore case; exclusive creation settles any clash.
std::string temporary_name(const unsigned char (&random)[temporary_random_bytes]);

// The size of a content given as parts, and how many of a file's first `old_size` bytes it covers:
// the bytes an in-place write that cuts the file last must be able to restore.
std::size_t content_size(const byte_span* parts, std::size_t part_count);
std::size_t bytes_covered(std::size_t old_size, const byte_span* parts, std::size_t part_count);

}  // namespace gantrel
