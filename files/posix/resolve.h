#pragma once

#include <sys/stat.h>

#include <string>

#include "files/link_rules.h"
#include "files/posix/descriptor.h"

namespace gantrel {

// Where a path leads: the folder that holds its last component, held open from the walk to the
// end of the replacement (every later step is relative to it, so renaming or swapping any folder
// on the way cannot move the write), and the name in it.
struct resolved_path {
    descriptor folder;  // opened with O_PATH
    struct stat folder_info {};
    std::string name;
    int status_error = 0;  // 0 when `info` holds what the name is, ENOENT when it names nothing
    struct stat info {};
    sticky_protection protection;  // the host's, read once a sticky folder is met
};

// Walks `path` one component at a time from the current folder (or the root), holding each
// folder open and reading each link itself, as the kernel walks it for a plain create-or-truncate
// open by this user: the same length and link limits, the host's rule for trailing links, and
// the final links followed so that a link stays and the name it leads to is replaced (a dangling
// link leads to the name it points at). False wherever that open would be refused on the way.
bool resolve_path(const std::string& path, resolved_path& out);

// The facts the host's rules for sticky folders judge `owned` by, in the folder `out` holds.
ownership_facts ownership(const resolved_path& where, const struct stat& owned);

}  // namespace gantrel
