#include "files/posix/signals.h"

#include <initializer_list>

namespace gantrel {

held_interruptions::held_interruptions() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        sigaddset(&set, signal_number);
    }
    sigprocmask(SIG_BLOCK, &set, &previous);
}

held_interruptions::~held_interruptions() {
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace gantrel
