#pragma once

// What the command needs of the platform before a run: one implementation per platform.

#include <vector>

#include "tool/run.h"

namespace gantrel {

// Makes writes to a closed standard output or a pipe whose reader is gone fail quietly instead
// of ending the process, and keeps files opened later off the standard descriptors.
void prepare_process();

// The arguments after the program name.
std::vector<argument> command_line_arguments(int argc, char** argv);

}  // namespace gantrel
