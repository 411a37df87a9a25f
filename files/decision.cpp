#include "files/decision.h"

namespace gantrel {

bool temporary_wanted(const target_facts& facts) {
    if (facts.status_unknown || facts.is_directory || facts.sticky_refused) {
        return false;
    }
    return !facts.exists || (facts.is_regular && facts.writable);
}

replacement decide_replacement(const target_facts& facts) {
    // What cannot be known, or what a plain open by the same user would not get, is not touched.
    if (facts.status_unknown || facts.is_directory || facts.sticky_refused) {
        return replacement::refuse_open;
    }
    // A wire file never belongs on a disk: writing one there destroys what the disk held.
    if (facts.exists && facts.is_block_device) {
        return replacement::refuse_open;
    }
    if (facts.exists && !facts.is_regular) {
        return facts.writable ? replacement::write_directly : replacement::refuse_open;
    }
    // A file its user may not write must not be replaced behind its owner's back.
    if (facts.exists && !facts.writable) {
        return replacement::refuse_open;
    }
    switch (facts.temporary) {
        case temporary_outcome::not_tried:
        case temporary_outcome::no_folder:
            return replacement::refuse_open;
        case temporary_outcome::refused:
            return facts.exists ? replacement::write_in_place : replacement::refuse_open;
        case temporary_outcome::failed:
            // Out of space or inodes: writing in place could tear the target, so nothing is.
            return replacement::refuse_write;
        case temporary_outcome::created:
            break;
    }
    // A rename would split hard links apart or change who owns the file and what it carries;
    // not where the file system could not have kept what was not given, and shows the same.
    const bool nothing_lost =
        facts.attributes_copied || (facts.attributes_unstorable && facts.attributes_shown_alike);
    if (facts.exists && (facts.several_links || !nothing_lost)) {
        return replacement::write_in_place;
    }
    return replacement::rename_temporary;
}

std::string temporary_name(const unsigned char (&random)[temporary_random_bytes]) {
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string name = ".gantrel-";
    for (const unsigned char byte : random) {
        name += alphabet[byte % (sizeof alphabet - 1)];
    }
    return name;
}

std::size_t content_size(const byte_span* parts, std::size_t part_count) {
    std::size_t size = 0;
    for (std::size_t i = 0; i < part_count; ++i) {
        size += parts[i].size;
    }
    return size;
}

std::size_t bytes_covered(std::size_t old_size, const byte_span* parts, std::size_t part_count) {
    const std::size_t size = content_size(parts, part_count);
    return old_size < size ? old_size : size;
}

}  // namespace gantrel
