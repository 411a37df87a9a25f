#include "files/files.h"

namespace gantrel {

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

std::string temporary_name(std::uint64_t& state) {
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string name = ".gantrel-";
    for (int i = 0; i < 6; ++i) {
        state += 0x9E3779B97F4A7C15ULL;  // splitmix64
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        z ^= z >> 31;
        name += alphabet[z % (sizeof alphabet - 1)];
    }
    return name;
}

bool temporary_wanted(const target_facts& facts) {
    if (facts.is_directory) {
        return false;
    }
    return !facts.exists || (facts.is_regular && facts.writable);
}

replacement decide_replacement(const target_facts& facts) {
    if (facts.is_directory) {
        return replacement::refuse_open;
    }
    if (facts.exists && !facts.is_regular) {
        return replacement::write_directly;
    }
    // A file its user may not write must not be replaced behind its owner's back.
    if (facts.exists && !facts.writable) {
        return replacement::refuse_open;
    }
    // Overwriting in place restores the old bytes on failure, so it must be able to read them.
    const replacement in_place =
        facts.readable ? replacement::write_in_place : replacement::refuse_open;
    switch (facts.temporary) {
        case temporary_outcome::not_tried:
        case temporary_outcome::no_folder:
            return replacement::refuse_open;
        case temporary_outcome::refused:
            return facts.exists ? in_place : replacement::refuse_open;
        case temporary_outcome::failed:
            // Out of space or inodes: writing in place could tear the target, so nothing is.
            return replacement::refuse_write;
        case temporary_outcome::created:
            break;
    }
    // A rename would split hard links apart or change who owns the file and what it carries.
    if (facts.exists && (facts.several_links || !facts.attributes_copied)) {
        return in_place;
    }
    return replacement::rename_temporary;
}

}  // namespace gantrel
