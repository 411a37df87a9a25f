// The replacement's promises on every file system meshes live on (POSIX, as root, in a private
// mount namespace): ext4 (also with inline data), xfs and btrfs images, tmpfs, an overlay whose
// target is only in the lower layer, and FAT, exFAT and NTFS through their FUSE drivers. Each step
// runs in a child process with a time limit: a FUSE driver was seen to hang under load, and a
// driver that hangs is told apart from a tool that hangs by whether the mount still answers.

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "mesh/name_hash.h"
#include "support/bytes.h"
#include "support/meshes.h"
#include "support/run_tool_posix.h"

namespace gantrel {
namespace {

namespace fs = std::filesystem;
using test::bytes;
using test::distinct_mesh;
using test::names_in;
using test::outcome;
using test::read_file;
using test::run_gantrel;
using test::standard_output;
using test::write_file;

// Meshes of `n` triangles with all 3n sides distinct: a wire file (16 + 12n bytes) is longer than
// its mesh (28 + 6n), so a mesh replaced by its own wire file grows.
bytes distinct_wire(std::uint32_t n, const std::string& name) {
    return test::distinct_wire(n, name_hash(name));
}

constexpr std::uint32_t n = 2000;  // a wire file of 24016 bytes
const bytes mesh = distinct_mesh(n);
const bytes wire = distinct_wire(n, "m");
const bytes old_content(100, 0x5A);
const std::string reports =
    "total number of triangles in mesh = 0\n"
    "total number of lines in mesh = 6000\n";
const std::string success = reports + "Successfully wrote quorvwire\n";

// Puts `content` at `path` as a new file. Truncating a file that a rename put in place is what
// fusefat gets wrong (the old bytes stay, or the driver spins), so the tests never do.
void put_file(const fs::path& path, const bytes& content) {
    fs::remove(path);
    write_file(path, content);
}

bool shell(const std::string& command) {
    return std::system(("timeout 60 sh -c '" + command + "' >/dev/null 2>&1").c_str()) == 0;
}

// How a file system is made and mounted at `at`, with its images and helpers kept in `work`.
struct file_system {
    const char* name;
    const char* driver;  // named when it hangs
    bool fuse;           // made read-only by mounting it again, not by a remount
    std::function<bool(const fs::path& work, const fs::path& at, bool read_only, bool fresh)> mount;
};

std::function<bool(const fs::path&, const fs::path&, bool, bool)> loop_image(
    const std::string& size, const std::string& make) {
    return [size, make](const fs::path& work, const fs::path& at, bool read_only, bool fresh) {
        const std::string image = (work / "image").string();
        if (fresh && !shell("rm -f " + image + " && truncate -s " + size + " " + image + " && " +
                            make + " " + image)) {
            return false;
        }
        return shell(std::string("mount -o loop") + (read_only ? ",ro " : " ") + image + " " +
                     at.string());
    };
}

std::function<bool(const fs::path&, const fs::path&, bool, bool)> fuse_image(
    const std::string& size, const std::string& make, const std::string& mount_rw,
    const std::string& mount_ro) {
    return [=](const fs::path& work, const fs::path& at, bool read_only, bool fresh) {
        const std::string image = (work / "image").string();
        if (fresh && !shell("rm -f " + image + " && truncate -s " + size + " " + image + " && " +
                            make + " " + image)) {
            return false;
        }
        // Through a loop device that goes away once the driver lets go of it: some drivers want
        // a block device.
        if (!shell("d=$(losetup -f --show " + image + ") && " + (read_only ? mount_ro : mount_rw) +
                   " $d " + at.string() + "; s=$?; losetup -d $d; exit $s")) {
            return false;
        }
        // A FUSE driver may answer only a moment after it forks into the background.
        for (int i = 0; i < 100; ++i) {
            if (std::system(("mountpoint -q " + at.string()).c_str()) == 0) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    };
}

const file_system file_systems[] = {
    {"ext4", "ext4", false, loop_image("16M", "mkfs.ext4 -q -F -m 0")},
    // Small files kept in the inode: a new, empty temporary is flagged so, a long target not.
    {"ext4, small files inline", "ext4", false,
     loop_image("16M", "mkfs.ext4 -q -F -m 0 -O inline_data")},
    {"xfs", "xfs", false, loop_image("300M", "mkfs.xfs -q -f")},
    {"btrfs", "btrfs", false, loop_image("128M", "mkfs.btrfs -q -f")},
    {"tmpfs", "tmpfs", false,
     [](const fs::path&, const fs::path& at, bool read_only, bool) {
         return shell(std::string("mount -t tmpfs -o size=16m") + (read_only ? ",ro" : "") +
                      " gantrel-test " + at.string());
     }},
    {"overlay, the target in the lower layer", "overlay", false,
     [](const fs::path& work, const fs::path& at, bool read_only, bool fresh) {
         const fs::path lower = work / "lower";
         const fs::path upper = work / "upperfs";
         if (fresh) {
             shell("umount -l " + upper.string());
             fs::remove_all(lower);
             fs::create_directories(lower);
             write_file(lower / "m", mesh);
             write_file(lower / "old", old_content);
             fs::create_directories(upper);
             if (!shell("mount -t tmpfs -o size=16m gantrel-upper " + upper.string() +
                        " && mkdir " + upper.string() + "/u " + upper.string() + "/w")) {
                 return false;
             }
         }
         const std::string layers = "lowerdir=" + lower.string() + ",upperdir=" + upper.string() +
                                    "/u,workdir=" + upper.string() + "/w";
         return shell("mount -t overlay -o " + layers + (read_only ? ",ro" : "") + " overlay " +
                      at.string());
     }},
    {"FAT32 (fusefat)", "fusefat", true,
     fuse_image("40M", "mkfs.vfat -F 32 -s 1", "fusefat -o rw+", "fusefat -o ro")},
    {"exFAT (exfat-fuse)", "exfat-fuse", true,
     fuse_image("16M", "mkfs.exfat", "mount.exfat-fuse", "mount.exfat-fuse -o ro")},
    {"NTFS (ntfs-3g)", "ntfs-3g", true,
     fuse_image("16M", "mkfs.ntfs -q -F -f", "ntfs-3g", "ntfs-3g -o ro")},
};

// The result of a step: the failures it found, or that it ran out of time.
struct step_result {
    std::vector<std::string> failures;
    bool timed_out = false;
};

// Runs `step` in a child process for at most `seconds`; the child reports its failures through a
// pipe, one a line.
step_result run_step(const std::function<std::vector<std::string>()>& step, int seconds) {
    int fds[2];
    if (pipe(fds) != 0) {
        return {{"no pipe"}, false};
    }
    std::fflush(stdout);  // or the child would print the parent's pending output again
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        std::vector<std::string> failures;
        try {
            failures = step();
        } catch (const std::exception& error) {
            failures.push_back(error.what());
        }
        std::string report;
        for (const std::string& failure : failures) {
            report += failure + '\x1e';
        }
        std::fflush(stdout);
        for (std::size_t done = 0; done < report.size();) {
            const ssize_t put = write(fds[1], report.data() + done, report.size() - done);
            if (put <= 0) {
                break;
            }
            done += static_cast<std::size_t>(put);
        }
        _exit(0);
    }
    close(fds[1]);
    step_result result;
    const test::ending ended = test::wait_with_deadline(child, 1000 * seconds);
    const int status = ended.status;
    result.timed_out = ended.killed;
    std::string report;
    char buffer[4096];
    for (ssize_t got = 0; (got = read(fds[0], buffer, sizeof buffer)) > 0;) {
        report.append(buffer, static_cast<std::size_t>(got));
    }
    close(fds[0]);
    for (std::size_t at = 0; at < report.size();) {
        const std::size_t end = report.find('\x1e', at);
        result.failures.push_back(report.substr(at, end - at));
        at = end + 1;
    }
    if (!result.timed_out && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
        result.failures.push_back("the step's process ended abnormally");
    }
    return result;
}

// Whether the mount at `at` answers a stat within a second.
bool answers(const fs::path& at) {
    return run_step(
               [&] {
                   struct stat info {};
                   return stat(at.c_str(), &info) == 0 ? std::vector<std::string>{}
                                                       : std::vector<std::string>{"no"};
               },
               1)
        .failures.empty();
}

// Checks for a step, kept as text for the parent.
struct checks {
    std::vector<std::string> failures;
    void expect(bool ok, const std::string& what) {
        if (!ok) {
            failures.push_back(what);
        }
    }
};

std::vector<std::string> leftovers(const fs::path& at, const std::set<std::string>& expected) {
    std::vector<std::string> out;
    for (const std::string& name : names_in(at)) {
        if (expected.count(name) == 0 && name != "lost+found") {
            out.push_back(name);
        }
    }
    return out;
}

bool unnamed_temporaries(const fs::path& at) {
    const int fd = open(at.c_str(), O_TMPFILE | O_RDWR, 0600);
    if (fd >= 0) {
        close(fd);
    }
    return fd >= 0;
}

// What the kill loops and the parallel runs found, for the log.
struct tally {
    int killed = 0;
    int old_kept = 0;
    int replaced = 0;
    int temporaries = 0;
};

// 40 runs over an existing target, each ended by `signal_number` at a random moment.
std::vector<std::string> kill_loop(const fs::path& at, bool named_temporaries, int signal_number) {
    checks c;
    put_file(at / "k", old_content);
    const auto start = std::chrono::steady_clock::now();
    run_gantrel(at, {"m", "m", "k"}, {standard_output::discarded});
    const auto one_run = std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
    std::mt19937 random(20261209);
    tally t;
    for (int i = 0; i < 40; ++i) {
        put_file(at / "k", old_content);
        const pid_t child =
            test::start_gantrel(at, {"m", "m", "k"}, {standard_output::discarded}, nullptr);
        std::this_thread::sleep_for(std::chrono::microseconds(
            std::uniform_int_distribution<long long>(0, one_run * 21 / 20)(random)));
        kill(child, signal_number);
        waitpid(child, nullptr, 0);
        const bytes after = read_file(at / "k");
        c.expect(after == old_content || after == wire,
                 "run " + std::to_string(i) + " left a torn file: " + std::to_string(after.size()) +
                     " bytes");
        t.old_kept += after == old_content;
        t.replaced += after == wire;
        for (const std::string& name : leftovers(at, {"m", "k", "old", "new", "m2", "par"})) {
            ++t.temporaries;
            fs::remove(at / name);
        }
    }
    // SIGTERM is held while a temporary exists. SIGKILL cannot be: unnamed temporaries leave a
    // name only in the instant between linking and renaming; named ones may be left.
    if (signal_number != SIGKILL) {
        c.expect(t.temporaries == 0, std::to_string(t.temporaries) + " temporaries left");
    } else if (!named_temporaries) {
        c.expect(t.temporaries <= 4, std::to_string(t.temporaries) + " temporaries left");
    }
    std::printf("    40 %s: %d kept the old file, %d replaced it, %d temporaries left\n",
                signal_number == SIGKILL ? "SIGKILLs" : "SIGTERMs", t.old_kept, t.replaced,
                t.temporaries);
    return c.failures;
}

// 20 runs onto one existing target: with `linked`, a target with a second hard link, which
// every run writes in place (where the file system has hard links).
std::vector<std::string> parallel_runs(const fs::path& at, bool linked) {
    checks c;
    put_file(at / "par", old_content);
    fs::remove(at / "par2");
    std::error_code error;
    if (linked) {
        fs::create_hard_link(at / "par", at / "par2", error);
        if (error) {
            std::printf("    no hard links: no parallel runs in place\n");
            fs::remove(at / "par");
            return c.failures;
        }
    }
    // Every run converts a mesh of its own size, so that no mix of two runs is a whole file.
    std::set<bytes> whole_files;
    std::vector<pid_t> children;
    for (std::uint32_t i = 0; i < 20; ++i) {
        const std::string name = "p" + std::to_string(i);
        put_file(at / name, distinct_mesh(n - 60 * i));
        whole_files.insert(distinct_wire(n - 60 * i, "m"));
    }
    for (int i = 0; i < 20; ++i) {
        const std::string name = "p" + std::to_string(i);
        children.push_back(
            test::start_gantrel(at, {name, "m", "par"}, {standard_output::discarded}, nullptr));
    }
    for (const pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        c.expect(WIFEXITED(status) && WEXITSTATUS(status) == 0, "a parallel run did not end well");
    }
    const bytes result = read_file(at / "par");
    c.expect(whole_files.count(result) == 1, "20 parallel runs left no one output");
    if (linked) {
        c.expect(read_file(at / "par2") == result, "the hard links came apart");
        fs::remove(at / "par2");
    }
    for (int i = 0; i < 20; ++i) {
        fs::remove(at / ("p" + std::to_string(i)));
    }
    c.expect(leftovers(at, {"m", "par", "old", "new", "m2", "k"}).empty(),
             "parallel runs left temporaries");
    fs::remove(at / "par");
    return c.failures;
}

// A file with two links is written in place; its new content is longer than the old.
std::vector<std::string> growing_in_place(const fs::path& at) {
    checks c;
    put_file(at / "m3", mesh);
    std::error_code error;
    fs::create_hard_link(at / "m3", at / "m3b", error);
    if (error) {
        fs::remove(at / "m3");
        return c.failures;
    }
    const outcome result = run_gantrel(at, {"m3", "m", "m3"});
    c.expect(result.output == success, "in place: " + result.output);
    c.expect(read_file(at / "m3") == wire && read_file(at / "m3b") == wire,
             "in place: the links do not both hold the wire file");
    fs::remove(at / "m3");
    fs::remove(at / "m3b");
    return c.failures;
}

class EveryFileSystem : public test::mount_folder {
protected:
    void TearDown() override {
        unmount_all();
        scratch_folder::TearDown();
    }
    void unmount_all() {
        shell("umount -l " + (folder / "fs").string());
        shell("umount -l " + (folder / "upperfs").string());
    }

