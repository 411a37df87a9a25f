#include <windows.h>
// shellapi.h needs the types of windows.h.
#include <shellapi.h>

#include <filesystem>

#include "tool/platform.h"

namespace gantrel {

void prepare_process() {
    // A batch run must never stop at a dialog box, for a missing drive or for a crash.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
}

std::vector<argument> command_line_arguments(int argc, char** argv) {
    // The narrow arguments go through the ANSI code page, which cannot name every file: paths
    // are taken from the UTF-16 command line, split by the same rules.
    int wide_count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &wide_count);
    std::vector<argument> arguments;
    for (int i = 1; i < argc; ++i) {
        if (wide != nullptr && wide_count == argc) {
            arguments.push_back(argument{argv[i], native_path(wide[i])});
        } else {
            arguments.push_back(argument{argv[i], std::filesystem::path(argv[i]).native()});
        }
    }
    if (wide != nullptr) {
        LocalFree(wide);
    }
    return arguments;
}

}  // namespace gantrel
