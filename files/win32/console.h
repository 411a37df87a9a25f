#pragma once

namespace gantrel {

// Holds console control events (Ctrl+C, Ctrl+Break, closing the console, logging off, shutting
// down) for its lifetime, from the temporary's creation to its replace or removal; one that
// arrived meanwhile ends the process afterwards, as the platform's default handler would have.
struct held_interruptions {
    held_interruptions();
    ~held_interruptions();
    held_interruptions(const held_interruptions&) = delete;
    held_interruptions& operator=(const held_interruptions&) = delete;
};

}  // namespace gantrel
