#pragma once

#include <sys/types.h>

#include <string>

#include "files/decision.h"
#include "files/posix/descriptor.h"

namespace gantrel {

enum class temporary_state {
    none,     // not created, or gone: renamed into place or removed
    unnamed,  // an O_TMPFILE file that no name holds, which not even SIGKILL can leave behind
    named,    // created exclusively under `name` in the held folder
};

struct staged_file {
    descriptor file;
    temporary_state state = temporary_state::none;
    std::string name;  // while named
    // The folder keeps every name it is given (append-only): the temporary may only become the
    // target's own new name, never a name that would have to be renamed or removed.
    bool folder_keeps_names = false;
};

// Creates a temporary in `folder` with `mode`: unnamed where the file system offers that and the
// run can later link it, otherwise named; in a folder that keeps its names, unnamed or not at all.
temporary_outcome create_temporary(int folder, mode_t mode, bool folder_keeps_names,
                                   staged_file& out);

// Puts the written temporary at `name` in `folder`, atomically: an unnamed one is linked under a
// fresh name (or straight to `name` when nothing is there) and renamed over the target. On
// failure the temporary is gone.
bool move_into_place(staged_file& staged, int folder, const std::string& name, bool target_exists);

// Removes the temporary if it has a name; an unnamed one goes with its descriptor.
void remove_temporary(staged_file& staged, int folder);

}  // namespace gantrel
