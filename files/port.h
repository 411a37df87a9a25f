#pragma once

// What each platform gives the one replacement in files/replace.cpp, which gathers the facts,
// lets files/decision.h decide and acts. `replacement_target` (what is held open for one
// replacement: the target's folder, the target itself, the temporary) and `held_interruptions`
// (signals on POSIX, console control events on Windows, held from the temporary's creation to its
// rename or removal) are the platform's own, from its target.h.

#include <cstddef>

#include "files/decision.h"
#include "files/files.h"

#ifdef _WIN32
#include "files/win32/target.h"
#else
#include "files/posix/target.h"
#endif

namespace gantrel {

// Finds what `path` names, as a plain open would reach it, and opens it for writing if it is
// there and may be opened: every fact up to `temporary`.
void gather_target(const native_path& path, replacement_target& target, target_facts& facts);

// Creates the temporary beside the target and gives it an existing target's attributes: fills
// `temporary` and the attribute facts.
void stage_temporary(replacement_target& target, target_facts& facts);

// Removes a temporary that will not be renamed, if there is one.
void discard_temporary(replacement_target& target);

// The three ways of writing; each leaves no temporary behind.
replace_status write_directly(const replacement_target& target, const byte_span* parts,
                              std::size_t part_count);
replace_status write_in_place(replacement_target& target, bool restorable, const byte_span* parts,
                              std::size_t part_count);
replace_status rename_temporary(replacement_target& target, bool target_exists,
                                const byte_span* parts, std::size_t part_count);

}  // namespace gantrel
