#pragma once

#include <signal.h>

namespace gantrel {

// Holds back the signals that end a process by default and that a user or a batch runner sends
// (SIGINT, SIGTERM, SIGHUP, SIGQUIT) for its lifetime, from the first byte staged until the
// temporary is renamed or removed, so none of them leaves a temporary or a torn target; one that
// arrived meanwhile acts as usual once they are released.
struct held_interruptions {
    sigset_t previous;
    held_interruptions();
    ~held_interruptions();
    held_interruptions(const held_interruptions&) = delete;
    held_interruptions& operator=(const held_interruptions&) = delete;
};

}  // namespace gantrel
