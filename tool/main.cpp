// The gantrel command: everything but the platform's start-up lives in run.

#include <cstdio>

#include "tool/platform.h"
#include "tool/run.h"

#ifdef _WIN32
// The UTF-16 entry point: the command line is split once, by the C runtime's rules, and every
// form of an argument (the path opened, the bytes hashed and printed) comes from that one split.
int wmain(int argc, wchar_t** argv) {
#else
int main(int argc, char** argv) {
#endif
    gantrel::prepare_process();
    // Every message is written whole and flushed at once, so a buffer would only cost memory.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    return gantrel::run(gantrel::command_line_arguments(argc, argv), stdout);
}
