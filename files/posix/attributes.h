#pragma once

#include <sys/stat.h>

namespace gantrel {

enum class copy_result {
    copied,
    unstorable,  // every step that failed failed as where the file system cannot store it
    failed,
};

// Gives the temporary `copy` exactly what the open target `target` (whose status is `info`)
// carries: its owner and group, its extended attributes (POSIX ACLs among them) and no others
// (not even an access ACL inherited from the folder's default), its permission bits and its
// inode flags. A step the file system cannot store is passed over, so that the others are still
// given.
copy_result copy_attributes(int target, const struct stat& info, int copy);

// Whether the temporary shows what the target shows: permission bits, owner, group and extended
// attributes. Then renaming it over the target loses nothing, whatever could not be set.
bool shown_alike(int target, const struct stat& info, int copy);

}  // namespace gantrel
