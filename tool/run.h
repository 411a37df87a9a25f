#pragma once

// One run of gantrel: converts one mesh data file into one wire file and reports on `out`.

#include <cstdio>
#include <string>
#include <vector>

#include "files/files.h"

namespace gantrel {

// A command-line argument both as the bytes the command line gave, which messages print and the
// mesh name hashes, and as the path it names, which files are opened by. On Windows the path is
// built from the UTF-16 command line, so names outside the ANSI code page still open.
struct argument {
    std::string text;
    native_path path;
};

// Runs the tool on the arguments after the program name. Every message is one line on `out`,
// flushed at once; a failure to write `out` is ignored. Returns the exit status, which is 0 on
// every path: a script tells success by the line "Successfully wrote quorvwire".
int run(const std::vector<argument>& arguments, std::FILE* out);

}  // namespace gantrel
