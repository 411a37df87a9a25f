#pragma once

#include <sys/stat.h>

#include "files/posix/descriptor.h"
#include "files/posix/resolve.h"
#include "files/posix/signals.h"
#include "files/posix/temporary.h"

namespace gantrel {

// What one replacement holds open: the folder the target's path leads to and the name in it,
// the existing target opened for writing, and the temporary.
struct replacement_target {
    resolved_path where;
    descriptor existing;
    struct stat existing_info {};  // of the open target
    staged_file staged;
};

}  // namespace gantrel
