#pragma once

#include <filesystem>

#include "files/decision.h"
#include "files/win32/handle.h"

namespace gantrel {

// A temporary beside the target: open with delete access and, where the platform allows the mark
// to be cleared again, marked for deletion as soon as it exists, so that the system removes it
// when a terminated run dies with it open.
struct staged_file {
    handle file;
    std::filesystem::path path;
    bool marked = false;
};

// Creates the temporary in `folder` under a fresh random name, exclusively.
temporary_outcome create_temporary(const std::filesystem::path& folder, staged_file& out);

// Marks the open temporary for deletion when its handle is closed, or clears the mark.
bool mark_for_deletion(HANDLE file, bool mark);

// Puts the closed temporary in the target's place: with the replace-file call over an existing
// file, which keeps the replaced file's attributes, security descriptor, streams and creation
// time; with a plain move onto a new name.
bool move_into_place(const std::filesystem::path& temporary, const std::filesystem::path& target,
                     bool target_exists);

// Whether a failed move is worth another try after a pause: virus scanners, the search indexer
// and sync clients open fresh files for a moment, and these are the errors they cause.
bool held_for_a_moment(DWORD error);

// Closes and removes the temporary, if there is one.
void remove_temporary(staged_file& staged);

}  // namespace gantrel
