#include "files/link_rules.h"

namespace gantrel {

namespace {

constexpr std::uint32_t sticky_bit = 01000;
constexpr std::uint32_t group_writable = 0020;
constexpr std::uint32_t world_writable = 0002;

std::string_view without_leading_slashes(std::string_view text) {
    const std::size_t start = text.find_first_not_of('/');
    return start == std::string_view::npos ? std::string_view() : text.substr(start);
}

}  // namespace

path_step first_step(std::string_view path) {
    const std::size_t slash = path.find('/');
    path_step step{};
    step.name = path.substr(0, slash);
    if (slash == std::string_view::npos) {
        step.last = true;
        return step;
    }
    step.rest = without_leading_slashes(path.substr(slash));
    step.last = step.rest.empty();
    step.trailing_slash = step.last;
    return step;
}

std::string after_link(std::string_view body, std::string_view rest) {
    std::string next(body);
    if (!rest.empty()) {
        next += '/';
        next += rest;
    }
    return next;
}

bool may_follow_link(const sticky_protection& protection, const ownership_facts& facts) {
    if (protection.symlinks == 0 || facts.owner == facts.runner) {
        return true;
    }
    const std::uint32_t open_to_all = sticky_bit | world_writable;
    if ((facts.folder_mode & open_to_all) != open_to_all) {
        return true;
    }
    return facts.folder_owner == facts.owner;
}

bool may_open_existing(const sticky_protection& protection, const ownership_facts& facts,
                       existing_kind kind) {
    if ((facts.folder_mode & sticky_bit) == 0) {
        return true;
    }
    if ((kind == existing_kind::regular && protection.regular == 0) ||
        (kind == existing_kind::fifo && protection.fifos == 0)) {
        return true;
    }
    if (facts.owner == facts.folder_owner || facts.owner == facts.runner) {
        return true;
    }
    if ((facts.folder_mode & world_writable) != 0) {
        return false;
    }
    if ((facts.folder_mode & group_writable) == 0) {
        return true;
    }
    const int level = kind == existing_kind::regular ? protection.regular
                      : kind == existing_kind::fifo  ? protection.fifos
                                                     : 0;
    return level < 2;
}

}  // namespace gantrel
