#pragma once

// How the kernel walks a path for a plain create-or-truncate open, as pure rules: the walk's
// limits, its steps from one component to the next, and Linux's rules for folders that anyone
// may write and only owners may delete from (sticky folders, such as /tmp). The POSIX walk in
// files/posix/resolve.cpp follows them one component at a time, so that it refuses exactly where
// the kernel would.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace gantrel {

// The kernel's limits for one lookup: a path of this many bytes or more is too long
// (ENAMETOOLONG), and the link after this many, counted over the whole lookup however the links
// nest, is one too many (ELOOP).
constexpr std::size_t path_limit = 4096;
constexpr int link_limit = 40;

// One step of a walk: the first component of `rest`, what follows it, and where it stands.
struct path_step {
    std::string_view name;  // empty only for a path of slashes alone
    std::string_view rest;  // after the component and the slashes that follow it
    bool last;              // nothing but slashes follows
    bool trailing_slash;    // a last component followed by a slash names a folder
};

// The first step of `path`, whose leading slashes the caller has dealt with.
path_step first_step(std::string_view path);

// What is left to walk once a link met in place of a component is read: its body, then whatever
// followed the component. A link whose body ends the walk is trailing: the host's rule for links
// applies to it (below), and not to a link met on the way to a folder.
std::string after_link(std::string_view body, std::string_view rest);

// The settings fs.protected_symlinks, fs.protected_regular and fs.protected_fifos, each 0 (off),
// 1 or 2. The defaults are what distributions ship.
struct sticky_protection {
    int symlinks = 1;
    int regular = 1;
    int fifos = 1;
};

// Who owns a link or an existing file, the folder it is in, and who runs the tool.
struct ownership_facts {
    std::uint32_t folder_mode;   // the folder's permission bits, the sticky bit among them
    std::uint32_t folder_owner;  // user ids
    std::uint32_t owner;         // of the link or the file
    std::uint32_t runner;        // the effective user of the run
};

enum class existing_kind { regular, fifo, other };

// Whether the kernel follows a trailing symbolic link for the runner: with protected symlinks
// on, a link in a sticky, world-writable folder only when the runner or the folder's owner owns
// it.
bool may_follow_link(const sticky_protection& protection, const ownership_facts& facts);

// Whether the kernel lets the runner open an existing file of this kind with O_CREAT. In a sticky
// folder, another user's file is opened only when the folder's owner owns it, or: a plain file
// or a FIFO when its setting is 0, or at level 1 when only the folder's group (not everyone) may
// write the folder; anything else (a device, say) when not everyone may write the folder,
// whatever the settings.
bool may_open_existing(const sticky_protection& protection, const ownership_facts& facts,
                       existing_kind kind);

}  // namespace gantrel
