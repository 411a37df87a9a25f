#include <optional>

#include "files/port.h"

namespace gantrel {

replace_status replace_file(const native_path& path, const byte_span* parts,
                            std::size_t part_count) {
    // Outlives the target, whose temporary its closing may remove: a device or FIFO written
    // directly may block, and stays interruptible, so the hold begins only with a temporary.
    std::optional<held_interruptions> hold;
    replacement_target target;
    target_facts facts{};
    gather_target(path, target, facts);
    if (temporary_wanted(facts)) {
        hold.emplace();
        stage_temporary(target, facts);
    }
    const replacement decision = decide_replacement(facts);
    if (decision != replacement::rename_temporary) {
        discard_temporary(target);
    }
    switch (decision) {
        case replacement::refuse_open:
            return replace_status::cannot_open;
        case replacement::refuse_write:
            return replace_status::cannot_write;
        case replacement::write_directly:
            return write_directly(target, parts, part_count);
        case replacement::write_in_place:
            return write_in_place(target, facts.readable, parts, part_count);
        case replacement::rename_temporary:
            return rename_temporary(target, facts.exists, parts, part_count);
    }
    return replace_status::cannot_open;
}

}  // namespace gantrel