    // Runs every step on `system`; false when its driver hung.
    bool try_file_system(const file_system& system, std::vector<std::string>& failures) {
        const fs::path at = folder / "fs";
        unmount_all();
        fs::create_directories(at);
        if (!system.mount(folder, at, false, true)) {
            failures.push_back("could not be mounted");
            return true;
        }
        const bool named = !unnamed_temporaries(at);
        std::printf("  %s (%s temporaries)\n", system.name, named ? "named" : "unnamed");
        const auto converts = [&](const std::string& input, const std::string& output,
                                  const std::string& what) {
            checks c;
            // An existing output, held open across the run, must be replaced by a new file,
            // where a write in place would have kept the one held.
            const int held = open((at / output).c_str(), O_RDONLY | O_CLOEXEC);
            const outcome result = run_gantrel(at, {input, "m", output});
            c.expect(result.output == success, what + ": " + result.output);
            c.expect(read_file(at / output) == wire, what + ": the output is not the wire file");
            if (held >= 0) {
                struct stat before {};
                struct stat after {};
                c.expect(fstat(held, &before) == 0 && stat((at / output).c_str(), &after) == 0 &&
                             before.st_ino != after.st_ino,
                         what + ": written in place, not replaced");
                close(held);
            }
            return c.failures;
        };
        struct step {
            const char* what;
            std::function<std::vector<std::string>()> run;
        };
        const step steps[] = {
            {"seeding",
             [&] {
                 if (!fs::exists(at / "m")) {
                     put_file(at / "m", mesh);
                     put_file(at / "old", old_content);
                 }
                 return std::vector<std::string>{};
             }},
            {"an existing target", [&] { return converts("m", "old", "an existing target"); }},
            {"a new target", [&] { return converts("m", "new", "a new target"); }},
            {"the same conversion twice", [&] { return converts("m", "new", "again"); }},
            {"a mesh replaced by its own wire file",
             [&] {
                 put_file(at / "m2", mesh);
                 return converts("m2", "m2", "in and out the same");
             }},
            {"a file with two links, growing", [&] { return growing_in_place(at); }},
            {"20 parallel runs", [&] { return parallel_runs(at, false); }},
            {"20 parallel runs in place", [&] { return parallel_runs(at, true); }},
            {"40 SIGKILLs", [&] { return kill_loop(at, named, SIGKILL); }},
            {"40 SIGTERMs", [&] { return kill_loop(at, named, SIGTERM); }},
            {"a full disk",
             [&] {
                 checks c;
                 put_file(at / "old", old_content);
                 test::fill(at);
                 const outcome result = run_gantrel(at, {"m", "m", "old"});
                 c.expect(result.output == reports + "Could not write file old\n",
                          "full: " + result.output);
                 c.expect(read_file(at / "old") == old_content, "full: the target changed");
                 c.expect(leftovers(at, {"m", "old", "new", "m2", "par", "k", "filler"}).empty(),
                          "full: a temporary was left");
                 fs::remove(at / "filler");
                 return c.failures;
             }},
        };
        for (const step& s : steps) {
            const step_result result = run_step(s.run, 120);
            for (const std::string& failure : result.failures) {
                failures.push_back(std::string(s.what) + ": " + failure);
            }
            if (result.timed_out) {
                if (!answers(at)) {
                    return false;
                }
                failures.push_back(std::string(s.what) + ": the tool hung");
            }
        }
        // Read-only: mounted again without write access.
        const bool read_only =
            system.fuse ? shell("umount " + at.string()) && system.mount(folder, at, true, false)
                        : shell("mount -o remount,ro " + at.string());
        if (!read_only) {
            failures.push_back("could not be mounted read-only");
            return true;
        }
        const step_result result = run_step(
            [&] {
                checks c;
                const bytes before = read_file(at / "old");
                const outcome run = run_gantrel(at, {"m", "m", "old"});
                c.expect(run.output == reports + "Could not open file old\n",
                         "read-only: " + run.output);
                c.expect(read_file(at / "old") == before, "read-only: the target changed");
                return c.failures;
            },
            60);
        failures.insert(failures.end(), result.failures.begin(), result.failures.end());
        if (result.timed_out && !answers(at)) {
            return false;
        }
        return true;
    }
};

TEST_F(EveryFileSystem, TheReplacementKeepsItsPromises) {
    for (const file_system& system : file_systems) {
        std::vector<std::string> failures;
        bool finished = try_file_system(system, failures);
        if (!finished) {
            std::printf("  %s: the driver hung; trying once more on a fresh mount\n", system.name);
            failures.clear();
            finished = try_file_system(system, failures);
        }
        if (!finished) {
            std::printf("  skipped %s: the %s driver hung twice\n", system.name, system.driver);
            continue;
        }
        for (const std::string& failure : failures) {
            ADD_FAILURE() << system.name << ": " << failure;
        }
    }
}

}  // namespace
}  // namespace gantrel
