#pragma once

#include <windows.h>

#include <filesystem>

#include "files/win32/console.h"
#include "files/win32/handle.h"
#include "files/win32/temporary.h"

namespace gantrel {

// What one replacement holds open: the target's path, resolved through any link, its attributes
// and the open target, its folder held without delete sharing, and the temporary.
struct replacement_target {
    std::filesystem::path path;
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    handle existing;
    handle folder;
    staged_file staged;
};

}  // namespace gantrel
