// The gantrel command: everything but the platform's start-up lives in run.

#include <cstdio>

#include "tool/platform.h"
#include "tool/run.h"

int main(int argc, char** argv) {
    gantrel::prepare_process();
    return gantrel::run(gantrel::command_line_arguments(argc, argv), stdout);
}
