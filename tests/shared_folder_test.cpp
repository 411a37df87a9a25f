// Shared folders (POSIX, as root): in each scene the tool is compared with a plain
// open(O_WRONLY | O_CREAT | O_TRUNC) by the same user, with the host's rules for sticky folders
// (fs.protected_symlinks, _regular, _fifos) on and off. Another user's swaps during a run are made
// deterministic by holding one system call of the run under strace. The host's settings are
// global: these tests change them only around a case, restore them always, and run alone.

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "mesh/name_hash.h"
#include "support/bytes.h"
#include "support/host_settings.h"
#include "support/meshes.h"
#include "support/run_tool_posix.h"

namespace gantrel {
namespace {

namespace fs = std::filesystem;
using test::apply;
using test::as_user;
using test::bytes;
using test::host_settings;
using test::nobody;
using test::outcome;
using test::read_file;
using test::standard_output;
using test::write_file;

using test::abc_mesh;
using test::abc_wire;
const bytes secret(64, 0x5A);
constexpr uid_t third_user = 1000;
const std::string reports =
    "total number of triangles in mesh = 2\ntotal number of lines in mesh = 5\n";

// What a plain create-or-truncate open of `path` by `user` gets; ENXIO from a FIFO without a
// reader counts as allowed, since a reader would have let it through.
bool plain_open_allowed(uid_t user, const fs::path& path) {
    return as_user(user, [&] {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK, 0666);
        if (fd >= 0) {
            close(fd);
        }
        return fd >= 0 || errno == ENXIO;
    });
}

// Every file under `root` with its content, links as their targets: a scene's fingerprint.
std::vector<std::string> snapshot(const fs::path& root) {
    std::vector<std::string> out;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const fs::path& p = entry.path();
        std::string line = p.lexically_relative(root).string();
        if (fs::is_symlink(fs::symlink_status(p))) {
            line += " -> " + fs::read_symlink(p).string();
        } else if (fs::is_regular_file(fs::symlink_status(p))) {
            const bytes content = read_file(p);
            line += " = " + std::string(content.begin(), content.end());
        }
        out.push_back(line);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// Runs gantrel like run_gantrel, but ends it after ten seconds: a run that writes into a FIFO
// nobody reads would otherwise wait for ever.
outcome run_limited(const fs::path& folder, const std::vector<std::string>& arguments,
                    bool unprivileged, bool input_closed = false) {
    int output_fd = -1;
    const pid_t child = test::start_gantrel(
        folder, arguments, {standard_output::captured, 0, 0, unprivileged, input_closed},
        &output_fd);
    fcntl(output_fd, F_SETFL, O_NONBLOCK);
    std::string output;
    const auto drain = [&] {
        char buffer[4096];
        for (ssize_t got = 0; (got = read(output_fd, buffer, sizeof buffer)) > 0;) {
            output.append(buffer, static_cast<std::size_t>(got));
        }
    };
    const int status = test::wait_with_deadline(child, 10000, drain).status;
    drain();
    close(output_fd);
    return {status, output};
}

class SharedFolders : public test::settings_folder {
protected:
    void TearDown() override {
        for (const pid_t child : readers) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        settings_folder::TearDown();
    }

    // The scene: a sticky folder anyone may write like /tmp, one a group may write, one owned by
    // nobody, a world-writable folder without the sticky bit, and root's files out of reach.
    void build_scene() {
        const fs::path s = folder / "scene";
        test::remove_tree(s);
        const auto make = [&](const char* name, mode_t mode, uid_t owner, gid_t group) {
            fs::create_directories(s / name);
            chown((s / name).c_str(), owner, group);
            chmod((s / name).c_str(), mode);
        };
        make("", 0755, 0, 0);
        make("sticky", 01777, 0, 0);
        make("group_sticky", 01770, 0, nobody);
        make("nobody_sticky", 01777, nobody, nobody);
        make("open", 0777, 0, 0);
        make("private", 0700, 0, 0);
        make("public", 0755, 0, 0);
        make("nobody_private", 0700, nobody, nobody);
        write_file(s / "private/secret", secret);
        write_file(s / "public/secret", secret);
        write_file(s / "nobody_private/secret", secret);
        chmod((s / "private/secret").c_str(), 0600);
        chown((s / "nobody_private/secret").c_str(), nobody, nobody);
        chmod((s / "nobody_private/secret").c_str(), 0600);
        write_file(folder / "m", abc_mesh);
        chmod((folder / "m").c_str(), 0644);
    }

    // A fresh scene with a folder of the user nobody's inside the sticky folder: sticky/d.
    fs::path scene_with_folder_of_nobody() {
        build_scene();
        const fs::path mine = folder / "scene/sticky/d";
        fs::create_directories(mine);
        chown(mine.c_str(), nobody, nobody);
        chmod(mine.c_str(), 0755);
        return mine;
    }

    // A link or file at `at`, made as if `owner` had made it.
    static void link_as(uid_t owner, const std::string& target, const fs::path& at) {
        fs::create_symlink(target, at);
        lchown(at.c_str(), owner, nobody);
    }

    // Runs gantrel on m, abc and `output` under strace, which holds the system calls `calls`
    // that `held` selects 0.4 s each (such as "-P w -e inject=openat:delay_enter=400000"), and
    // makes `swap` as nobody once the run is in the first of them; what the run printed. Each
    // message goes out as it is made: the reports are printed by then, to a file too.
    std::string run_held(const std::string& calls, const std::string& held, const fs::path& output,
                         const std::function<bool()>& swap) {
        const fs::path trace = folder / "trace";
        const pid_t run = test::start_traced(folder, {"m", "abc", output.string()}, calls, held,
                                             trace, folder / "printed");
        const std::string first = calls.substr(0, calls.find(','));
        EXPECT_NE(test::traced_process_at(trace, first, 2000), -1)
            << "the run never reached " << first;
        const bytes so_far = read_file(folder / "printed");
        EXPECT_EQ(std::string(so_far.begin(), so_far.end()), reports) << "held in " << first;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_TRUE(as_user(nobody, swap)) << "the swap failed";
        test::traced_status(run, 20000);
        const bytes traced = read_file(trace);
        EXPECT_NE(std::string(traced.begin(), traced.end()).find("(DELAYED)"), std::string::npos)
            << "no call was held";
        fs::remove(trace);
        const bytes printed = read_file(folder / "printed");
        return std::string(printed.begin(), printed.end());
    }

public:
    // A process that reads the FIFO at `path` to its end, so that writers need not wait.
    void start_reader(const fs::path& path) {
        const pid_t child = fork();
        if (child == 0) {
            const int fd = open(path.c_str(), O_RDONLY);
            char buffer[256];
            while (fd >= 0 && read(fd, buffer, sizeof buffer) > 0) {
            }
            _exit(0);
        }
        readers.push_back(child);
    }

protected:
    std::vector<pid_t> readers;
};

// A loop device over a small image of known bytes, detached when done; empty where loop
// devices cannot be set up.
struct loop_device {
    fs::path image;
    std::string device;
    explicit loop_device(const fs::path& folder) : image(folder / "disk.img") {
        write_file(image, bytes(4096, 0xD5));
        std::FILE* pipe =
            popen(("losetup -f --show '" + image.string() + "' 2>/dev/null").c_str(), "r");
        char line[256] = {};
        if (pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr) {
            device = line;
            device.erase(device.find_last_not_of("\n") + 1);
        }
        if (pipe != nullptr) {
            pclose(pipe);
        }
    }
    ~loop_device() {
        if (!device.empty()) {
            std::system(("losetup -d " + device).c_str());
        }
    }
    loop_device(const loop_device&) = delete;
    loop_device& operator=(const loop_device&) = delete;
};

TEST_F(SharedFolders, TheToolNeverWritesWhereAPlainOpenIsRefused) {
    const host_settings on{1, 1, 1};
    const host_settings off{0, 0, 0};
    const host_settings level2{1, 2, 2};
    const loop_device disk(folder);
    struct row {
        const char* what;
        host_settings host;
        uid_t runner;
        std::function<void(SharedFolders&, const fs::path& scene)> plant;
        std::string output;  // relative to the scene
        bool written;        // the tool writes; otherwise "Could not open file"
        bool needs_disk;
    };
    const auto file_of = [](uid_t owner, mode_t mode) {
        return [owner, mode](SharedFolders&, const fs::path& s) {
            write_file(s / "sticky/out", secret);
            write_file(s / "group_sticky/out", secret);
            for (const char* name : {"sticky/out", "group_sticky/out"}) {
                chown((s / name).c_str(), owner, nobody);
                chmod((s / name).c_str(), mode);
            }
        };
    };
    const auto fifo_of = [](uid_t owner, bool reader) {
        return [owner, reader](SharedFolders& t, const fs::path& s) {
            mkfifo((s / "sticky/out").c_str(), 0666);
            chown((s / "sticky/out").c_str(), owner, nobody);
            if (reader) {
                t.start_reader(s / "sticky/out");
            }
        };
    };
    const auto to_secret = [](uid_t owner, const char* where) {
        return [owner, where](SharedFolders&, const fs::path& s) {
            link_as(owner, "../private/secret", s / where / "out");
        };
    };
    const auto device_of = [](uid_t owner, const char* where) {
        return [owner, where](SharedFolders&, const fs::path& s) {
            ASSERT_EQ(mknod((s / where).c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
            chown((s / where).c_str(), owner, nobody);
        };
    };
    // Links open/l1 .. open/lN, each to the next, the last to its own folder.
    const auto chain_of = [](int count) {
        return [count](SharedFolders&, const fs::path& s) {
            for (int i = 1; i <= count; ++i) {
                link_as(0, i == count ? "." : "l" + std::to_string(i + 1),
                        s / "open" / ("l" + std::to_string(i)));
            }
        };
    };
    const auto flagged_folder = [](int flags, bool existing) {
        return [flags, existing](SharedFolders&, const fs::path& s) {
            if (existing) {
                write_file(s / "open/out", secret);
            }
            ASSERT_TRUE(test::change_inode_flags(s / "open", flags)) << "no inode flags here";
        };
    };
    // open/out under a path of exactly `length` bytes, padded with "./".
    const auto padded = [&](std::size_t length) {
        const std::size_t fixed = (folder / "scene").string().size() + 1 + 8;
        std::string middle;
        while (fixed + middle.size() + 2 <= length) {
            middle += "./";
        }
        if (fixed + middle.size() < length) {
            middle += "/";
        }
        return middle + "open/out";
    };
    const auto nothing = [](SharedFolders&, const fs::path&) {};
    const row rows[] = {
        {"another user's device in a sticky folder, every rule off", off, 0,
         device_of(nobody, "sticky/out"), "sticky/out", false, false},
        {"another user's device in a group-writable sticky folder", level2, 0,
         device_of(nobody, "group_sticky/out"), "group_sticky/out", true, false},
        {"another user's link to a folder, on the way", on, 0,
         [](SharedFolders&, const fs::path& s) { link_as(nobody, "../public", s / "sticky/via"); },
         "sticky/via/out", true, false},
        {"a chain of 40 links on the way", on, 0, chain_of(40), "open/l1/out", true, false},
        {"... of 41", on, 0, chain_of(41), "open/l1/out", false, false},
        {"a path of 4095 bytes", on, 0, nothing, padded(4095), true, false},
        {"... of 4096", on, 0, nothing, padded(4096), false, false},
        {"a file the runner may write but not read, in a folder closed to it", on, nobody,
         [](SharedFolders&, const fs::path& s) {
             write_file(s / "public/out", secret);
             chmod((s / "public/out").c_str(), 0622);
         },
         "public/out", true, false},
        {"an append-only folder, an existing file", on, 0, flagged_folder(FS_APPEND_FL, true),
         "open/out", true, false},
        {"... a new file", on, 0, flagged_folder(FS_APPEND_FL, false), "open/out", true, false},
        {"an immutable folder, an existing file", on, 0, flagged_folder(FS_IMMUTABLE_FL, true),
         "open/out", true, false},
        {"... a new file", on, 0, flagged_folder(FS_IMMUTABLE_FL, false), "open/out", false, false},
        {"another user's link to a root file", on, 0, to_secret(nobody, "sticky"), "sticky/out",
         false, false},
        {"... with the rule off", off, 0, to_secret(nobody, "sticky"), "sticky/out", true, false},
        {"an absolute link", on, 0,
         [](SharedFolders&, const fs::path& s) {
             link_as(nobody, (s / "private/secret").string(), s / "sticky/out");
         },
         "sticky/out", false, false},
        {"a chain of links", on, 0,
         [](SharedFolders&, const fs::path& s) {
             link_as(nobody, "b", s / "sticky/out");
             link_as(nobody, "../private/secret", s / "sticky/b");
         },
         "sticky/out", false, false},
        {"a chain whose second link is root's", on, 0,
         [](SharedFolders&, const fs::path& s) {
             link_as(0, "b", s / "sticky/out");
             link_as(nobody, "../private/secret", s / "sticky/b");
         },
         "sticky/out", false, false},
        {"a dangling link into a root-only folder", on, 0,
         [](SharedFolders&, const fs::path& s) {
             link_as(nobody, "../private/new", s / "sticky/out");
         },
         "sticky/out", false, false},
        {"... with the rule off", off, 0,
         [](SharedFolders&, const fs::path& s) {
             link_as(nobody, "../private/new", s / "sticky/out");
         },
         "sticky/out", true, false},
        {"a link by the folder's owner is followed", on, 0, to_secret(nobody, "nobody_sticky"),
         "nobody_sticky/out", true, false},
        {"a link in a folder without the sticky bit", on, 0, to_secret(nobody, "open"), "open/out",
         true, false},
        {"a link in a group-writable sticky folder", level2, 0, to_secret(nobody, "group_sticky"),
         "group_sticky/out", true, false},
        {"an unprivileged runner and a third user's link to its file", on, nobody,
         [](SharedFolders&, const fs::path& s) {
             link_as(third_user, "../nobody_private/secret", s / "sticky/out");
         },
         "sticky/out", false, false},
        {"... with the rule off", off, nobody,
         [](SharedFolders&, const fs::path& s) {
             link_as(third_user, "../nobody_private/secret", s / "sticky/out");
         },
         "sticky/out", true, false},
        {"another user's file", on, 0, file_of(nobody, 0666), "sticky/out", false, false},
        {"... with the rule off", off, 0, file_of(nobody, 0666), "sticky/out", true, false},
        {"another user's file, two links", on, 0,
         [](SharedFolders&, const fs::path& s) {
             write_file(s / "sticky/out", secret);
             chown((s / "sticky/out").c_str(), nobody, nobody);
             fs::create_hard_link(s / "sticky/out", s / "sticky/second");
         },
         "sticky/out", false, false},
        {"the runner's own file", on, 0, file_of(0, 0644), "sticky/out", true, false},
        {"another user's file in a group-writable folder, level 1", on, 0, file_of(nobody, 0666),
         "group_sticky/out", true, false},
        {"... level 2", level2, 0, file_of(nobody, 0666), "group_sticky/out", false, false},
        // The walk breaks off in open/sub, where a FIFO bears the link's own name.
        {"a link to a path that breaks off past a folder", on, 0,
         [](SharedFolders& t, const fs::path& s) {
             fs::create_directory(s / "open/sub");
             mkfifo((s / "open/sub/out").c_str(), 0666);
             t.start_reader(s / "open/sub/out");
             link_as(0, "sub/missing/out", s / "open/out");
         },
         "open/out", false, false},
        {"another user's FIFO", on, 0, fifo_of(nobody, false), "sticky/out", false, false},
        {"... with the rule off, a reader waiting", off, 0, fifo_of(nobody, true), "sticky/out",
         true, false},
        {"a link to a block device", off, 0,
         [&](SharedFolders&, const fs::path& s) { link_as(0, disk.device, s / "open/out"); },
         "open/out", false, true},
        {"a block device given directly", off, 0,
         [&](SharedFolders&, const fs::path& s) { link_as(0, disk.device, s / "open/out"); },
         disk.device, false, true},
    };
    for (const row& r : rows) {
        if (r.needs_disk && disk.device.empty()) {
            std::printf("skipped \"%s\": no loop device here\n", r.what);
            continue;
        }
        ASSERT_TRUE(apply(r.host)) << r.what;
        const fs::path s = folder / "scene";
        const fs::path output =
            fs::path(r.output).is_absolute() ? fs::path(r.output) : s / r.output;
        build_scene();
        r.plant(*this, s);
        const bool plain = plain_open_allowed(r.runner, output);
        build_scene();
        r.plant(*this, s);
        const std::vector<std::string> before = snapshot(s);
        const outcome result = run_limited(folder, {"m", "abc", output.string()}, r.runner != 0);
        EXPECT_TRUE(WIFEXITED(result.status)) << r.what << ": the run hung and was killed";
        const std::string printed = output.string();
        if (r.written) {
            EXPECT_EQ(result.output, reports + "Successfully wrote quorvwire\n") << r.what;
        } else {
            EXPECT_EQ(result.output, reports + "Could not open file " + printed + "\n") << r.what;
            EXPECT_EQ(snapshot(s), before) << r.what;
        }
        // The rule itself: never a write where the plain open was refused, and, but for the
        // refused block devices, a write wherever it was not.
        EXPECT_TRUE(plain || !r.written) << r.what << ": the tool wrote where open was refused";
        if (!r.needs_disk) {
            EXPECT_EQ(plain, r.written) << r.what << ": the plain open did otherwise";
        }
        if (r.written && fs::is_regular_file(output)) {
            test::change_inode_flags(s / "open", 0, FS_IMMUTABLE_FL | FS_APPEND_FL);
            EXPECT_EQ(read_file(output), abc_wire) << r.what;
        }
        for (const std::string& line : snapshot(s)) {
            EXPECT_EQ(line.find(".gantrel-"), std::string::npos) << r.what << ": " << line;
        }
    }
    if (!disk.device.empty()) {
        EXPECT_EQ(read_file(disk.image), bytes(4096, 0xD5)) << "the disk was written";
    }
}

// The other user's swap: its folder inside the sticky folder and its link to root's folder
// change places (renameat2 with RENAME_EXCHANGE) while the run is held in one system call.
TEST_F(SharedFolders, SwappingTheFolderDuringARunCannotMoveTheWrite) {
    if (!test::have_strace()) {
        GTEST_SKIP() << "strace is not installed";
    }
    struct row {
        const char* what;
        std::string calls;
        std::string held;
        bool existing;
    };
    const std::string delay = "delay_enter=400000";
    const row rows[] = {
        {"after the target is opened", "openat", "-P w -e inject=openat:delay_exit=400000", true},
        {"before the temporary is linked", "linkat", "-e inject=linkat:" + delay, false},
        {"before the temporary is linked over an existing file", "linkat",
         "-e inject=linkat:" + delay, true},
        {"before the rename", "renameat,renameat2", "-e inject=renameat,renameat2:" + delay, true},
    };
    for (const row& r : rows) {
        const fs::path s = folder / "scene";
        const fs::path mine = scene_with_folder_of_nobody();
        if (r.existing) {
            write_file(mine / "w", secret);
            chown((mine / "w").c_str(), nobody, nobody);
            chmod((mine / "w").c_str(), 0666);
        }
        link_as(nobody, "../public", s / "sticky/l");
        const std::vector<std::string> public_before = snapshot(s / "public");
        const std::string text = run_held(r.calls, r.held, mine / "w", [&] {
            return renameat2(AT_FDCWD, mine.c_str(), AT_FDCWD, (s / "sticky/l").c_str(),
                             RENAME_EXCHANGE) == 0;
        });
        // The folder that was the target's is now at sticky/l; root's folder behind sticky/d.
        EXPECT_EQ(snapshot(s / "public"), public_before) << r.what << "\n" << text;
        const bytes after = read_file(s / "sticky/l/w");
        if (text.find("Successfully wrote quorvwire") != std::string::npos) {
            EXPECT_EQ(after, abc_wire) << r.what;
        } else if (r.existing) {
            EXPECT_EQ(after, secret) << r.what << "\n" << text;
        }
        for (const std::string& line : snapshot(s)) {
            EXPECT_EQ(line.find(".gantrel-"), std::string::npos) << r.what << ": " << line;
        }
    }
}

// The other user swaps the target's name itself, between the look at it and its opening: a file
// for a link to root's file or for a FIFO, a FIFO or a device for a link to root's file or FIFO.
// The run opens none of them, not even for a moment, as the thing it looked at. And a link
// swapped for one a byte longer between its status and its reading: the body read no longer fits
// the size looked at, and the run follows neither body.
TEST_F(SharedFolders, SwappingTheTargetBetweenLookAndOpenIsRefused) {
    if (!test::have_strace()) {
        GTEST_SKIP() << "strace is not installed";
    }
    enum class thing { file, fifo, device, link_to_secret, link_to_fifo, link_to_ab, link_to_abc };
    struct row {
        const char* what;
        thing target;
        thing swapped_in;
        const char* held = "openat";
    };
    const row rows[] = {
        {"a file swapped for a link to root's file", thing::file, thing::link_to_secret},
        {"a file swapped for a FIFO", thing::file, thing::fifo},
        {"a FIFO swapped for a link to root's file", thing::fifo, thing::link_to_secret},
        {"a device swapped for a link to root's file", thing::device, thing::link_to_secret},
        // Opened through the link, that FIFO would hold the run until someone read it.
        {"a FIFO swapped for a link to root's FIFO", thing::fifo, thing::link_to_fifo},
        {"a link swapped for a longer one", thing::link_to_ab, thing::link_to_abc, "readlinkat"},
    };
    for (const row& r : rows) {
        const fs::path s = folder / "scene";
        const fs::path mine = scene_with_folder_of_nobody();
        const auto make = [&](thing what, const fs::path& at) {
            switch (what) {
                case thing::file:
                    write_file(at, secret);
                    break;
                case thing::fifo:
                    mkfifo(at.c_str(), 0666);
                    break;
                case thing::device:
                    ASSERT_EQ(mknod(at.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
                    break;
                case thing::link_to_secret:
                    fs::create_symlink(s / "private/secret", at);
                    break;
                case thing::link_to_fifo:
                    mkfifo((s / "private/fifo").c_str(), 0600);
                    fs::create_symlink(s / "private/fifo", at);
                    break;
                case thing::link_to_ab:
                    fs::create_symlink("ab", at);
                    break;
                case thing::link_to_abc:
                    fs::create_symlink("abc", at);
                    break;
            }
            lchown(at.c_str(), nobody, nobody);
        };
        make(r.target, mine / "w");
        make(r.swapped_in, mine / "x");
        // Held as it opens the target (or reads the link), after it looked at it.
        const std::string held = r.held;
        const std::string text =
            run_held(held, "-P w -e inject=" + held + ":delay_enter=400000", mine / "w", [&] {
                return renameat2(AT_FDCWD, (mine / "w").c_str(), AT_FDCWD, (mine / "x").c_str(),
                                 RENAME_EXCHANGE) == 0;
            });
        EXPECT_EQ(text, reports + "Could not open file " + (mine / "w").string() + "\n") << r.what;
        EXPECT_EQ(read_file(s / "private/secret"), secret) << r.what;
        if (r.target == thing::file) {
            EXPECT_EQ(read_file(mine / "x"), secret) << r.what;
        }
        EXPECT_FALSE(fs::exists(mine / "ab") || fs::exists(mine / "abc")) << r.what;
    }
}

// A regular target swapped for a terminal between the look and the open (a terminal mounted over
// it, in this test's mount namespace), in a run that leads a session of its own and has no
// terminal: the run refuses it, and the terminal does not become the run's own.
TEST_F(SharedFolders, ATerminalSwappedInDoesNotBecomeTheRunsOwn) {
    if (!test::have_strace()) {
        GTEST_SKIP() << "strace is not installed";
    }
    if (!test::cannot_mount().empty()) {
        GTEST_SKIP() << test::cannot_mount();
    }
    if (access("/usr/bin/setsid", X_OK) != 0) {
        GTEST_SKIP() << "setsid is not installed";
    }
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        GTEST_SKIP() << "no terminal can be opened here";
    }
    const std::string terminal = ptsname(master);
    write_file(folder / "m", abc_mesh);
    write_file(folder / "w", secret);
    const fs::path trace = folder / "trace";
    // Every open is held, so that the mount comes between the look at w and its open, and so is
    // the end, while the run's terminal is read. setsid has the run lead a new session; LC_ALL=C
    // spares setsid the locale's files.
    const pid_t run = test::start_traced(
        folder, {"m", "abc", "w"}, "openat,exit_group",
        "-e inject=openat:delay_enter=150000 -e inject=exit_group:delay_enter=400000 -E LC_ALL=C "
        "/usr/bin/setsid",
        trace, folder / "printed");
    EXPECT_NE(test::traced_process_at(trace, "\"w\", O_", 5000), -1) << "the run never opened w";
    EXPECT_EQ(mount(terminal.c_str(), (folder / "w").c_str(), nullptr, MS_BIND, nullptr), 0)
        << std::strerror(errno);
    const pid_t ending = test::traced_process_at(trace, "exit_group(", 5000);
    const bytes stat_bytes = read_file("/proc/" + std::to_string(ending) + "/stat");
    test::traced_status(run, 20000);
    umount2((folder / "w").c_str(), MNT_DETACH);
    close(master);
    // After the name in parentheses: state, parent, group, session, then the terminal.
    const std::string stat_line(stat_bytes.begin(), stat_bytes.end());
    unsigned terminal_number = 1;
    ASSERT_EQ(std::sscanf(stat_line.c_str() + stat_line.rfind(')') + 1, " %*c %*d %*d %*d %u",
                          &terminal_number),
              1)
        << stat_line;
    EXPECT_EQ(terminal_number, 0u) << "the run took " << terminal << " as its terminal";
    const bytes printed = read_file(folder / "printed");
    EXPECT_EQ(std::string(printed.begin(), printed.end()), reports + "Could not open file w\n");
    EXPECT_EQ(read_file(folder / "w"), secret);
}

// Where the host's rule for existing files cannot be read (no /proc/sys/fs in a container, or a
// value that is not a digit), the run takes the rule as shipped, level 1, which may refuse more
// than the host but never less: here the host's rule is off, and what the run reads is covered,
// in this test's mount namespace, by a file of the row's bytes. A rule read as descriptor 0 is
// read like any other: two rows start the run without standard input, /dev/null covered by a
// read-only file, with one more folder on the way in the second, so that in one of them the
// rule's file takes descriptor 0 whichever descriptor the walk frees last.
TEST_F(SharedFolders, AnUnreadableRuleIsTakenAsShipped) {
    if (!test::cannot_mount().empty()) {
        GTEST_SKIP() << test::cannot_mount();
    }
    const host_settings off{0, 0, 0};
    ASSERT_TRUE(apply(off));
    struct row {
        const char* what;
        const char* read;  // nullptr: no /proc/sys/fs at all
        const char* folder;
        bool written;
        const char* via = nullptr;  // the run without standard input, the target named from here
    };
    const row rows[] = {
        {"no /proc/sys/fs", nullptr, "sticky", false},
        {"empty", "", "sticky", false},
        {"negative", "-1\n", "sticky", false},
        {"a letter, in a group-writable folder (which level 1 leaves alone)", "x\n", "group_sticky",
         true},
        {"0 with no line end", "0", "sticky", true},
        {"9, in a group-writable folder", "9\n", "group_sticky", false},
        {"0, with descriptor 0 free", "0\n", "sticky", true, "scene/"},
        {"0, with descriptor 0 free, one folder more", "0\n", "sticky", true, "scene/./"},
    };
    const fs::path rule = "/proc/sys/fs/protected_regular";
    for (const row& r : rows) {
        build_scene();
        const fs::path s = folder / "scene";
        const fs::path target = s / r.folder / "out";
        write_file(target, secret);
        chown(target.c_str(), nobody, nobody);
        chmod(target.c_str(), 0666);
        const fs::path covered = r.read == nullptr ? fs::path("/proc/sys/fs") : rule;
        if (r.read != nullptr) {
            write_file(folder / "rule", bytes(r.read, r.read + std::strlen(r.read)));
        }
        const int mounted =
            r.read == nullptr
                ? mount("gantrel-test", covered.c_str(), "tmpfs", 0, nullptr)
                : mount((folder / "rule").c_str(), covered.c_str(), nullptr, MS_BIND, nullptr);
        ASSERT_EQ(mounted, 0) << r.what << ": " << std::strerror(errno);
        if (r.via != nullptr) {
            ASSERT_TRUE(test::cover_dev_null(folder / "no-null")) << std::strerror(errno);
        }
        const std::string named =
            r.via == nullptr ? target.string() : std::string(r.via) + r.folder + "/out";
        const outcome result = run_limited(folder, {"m", "abc", named}, false, r.via != nullptr);
        if (r.via != nullptr) {
            test::uncover_dev_null();
        }
        umount2(covered.c_str(), MNT_DETACH);
        EXPECT_EQ(result.output, reports + (r.written ? "Successfully wrote quorvwire\n"
                                                      : "Could not open file " + named + "\n"))
            << r.what;
        EXPECT_EQ(read_file(target) == secret, !r.written) << r.what;
    }
}

// A status that cannot be read is not "nothing there": with EIO or EPERM injected into the look
// at the target, a file with two links must not be renamed over (which would split them).
TEST_F(SharedFolders, AFailingStatusRefusesInsteadOfGuessing) {
    if (!test::have_strace()) {
        GTEST_SKIP() << "strace is not installed";
    }
    if (test::under_sanitizers) {
        GTEST_SKIP() << "under the sanitizers, the failed calls would be the runtime's own";
    }
    // Also a target one folder down, so that a folder on the way is looked at as well as the
    // target's own. strace names each descriptor's file (-y), which tells a folder's status from
    // the input's.
    int target_looks = 0;
    int folder_looks = 0;
    for (const std::string target : {"w", "d/w"}) {
        const fs::path where = (folder / target).parent_path();
        fs::create_directories(where);
        for (const std::string error : {"EIO", "EPERM"}) {
            for (int call = 1; call <= 12; ++call) {
                write_file(folder / "m", abc_mesh);
                write_file(where / "w", secret);
                fs::remove(where / "w2");
                fs::create_hard_link(where / "w", where / "w2");
                const test::traced_run run =
                    test::run_traced(folder, {"m", "abc", target}, "newfstatat,fstat,lstat,statx",
                                     "-y -e inject=newfstatat,fstat,lstat,statx:error=" + error +
                                         ":when=" + std::to_string(call));
                if (!run.traced) {
                    GTEST_SKIP() << "strace cannot inject faults here";
                }
                const std::string& text = run.trace;
                const std::size_t injected = text.find("(INJECTED)");
                if (injected == std::string::npos) {
                    break;  // past the run's last status call
                }
                const std::size_t line_start = text.rfind('\n', injected) + 1;
                const std::string line = text.substr(line_start, injected - line_start) + error;
                const std::string& output = run.printed;
                const bool of_a_folder =
                    line.find("newfstatat(") != std::string::npos &&
                    (line.find("<" + folder.string() + ">, \"\"") != std::string::npos ||
                     line.find("<" + where.string() + ">, \"\"") != std::string::npos);
                if (line.find("\"w\"") != std::string::npos || of_a_folder) {
                    target_looks += of_a_folder ? 0 : 1;
                    folder_looks += of_a_folder ? 1 : 0;
                    EXPECT_EQ(output, reports + "Could not open file " + target + "\n") << line;
                }
                // Whatever failed, the links stay one file, and it is old or new whole.
                struct stat w {};
                struct stat w2 {};
                ASSERT_EQ(stat((where / "w").c_str(), &w), 0);
                ASSERT_EQ(stat((where / "w2").c_str(), &w2), 0);
                EXPECT_EQ(w.st_ino, w2.st_ino) << line << "\n" << output;
                const bytes after = read_file(where / "w");
                EXPECT_TRUE(after == secret || after == abc_wire) << line;
            }
        }
    }
    EXPECT_GE(folder_looks, 6) << "the run's status calls did not look at both folders";
    EXPECT_GE(target_looks, 2) << "no status call of the run looked at the target";
}

}  // namespace
}  // namespace gantrel
