// Replacing the output on real file systems (POSIX): full disks, no free inodes and read-only
// mounts on small tmpfs and ext4 file systems mounted in a private mount namespace (as root),
// attributes and hard links kept, long names, parallel runs, and runs killed at random moments.

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/xattr.h>

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <numeric>
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
using test::distinct_wire;
using test::names_in;
using test::nobody;
using test::outcome;
using test::read_file;
using test::run_gantrel;
using test::run_options;
using test::standard_output;
using test::write_file;

const std::string reports =
    "total number of triangles in mesh = 0\ntotal number of lines in mesh = ";
const bytes old_content(100, 0x5A);

const std::uint32_t hash_m = name_hash("m");

// `content` in a file of two links, "linked" and "linked2" in `folder`: one a run writes in place.
void put_linked(const fs::path& folder, const bytes& content) {
    fs::remove(folder / "linked");
    fs::remove(folder / "linked2");
    write_file(folder / "linked", content);
    fs::create_hard_link(folder / "linked", folder / "linked2");
}

std::string converted(std::uint32_t n) {
    return reports + std::to_string(3 * n) + "\nSuccessfully wrote quorvwire\n";
}

std::string failed(std::uint32_t n, const std::string& how, const std::string& path) {
    return reports + std::to_string(3 * n) + "\n" + how + path + "\n";
}

enum class kind { tmpfs, ext4 };

class FileSystems : public test::mount_folder {
protected:
    void TearDown() override {
        unmount();
        scratch_folder::TearDown();
    }

    // Mounts a fresh file system at folder/fs; false with a failure added when it cannot be.
    bool mount_fs(kind k, const std::string& options) {
        unmount();
        fs::create_directories(folder / "fs");
        if (k == kind::tmpfs) {
            if (mount("gantrel-test", (folder / "fs").c_str(), "tmpfs", 0, options.c_str()) == 0) {
                mounted = true;
            }
        } else {
            const fs::path image = folder / "ext4.img";
            fs::remove(image);
            const std::string command = "truncate -s 2M '" + image.string() +
                                        "' && mkfs.ext4 -q -F -m 0 '" + image.string() +
                                        "' && mount -o loop,user_xattr,acl '" + image.string() +
                                        "' '" + (folder / "fs").string() + "'";
            mounted = std::system(command.c_str()) == 0;
        }
        EXPECT_TRUE(mounted) << "mounting " << options;
        return mounted;
    }
    // Mounts the ext4 image again so that new files in it are encrypted (a key for tests only),
    // while those made before stay as they were; false where the kernel cannot encrypt.
    bool remount_encrypting() {
        unmount();
        const std::string image = "'" + (folder / "ext4.img").string() + "'";
        mounted = std::system(("tune2fs -O encrypt " + image + " >/dev/null 2>&1 && mount -o " +
                               "loop,user_xattr,acl,test_dummy_encryption " + image + " '" +
                               (folder / "fs").string() + "' 2>/dev/null")
                                  .c_str()) == 0;
        return mounted;
    }
    void unmount() {
        if (mounted) {
            umount2((folder / "fs").c_str(), MNT_DETACH);
            mounted = false;
        }
    }

    bool mounted = false;
};

TEST_F(FileSystems, FullDisksNoInodesAndReadOnlyMountsKeepTheTarget) {
    const std::uint32_t n = 2000;  // a wire file of 24016 bytes: several pages, many blocks
    const bytes mesh = distinct_mesh(n);
    struct row {
        const char* what;
        kind file_system;
        std::string options;
        std::function<void(const fs::path& folder, const fs::path& mounted)> prepare;
        std::string output;  // relative to folder/fs
        bool unprivileged;
        std::string expected_line;
        std::vector<std::string> names_after;  // in folder/fs
    };
    const auto mesh_and_old = [&](const fs::path&, const fs::path& m) {
        write_file(m / "m", mesh);
        write_file(m / "w", old_content);
    };
    const auto mesh_only = [&](const fs::path&, const fs::path& m) { write_file(m / "m", mesh); };
    const auto mesh_only_then_full = [&](const fs::path& f, const fs::path& m) {
        mesh_only(f, m);
        test::fill(m);
    };
    const row rows[] = {
        {"no free inodes",
         kind::tmpfs,
         "size=1m,nr_inodes=3",
         mesh_and_old,
         "w",
         false,
         "Could not write file ",
         {"m", "w"}},
        {"no free inodes, input and output the same",
         kind::tmpfs,
         "size=1m,nr_inodes=2",
         mesh_only,
         "m",
         false,
         "Could not write file ",
         {"m"}},
        {"full, input and output the same",
         kind::tmpfs,
         "size=64k",
         mesh_only_then_full,
         "m",
         false,
         "Could not write file ",
         {"filler", "m"}},
        {"full, behind a dangling link",
         kind::tmpfs,
         "size=64k",
         [&](const fs::path& f, const fs::path& m) {
             mesh_only(f, m);
             test::fill(m);
             fs::create_symlink("new", m / "link");
         },
         "link",
         false,
         "Could not write file ",
         {"filler", "link", "m"}},
        {"full, a folder closed to new files, the file writable",
         kind::tmpfs,
         "size=64k,mode=0755",
         [&](const fs::path& f, const fs::path& m) {
             mesh_and_old(f, m);
             chown((m / "w").c_str(), nobody, nobody);
             chmod((m / "m").c_str(), 0644);
             test::fill(m);
         },
         "w",
         true,
         "Could not write file ",
         {"filler", "m", "w"}},
        {"read-only mount",
         kind::tmpfs,
         "size=1m",
         mesh_and_old,
         "w",
         false,
         "Could not open file ",
         {"m", "w"}},
        {"ext4: full, input and output the same",
         kind::ext4,
         "",
         mesh_only_then_full,
         "m",
         false,
         "Could not write file ",
         {"filler", "lost+found", "m"}},
        {"ext4: full, a separate output",
         kind::ext4,
         "",
         [&](const fs::path& f, const fs::path& m) {
             mesh_and_old(f, m);
             test::fill(m);
         },
         "w",
         false,
         "Could not write file ",
         {"filler", "lost+found", "m", "w"}},
    };
    for (const row& r : rows) {
        if (!mount_fs(r.file_system, r.options)) {
            continue;
        }
        const fs::path m = folder / "fs";
        r.prepare(folder, m);
        if (std::string(r.what) == "read-only mount") {
            ASSERT_EQ(mount(nullptr, m.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
        }
        const bytes before = read_file(m / r.output);
        const bytes filler_before = read_file(m / "filler");
        const outcome result =
            run_gantrel(m, {"m", "m", r.output}, {standard_output::captured, 0, 0, r.unprivileged});
        EXPECT_EQ(result.output, failed(n, r.expected_line, r.output)) << r.what;
        EXPECT_EQ(read_file(m / r.output), before) << r.what;
        EXPECT_EQ(names_in(m), r.names_after) << r.what;
        if (std::string(r.what) == "full, behind a dangling link") {
            EXPECT_TRUE(fs::is_symlink(fs::symlink_status(m / "link"))) << r.what;
        }
    }
}

// A POSIX ACL in the kernel's extended attribute form: the owner rw, the user nobody rw, the
// group r, the mask rw, others nothing.
bytes acl_with_nobody() {
    bytes out;
    const auto u16 = [&](std::uint32_t v) { test::put_u16(out, v); };
    u16(2);  // version
    u16(0);
    for (const std::array<std::uint32_t, 3> entry :
         {std::array<std::uint32_t, 3>{0x01, 6, 0xFFFFFFFFu},
          {0x02, 6, nobody},
          {0x04, 4, 0xFFFFFFFFu},
          {0x10, 6, 0xFFFFFFFFu},
          {0x20, 0, 0xFFFFFFFFu}}) {
        u16(entry[0]);
        u16(entry[1]);
        u16(entry[2] & 0xFFFF);
        u16(entry[2] >> 16);
    }
    return out;
}

bytes attribute(const fs::path& path, const char* name) {
    bytes value(4096);
    const ssize_t got = getxattr(path.c_str(), name, value.data(), value.size());
    value.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
    return value;
}

TEST_F(FileSystems, ReplacedFilesKeepOwnerModeAclAttributesAndLinks) {
    const std::uint32_t n = 3;
    const bytes mesh = distinct_mesh(n);
    const bytes wire = distinct_wire(n, hash_m);
    const bytes acl = acl_with_nobody();
    const bytes tag = {'m', 'e', 's', 'h'};
    struct row {
        const char* what;
        uid_t owner;
        gid_t group;
        mode_t mode;
        bool with_acl;
        bool with_attribute;
        bool second_link;
        bool unprivileged;
        int flags = 0;                    // the file's inode flags
        bool folder_default_acl = false;  // which a new file in the folder would take
        bool in_place = false;            // what the temporary cannot be given: written in place
        kind on = kind::ext4;
        bool new_files_encrypted = false;  // once the file is made: the new one is encrypted
    };
    const row rows[] = {
        {"owned by another user", nobody, nobody, 0640, false, false, false, false},
        {"set-user-ID, owned by another user", nobody, nobody, 04755, false, false, false, false},
        {"private", 0, 0, 0600, false, false, false, false},
        {"an ACL", nobody, nobody, 0660, true, false, false, false},
        {"an extended attribute", nobody, nobody, 0644, false, true, false, false},
        {"two hard links", nobody, nobody, 0644, false, false, true, false, 0, false, true},
        {"a group its user cannot give", nobody, 0, 0664, false, false, false, true, 0, false,
         true},
        {"no ACL, in a folder with a default ACL", nobody, nobody, 0644, false, false, false, false,
         0, true},
        {"an ACL, in a folder with a default ACL", nobody, nobody, 0660, true, false, false, false,
         0, true},
        {"an ACL and attributes, in a folder with a default ACL", nobody, nobody, 0660, true, true,
         false, false, 0, true},
        // tmpfs lists attributes in the order they were set, ext4 in an order of its own.
        {"an ACL and attributes, in a folder with a default ACL, on tmpfs", nobody, nobody, 0660,
         true, true, false, false, 0, true, false, kind::tmpfs},
        {"inode flags: no dump, no access times", nobody, nobody, 0644, false, false, false, false,
         FS_NODUMP_FL | FS_NOATIME_FL},
        {"inode flags of the runner's own file", nobody, nobody, 0644, false, false, false, true,
         FS_NODUMP_FL | FS_SYNC_FL},
        {"inode flags: secure deletion alone", nobody, nobody, 0644, false, false, false, false,
         FS_SECRM_FL},
        // Encryption is the folder's to give, not the file's to keep.
        {"not encrypted, where new files are", nobody, nobody, 0644, false, false, false, false, 0,
         false, false, kind::ext4, true},
    };
    for (const row& r : rows) {
        if (!mount_fs(r.on, "")) {
            return;
        }
        const fs::path m = folder / "fs";
        chmod(m.c_str(), 0777);
        write_file(m / "m", mesh);
        chmod((m / "m").c_str(), 0644);
        write_file(m / "w", old_content);
        ASSERT_EQ(chown((m / "w").c_str(), r.owner, r.group), 0) << r.what;
        if (r.with_attribute) {
            // Three, one of them empty, and before the ACL that a temporary may inherit first:
            // their order counts.
            ASSERT_EQ(setxattr((m / "w").c_str(), "user.origin", tag.data(), tag.size(), 0), 0)
                << r.what;
            ASSERT_EQ(setxattr((m / "w").c_str(), "user.a", tag.data(), 1, 0), 0) << r.what;
            ASSERT_EQ(setxattr((m / "w").c_str(), "user.empty", tag.data(), 0, 0), 0) << r.what;
        }
        if (r.with_acl) {
            ASSERT_EQ(
                setxattr((m / "w").c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0),
                0)
                << r.what << ": " << std::strerror(errno);
        }
        ASSERT_EQ(chmod((m / "w").c_str(), r.mode), 0) << r.what;
        if (r.second_link) {
            fs::create_hard_link(m / "w", m / "other");
        }
        if (r.flags != 0) {
            ASSERT_TRUE(test::change_inode_flags(m / "w", r.flags)) << r.what;
        }
        if (r.folder_default_acl) {
            ASSERT_EQ(setxattr(m.c_str(), "system.posix_acl_default", acl.data(), acl.size(), 0), 0)
                << r.what;
        }
        if (r.new_files_encrypted && !remount_encrypting()) {
            std::printf("skipped \"%s\": this kernel cannot encrypt ext4\n", r.what);
            continue;
        }
        const int flags_before = test::inode_flags(m / "w");
        struct stat before {};
        ASSERT_EQ(stat((m / "w").c_str(), &before), 0);
        const bytes acl_before = attribute(m / "w", "system.posix_acl_access");

        const outcome result =
            run_gantrel(m, {"m", "m", "w"}, {standard_output::captured, 0, 0, r.unprivileged});
        EXPECT_EQ(result.output, converted(n)) << r.what;
        EXPECT_EQ(read_file(m / "w"), wire) << r.what;
        struct stat after {};
        ASSERT_EQ(stat((m / "w").c_str(), &after), 0);
        EXPECT_EQ(after.st_uid, before.st_uid) << r.what;
        EXPECT_EQ(after.st_gid, before.st_gid) << r.what;
        EXPECT_EQ(after.st_mode & 07777, before.st_mode & 07777) << r.what;
        EXPECT_EQ(attribute(m / "w", "system.posix_acl_access"), acl_before) << r.what;
        EXPECT_EQ(test::inode_flags(m / "w"),
                  flags_before | (r.new_files_encrypted ? FS_ENCRYPT_FL : 0))
            << r.what;
        // What the file has is given to the temporary, so that the file is still replaced whole
        // at once, by a rename.
        if (r.in_place) {
            EXPECT_EQ(after.st_ino, before.st_ino) << r.what << ": renamed";
        } else {
            EXPECT_NE(after.st_ino, before.st_ino) << r.what << ": written in place";
        }
        if (r.with_attribute) {
            EXPECT_EQ(attribute(m / "w", "user.origin"), tag) << r.what;
            EXPECT_EQ(attribute(m / "w", "user.a"), bytes(1, 'm')) << r.what;
            EXPECT_EQ(getxattr((m / "w").c_str(), "user.empty", nullptr, 0), 0) << r.what;
        }
        if (r.second_link) {
            EXPECT_EQ(read_file(m / "other"), wire) << r.what;
        }
        std::vector<std::string> expected_names = {"m", "w"};
        if (r.on == kind::ext4) {
            expected_names.insert(expected_names.begin(), "lost+found");
        }
        if (r.second_link) {
            expected_names.insert(expected_names.end() - 1, "other");
        }
        EXPECT_EQ(names_in(m), expected_names) << r.what;
    }
}

// Every system call a replacement makes, failed in turn with EIO (its first, second, ...
// occurrence until the run makes no more): the run reports the failure or a success, and either
// way the file is whole and carries what it carried (owner, mode, ACL, an attribute, an inode
// flag), the old content on a failure and the new on a success, and nothing is left beside it.
// With a second link the file is written in place; so it is where the temporary could not be
// given what the file has, also where an owner or a mode is refused as FAT refuses them (EPERM)
// and the temporary shows the difference.
TEST_F(FileSystems, EveryFailingCallLeavesTheOldFileOrTheNewOneWhole) {
    if (!test::have_strace()) {
        GTEST_SKIP() << "strace is not installed";
    }
    if (test::under_sanitizers) {
        GTEST_SKIP() << "under the sanitizers, the failed calls would be the runtime's own";
    }
    const std::uint32_t n = 3;
    const bytes mesh = distinct_mesh(n);
    const bytes wire = distinct_wire(n, hash_m);
    const bytes acl = acl_with_nobody();
    const bytes tag = {'m', 'e', 's', 'h'};
    const std::vector<std::string> calls = {
        "openat",     "newfstatat", "fstat",        "statx",        "flistxattr",
        "fgetxattr",  "fsetxattr",  "fremovexattr", "fchown",       "fchmod",
        "ioctl",      "pwrite64",   "pread64",      "ftruncate",    "fsync",
        "fdatasync",  "linkat",     "renameat2",    "fcntl",        "flock",
        "faccessat2", "unlinkat",   "close",        "fchown:EPERM", "fchmod:EPERM"};
    const std::set<std::string> carrying = {"fsetxattr", "fremovexattr", "fchown", "fchmod"};
    int injected_runs = 0;
    for (const bool second_link : {false, true}) {
        for (const std::string& failure : calls) {
            const std::string call = failure.substr(0, failure.find(':'));
            const std::string error =
                call == failure ? "EIO" : failure.substr(failure.find(':') + 1);
            for (int occurrence = 1; occurrence <= 12; ++occurrence) {
                if (!mount_fs(kind::ext4, "")) {
                    return;
                }
                const fs::path m = folder / "fs";
                write_file(m / "m", mesh);
                write_file(m / "w", old_content);
                ASSERT_EQ(chown((m / "w").c_str(), nobody, nobody), 0);
                ASSERT_EQ(setxattr((m / "w").c_str(), "user.origin", tag.data(), tag.size(), 0), 0);
                ASSERT_EQ(setxattr((m / "w").c_str(), "system.posix_acl_access", acl.data(),
                                   acl.size(), 0),
                          0);
                // Set-group-ID where the mode is refused: the ACL alone gives the rest.
                ASSERT_EQ(chmod((m / "w").c_str(), failure == "fchmod:EPERM" ? 02640 : 0640), 0);
                if (second_link) {
                    fs::create_hard_link(m / "w", m / "other");
                }
                ASSERT_TRUE(test::change_inode_flags(m / "w", FS_NODUMP_FL));
                struct stat before {};
                ASSERT_EQ(stat((m / "w").c_str(), &before), 0);
                const bytes acl_before = attribute(m / "w", "system.posix_acl_access");
                const int flags_before = test::inode_flags(m / "w");
                const test::traced_run run =
                    test::run_traced(m, {"m", "m", "w"}, call,
                                     "-e inject=" + call + ":error=" + error +
                                         ":when=" + std::to_string(occurrence));
                if (!run.traced) {
                    GTEST_SKIP() << "strace cannot inject faults here";
                }
                if (run.trace.find("(INJECTED)") == std::string::npos) {
                    break;  // past the run's last such call
                }
                ++injected_runs;
                const std::string what = failure + " #" + std::to_string(occurrence) +
                                         (second_link ? ", two links" : "") + ": " + run.printed;
                const bool succeeded = run.printed.size() >= 29 &&
                                       run.printed.compare(run.printed.size() - 29, 29,
                                                           "Successfully wrote quorvwire\n") == 0;
                EXPECT_TRUE(succeeded || run.printed == failed(n, "Could not write file ", "w") ||
                            run.printed == failed(n, "Could not open file ", "w") ||
                            run.printed == "Could not open file m\n")
                    << what;
                EXPECT_EQ(read_file(m / "w"), succeeded ? wire : old_content) << what << run.trace;
                struct stat after {};
                ASSERT_EQ(stat((m / "w").c_str(), &after), 0) << what;
                EXPECT_EQ(after.st_uid, before.st_uid) << what;
                EXPECT_EQ(after.st_gid, before.st_gid) << what;
                EXPECT_EQ(after.st_mode & 07777, before.st_mode & 07777) << what;
                EXPECT_EQ(attribute(m / "w", "user.origin"), tag) << what;
                EXPECT_EQ(attribute(m / "w", "system.posix_acl_access"), acl_before) << what;
                EXPECT_EQ(test::inode_flags(m / "w"), flags_before) << what;
                if (carrying.count(call) != 0) {
                    EXPECT_EQ(after.st_ino, before.st_ino) << what << ": renamed";
                }
                std::vector<std::string> expected = {"lost+found", "m", "w"};
                if (second_link) {
                    EXPECT_EQ(read_file(m / "other"), read_file(m / "w")) << what;
                    expected = {"lost+found", "m", "other", "w"};
                }
                EXPECT_EQ(names_in(m), expected) << what;
            }
        }
    }
    EXPECT_GT(injected_runs, 40) << "the runs made too few of the calls to fail";
}

class Replacing : public test::scratch_folder {};

TEST_F(Replacing, LongNamesAreStagedUnderShortTemporaries) {
    const std::uint32_t n = 3;
    write_file(folder / "m", distinct_mesh(n));
    for (std::size_t length = 240; length <= 255; ++length) {
        const std::string name(length, 'w');
        write_file(folder / name, old_content);
        // A file size limit below the new content: the write fails and the old file stays.
        outcome result = run_gantrel(folder, {"m", "m", name}, {standard_output::captured, 50});
        EXPECT_EQ(result.output, failed(n, "Could not write file ", name)) << length;
        EXPECT_EQ(read_file(folder / name), old_content) << length;
        EXPECT_EQ(names_in(folder), (std::vector<std::string>{"m", name})) << length;
        result = run_gantrel(folder, {"m", "m", name});
        EXPECT_EQ(result.output, converted(n)) << length;
        EXPECT_EQ(read_file(folder / name), distinct_wire(n, hash_m)) << length;
        fs::remove(folder / name);
    }
}

TEST_F(Replacing, ParallelRunsOnOneTargetLeaveOneWholeFile) {
    const std::uint32_t n = 500;
    write_file(folder / "m", distinct_mesh(n));
    write_file(folder / "w", old_content);
    std::vector<pid_t> children;
    std::set<bytes> whole_files;
    for (int i = 0; i < 50; ++i) {
        const std::string name = "mesh" + std::to_string(i);
        whole_files.insert(distinct_wire(n, name_hash(name)));
        children.push_back(
            test::start_gantrel(folder, {"m", name, "w"}, {standard_output::discarded}, nullptr));
    }
    for (const pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    // Every run wrote the same lines under another name hash: the result is one run's file,
    // its header and its lines together.
    EXPECT_EQ(whole_files.count(read_file(folder / "w")), 1u);
    EXPECT_EQ(names_in(folder), (std::vector<std::string>{"m", "w"}));
}

TEST_F(Replacing, RunsKilledAtRandomMomentsLeaveTheOldFileOrTheNewOne) {
    std::vector<std::array<std::uint32_t, 2>> lines;
    write_file(folder / "m", test::largest_mesh(lines));
    const bytes new_content = test::wire_file(hash_m, 0, lines);

    std::mt19937 random(20261208);
    for (const int signal_number : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGKILL}) {
        int leftovers = 0;
        int old_kept = 0;
        int replaced = 0;
        for (int i = 0; i < 100; ++i) {
            write_file(folder / "w", old_content);
            const pid_t child =
                test::start_gantrel(folder, {"m", "m", "w"}, {standard_output::discarded}, nullptr);
            std::this_thread::sleep_for(
                std::chrono::microseconds(std::uniform_int_distribution<int>(0, 6000)(random)));
            kill(child, signal_number);
            waitpid(child, nullptr, 0);
            const bytes after = read_file(folder / "w");
            EXPECT_TRUE(after == old_content || after == new_content)
                << "signal " << signal_number << ", run " << i << ": " << after.size() << " bytes";
            old_kept += after == old_content;
            replaced += after == new_content;
            for (const std::string& name : names_in(folder)) {
                if (name != "m" && name != "w") {
                    ++leftovers;
                    fs::remove(folder / name);
                }
            }
        }
        // Held signals leave nothing. SIGKILL cannot be held: an unnamed temporary leaves
        // nothing either, except in the instant between linking it under a name and renaming it
        // over the old file, which Linux cannot do in one step.
        if (signal_number == SIGKILL) {
            EXPECT_LE(leftovers, 8) << "signal " << signal_number;
        } else {
            EXPECT_EQ(leftovers, 0) << "signal " << signal_number;
        }
        std::printf("signal %d: %d runs kept the old file, %d replaced it, %d leftovers\n",
                    signal_number, old_kept, replaced, leftovers);
    }
}

TEST_F(Replacing, AReplacedFileIsFlushedToTheDiskBeforeTheRename) {
    // A power cut cannot be staged here; the order of the calls that guard against one can.
    if (!test::have_strace()) {
        GTEST_SKIP() << "strace is not installed";
    }
    write_file(folder / "old", old_content);
    struct row {
        const char* what;
        std::string output;
        bool flushed;
    };
    const row rows[] = {
        {"an existing file", "old", true},
        {"input and output the same", "m", true},
        {"a new file needs no flush", "new", false},
        {"a file with two links, written in place", "linked", true},
    };
    for (const row& r : rows) {
        write_file(folder / "m", distinct_mesh(3));
        if (r.output == "linked") {
            put_linked(folder, old_content);
        }
        const test::traced_run run = test::run_traced(
            folder, {"m", "m", r.output}, "fsync,fdatasync,rename,renameat,renameat2,linkat");
        if (!run.traced) {
            GTEST_SKIP() << "strace cannot trace here";
        }
        const std::string& trace = run.trace;
        const std::size_t flush = trace.find("fsync(");
        const std::size_t rename = trace.find("rename");
        const std::size_t link = trace.find("linkat(");
        if (r.output == "linked") {
            // In place: no temporary is linked or renamed; the file itself is flushed.
            EXPECT_NE(flush, std::string::npos) << r.what << "\n" << trace;
            EXPECT_EQ(rename, std::string::npos) << r.what << "\n" << trace;
            EXPECT_EQ(read_file(folder / "linked2"), distinct_wire(3, hash_m)) << r.what;
        } else if (r.flushed) {
            ASSERT_NE(flush, std::string::npos) << r.what << "\n" << trace;
            ASSERT_NE(rename, std::string::npos) << r.what << "\n" << trace;
            EXPECT_LT(flush, rename) << r.what << "\n" << trace;
            EXPECT_LT(flush, link) << r.what << "\n" << trace;
        } else {
            EXPECT_EQ(flush, std::string::npos) << r.what << "\n" << trace;
        }
        EXPECT_EQ(read_file(folder / r.output), distinct_wire(3, hash_m)) << r.what;
    }
}

// The walk to the output holds one folder at a time: 500 folders deep, with room for 32
// descriptors, the run still writes.
TEST_F(Replacing, ADeepPathNeedsFewDescriptors) {
    if (std::system("command -v prlimit >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "prlimit is not installed";
    }
    write_file(folder / "m", distinct_mesh(3));
    std::string deep;
    for (int i = 0; i < 500; ++i) {
        deep += "d/";
    }
    fs::create_directories(folder / deep);
    const char* binary = std::getenv("GANTREL_BINARY");
    ASSERT_NE(binary, nullptr) << "GANTREL_BINARY names the gantrel to run";
    const std::string command = "cd '" + folder.string() + "' && prlimit --nofile=32 '" + binary +
                                "' m m " + deep + "w > ../deep.printed";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const bytes printed = read_file(folder.parent_path() / "deep.printed");
    fs::remove(folder.parent_path() / "deep.printed");
    EXPECT_EQ(std::string(printed.begin(), printed.end()), converted(3));
    EXPECT_EQ(read_file(folder / deep / "w"), distinct_wire(3, hash_m));
}

// The input is closed before the output is opened, so that the two may be one file on Windows,
// which does not replace a file that is open.
TEST_F(Replacing, TheInputIsClosedBeforeTheOutputIsOpened) {
    if (!test::have_strace()) {
        GTEST_SKIP() << "strace is not installed";
    }
    write_file(folder / "m", distinct_mesh(3));
    const test::traced_run run = test::run_traced(folder, {"m", "m", "m"}, "openat,close");
    if (!run.traced) {
        GTEST_SKIP() << "strace cannot trace here";
    }
    const std::size_t input = run.trace.find("\"m\", O_RDONLY)");
    ASSERT_NE(input, std::string::npos) << run.trace;
    const std::size_t line_end = run.trace.find('\n', input);
    const std::size_t number_at = run.trace.rfind("= ", line_end) + 2;
    const std::string fd = run.trace.substr(number_at, line_end - number_at);
    const std::size_t closed = run.trace.find(" close(" + fd + ")", line_end);
    const std::size_t output = run.trace.find("openat(", line_end);
    EXPECT_LT(closed, output) << run.trace;
    EXPECT_EQ(run.printed, converted(3));
}

// A write or read that a signal interrupts (EINTR), the first or the second of its kind, is made
// again: the run still succeeds, with every byte written once.
TEST_F(Replacing, InterruptedCallsAreMadeAgain) {
    if (!test::have_strace()) {
        GTEST_SKIP() << "strace is not installed";
    }
    if (test::under_sanitizers) {
        GTEST_SKIP() << "under the sanitizers, the interrupted calls would be the runtime's own";
    }
    struct row {
        const char* what;
        std::string call;
        const char* target;  // "w": a new file; "linked": one with two links, written in place;
                             // "fifo": a FIFO, read to its end by another process
        std::string also;    // further strace options
    };
    // Where the file system refuses the lock on the open file, the run falls back to flock.
    const std::string no_file_lock =
        "-P '" + (folder / "linked").string() + "' -e inject=fcntl:error=ENOLCK";
    const row rows[] = {
        {"a write to the temporary", "pwrite64", "w", ""},
        {"a write in place", "pwrite64", "linked", ""},
        {"a read of the bytes kept", "pread64", "linked", ""},
        // Only the FIFO's: the run's messages are writes too.
        {"a write to a FIFO", "write", "fifo", "-P '" + (folder / "fifo").string() + "'"},
        {"the wait for the lock on the file", "fcntl", "linked",
         "-P '" + (folder / "linked").string() + "'"},
        {"the wait for the fallback lock", "flock", "linked", no_file_lock},
    };
    for (const row& r : rows) {
        for (const int occurrence : {1, 2}) {
            const std::string what =
                std::string(r.what) + ", interrupted #" + std::to_string(occurrence);
            write_file(folder / "m", distinct_mesh(3));
            fs::remove(folder / "w");
            fs::remove(folder / "linked");
            fs::remove(folder / "linked2");
            fs::remove(folder / "fifo");
            fs::remove(folder.string() + ".got");
            pid_t reader = -1;
            if (std::string(r.target) == "linked") {
                put_linked(folder, old_content);
            } else if (std::string(r.target) == "fifo") {
                ASSERT_EQ(mkfifo((folder / "fifo").c_str(), 0600), 0);
                reader = fork();
                if (reader == 0) {
                    const int in = open((folder / "fifo").c_str(), O_RDONLY);
                    const int out = open((folder.string() + ".got").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
                    char buffer[4096];
                    for (ssize_t got = 0; (got = read(in, buffer, sizeof buffer)) > 0;) {
                        if (write(out, buffer, static_cast<std::size_t>(got)) != got) {
                            _exit(1);
                        }
                    }
                    _exit(0);
                }
            }
            const test::traced_run run = test::run_traced(
                folder, {"m", "m", r.target}, r.call == "flock" ? "flock,fcntl" : r.call,
                r.also + " -e inject=" + r.call +
                    ":error=EINTR:when=" + std::to_string(occurrence));
            if (reader > 0) {
                test::wait_with_deadline(reader, 5000);
            }
            if (!run.traced) {
                GTEST_SKIP() << "strace cannot inject faults here";
            }
            const std::size_t interrupted = run.trace.find("EINTR (Interrupted system call) (INJ");
            if (interrupted == std::string::npos) {
                // Past the run's last such call; the first one must come.
                EXPECT_GT(occurrence, 1) << what << ": never made\n" << run.trace;
                continue;
            }
            EXPECT_NE(run.trace.find(" " + r.call + "(", interrupted), std::string::npos)
                << what << ": not made again\n"
                << run.trace;
            EXPECT_EQ(run.printed, converted(3)) << what;
            const fs::path written = std::string(r.target) == "fifo"
                                         ? fs::path(folder.string() + ".got")
                                         : folder / r.target;
            EXPECT_EQ(read_file(written), distinct_wire(3, hash_m)) << what;
        }
    }
    fs::remove(folder.string() + ".got");
}

// A write or a read that stops short goes on from where it stopped, to the last byte. strace makes
// the call claim its count without moving a byte, so the bytes claimed stay as they were: zero in
// a new file, and in the old bytes kept of a file written in place, which a failed write brings
// back.
TEST_F(Replacing, ShortWritesAndReadsGoOnWhereTheyStopped) {
    if (!test::have_strace()) {
        GTEST_SKIP() << "strace is not installed";
    }
    if (test::under_sanitizers) {
        GTEST_SKIP() << "under the sanitizers, the shortened calls would be the runtime's own";
    }
    // A carried word, so that the header's last byte is not zero.
    const bytes mesh = test::mesh_file(0, 0xABCD, 9, test::distinct_sides(3));
    const bytes wire = test::wire_file(hash_m, 0xABCD, test::distinct_side_lines(3));
    bytes old(100);
    std::iota(old.begin(), old.end(), 1);
    const std::string write_fails = " -e inject=pwrite64:error=EIO:when=1";
    struct row {
        const char* what;
        std::string target;  // "linked": a file with two links, written in place
        std::string inject;
        std::size_t claimed;
    };
    const row rows[] = {
        {"a write of the header's first byte", "w", "pwrite64:retval=1:when=1", 1},
        {"a write of all of the header but its last byte", "w", "pwrite64:retval=15:when=1", 15},
        {"a read of the old file's first byte", "linked", "pread64:retval=1:when=1" + write_fails,
         1},
        {"a read of all of the old file but its last byte", "linked",
         "pread64:retval=99:when=1" + write_fails, 99},
    };
    for (const row& r : rows) {
        write_file(folder / "m", mesh);
        fs::remove(folder / "w");
        fs::remove(folder / "linked");
        fs::remove(folder / "linked2");
        const bool in_place = r.target == "linked";
        if (in_place) {
            put_linked(folder, old);
        }
        const test::traced_run run = test::run_traced(folder, {"m", "m", r.target},
                                                      "pwrite64,pread64", "-e inject=" + r.inject);
        if (!run.traced) {
            GTEST_SKIP() << "strace cannot inject faults here";
        }
        bytes expected = in_place ? old : wire;
        std::fill(expected.begin(), expected.begin() + static_cast<long>(r.claimed), 0);
        EXPECT_EQ(run.printed,
                  in_place ? failed(3, "Could not write file ", r.target) : converted(3))
            << r.what;
        EXPECT_EQ(read_file(folder / r.target), expected) << r.what << "\n" << run.trace;
    }
}

TEST_F(Replacing, NamedTemporariesTryAnotherNameOnAClash) {
    // Without unnamed temporaries (the look at /proc/self/fd made to fail), the first name tried
    // is made to clash: the run must try another, not give up; but not forever either.
    if (!test::have_strace()) {
        GTEST_SKIP() << "strace is not installed";
    }
    write_file(folder / "m", distinct_mesh(3));
    // Runs the tool under strace with `inject`: the trace of its opens, and what it printed.
    const auto traced = [&](const std::string& inject) {
        fs::remove(folder / "fresh");
        return test::run_traced(
            folder, {"m", "m", "fresh"},
            "access,faccessat,faccessat2,openat,getrandom,unlinkat,rename,renameat,renameat2",
            "-e inject=access,faccessat,faccessat2:error=ENOENT " + inject);
    };
    // A first run finds which open makes the first named temporary.
    const std::string plain = traced("").trace;
    const int first_named = test::call_number(plain, "openat", "O_EXCL");
    if (plain.find("(INJECTED)") == std::string::npos) {
        GTEST_SKIP() << "strace cannot inject faults here";
    }
    ASSERT_NE(first_named, 0) << "no temporary was created exclusively:\n" << plain;
    const test::traced_run clash =
        traced("-e inject=openat:error=EEXIST:when=" + std::to_string(first_named));
    EXPECT_NE(
        clash.trace.find("O_EXCL|O_NOFOLLOW|O_CLOEXEC, 0666) = -1 EEXIST (File exists) (INJECTED)"),
        std::string::npos)
        << clash.trace;
    EXPECT_EQ(clash.printed, converted(3));
    EXPECT_EQ(read_file(folder / "fresh"), distinct_wire(3, hash_m));
    EXPECT_EQ(names_in(folder), (std::vector<std::string>{"fresh", "m"}));
    // Where every name clashes, the run gives up after a hundred rather than try forever.
    const test::traced_run crowded =
        traced("-e inject=openat:error=EEXIST:when=" + std::to_string(first_named) + "+");
    EXPECT_EQ(test::occurrences(crowded.trace, "EEXIST (File exists) (INJECTED)"), 100)
        << crowded.trace;
    EXPECT_EQ(crowded.printed, failed(3, "Could not write file ", "fresh"));
    EXPECT_EQ(names_in(folder), (std::vector<std::string>{"m"}));
    // Without the random source there is no name nobody could guess, and so no temporary.
    const test::traced_run unnamable = traced("-e inject=getrandom:error=EIO");
    EXPECT_NE(unnamable.trace.find("getrandom(0x"), std::string::npos) << unnamable.trace;
    EXPECT_EQ(unnamable.trace.find("O_EXCL"), std::string::npos) << unnamable.trace;
    EXPECT_EQ(unnamable.printed, failed(3, "Could not write file ", "fresh"));
    EXPECT_EQ(names_in(folder), (std::vector<std::string>{"m"}));
    // A failed rename removes the temporary once: a second removal could take another's file
    // that has come to bear the name since.
    const test::traced_run unrenamed = traced("-e inject=rename,renameat,renameat2:error=EIO");
    const std::size_t removal = unrenamed.trace.find("unlinkat(");
    EXPECT_NE(removal, std::string::npos) << unrenamed.trace;
    EXPECT_EQ(unrenamed.trace.find("unlinkat(", removal + 1), std::string::npos) << unrenamed.trace;
    EXPECT_EQ(unrenamed.printed, failed(3, "Could not write file ", "fresh"));
    EXPECT_EQ(names_in(folder), (std::vector<std::string>{"m"}));
}

TEST_F(Replacing, AnUnnamedTemporaryTakesFreshNamesOnlyOnAClash) {
    // Over an existing file the unnamed temporary is linked under a fresh name, then renamed. A
    // clash tries another name, up to a hundred; any other failure ends the write at once.
    if (!test::have_strace()) {
        GTEST_SKIP() << "strace is not installed";
    }
    struct row {
        const char* failure;
        int links;
        bool written;
    };
    const row rows[] = {
        {"error=EEXIST", 100, false},
        {"error=EMLINK", 1, false},
        {"error=EEXIST:when=1", 2, true},  // the second name is the one, and the only one
    };
    write_file(folder / "m", distinct_mesh(3));
    for (const row& r : rows) {
        write_file(folder / "w", old_content);
        const test::traced_run run = test::run_traced(folder, {"m", "m", "w"}, "linkat",
                                                      std::string("-e inject=linkat:") + r.failure);
        EXPECT_EQ(test::occurrences(run.trace, "linkat("), r.links) << r.failure << "\n"
                                                                    << run.trace;
        EXPECT_EQ(run.printed, r.written ? converted(3) : failed(3, "Could not write file ", "w"))
            << r.failure;
        EXPECT_EQ(read_file(folder / "w"), r.written ? distinct_wire(3, hash_m) : old_content)
            << r.failure;
        EXPECT_EQ(names_in(folder), (std::vector<std::string>{"m", "w"})) << r.failure;
    }
}

// Whether /proc/locks shows a request waiting for a lock on the inode `inode`.
bool lock_awaited(ino_t inode) {
    std::ifstream locks("/proc/locks");
    const std::string on_inode = ":" + std::to_string(inode) + " ";
    for (std::string line; std::getline(locks, line);) {
        if (line.find("->") != std::string::npos && line.find(on_inode) != std::string::npos) {
            return true;
        }
    }
    return false;
}

TEST_F(Replacing, AnInPlaceWriteWaitsWhileAnotherProcessLocksTheFile) {
    // Even a read lock held elsewhere keeps it waiting: it writes under a lock of its own. It is
    // started without descriptors 0 to 2, and holds /dev/null on each while it waits, so that no
    // file it opens takes the place of one.
    write_file(folder / "m", distinct_mesh(3));
    put_linked(folder, old_content);
    const int held = open((folder / "linked").c_str(), O_RDONLY | O_CLOEXEC);
    struct flock lock {};
    lock.l_type = F_RDLCK;
    struct stat info {};
    ASSERT_EQ(fcntl(held, F_OFD_SETLK, &lock), 0);
    ASSERT_EQ(fstat(held, &info), 0);
    const pid_t child = test::start_gantrel(
        folder, {"m", "m", "linked"}, {standard_output::closed, 0, 0, false, true, true}, nullptr);
    bool waiting = false;
    for (int waited_ms = 0; !waiting && waited_ms < 10000; waited_ms += 10) {
        usleep(10 * 1000);
        waiting = lock_awaited(info.st_ino);
    }
    EXPECT_TRUE(waiting) << "the write did not wait for the lock";
    for (const char* fd : {"0", "1", "2"}) {
        std::error_code ec;
        EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(child) + "/fd/" + fd, ec), "/dev/null")
            << "descriptor " << fd;
    }
    EXPECT_EQ(read_file(folder / "linked"), old_content);
    close(held);
    EXPECT_TRUE(test::ends_within(child, 10000));
    EXPECT_EQ(read_file(folder / "linked"), distinct_wire(3, hash_m));
}

// A failure that trying again would not mend ends the write at once, with the target as it was:
// the body of the link to it that cannot be read, and over an existing target, the unnamed
// temporary that cannot be linked under a fresh name, or the random source that gives none.
TEST_F(Replacing, FailuresThatEndTheWriteAtOnce) {
    if (!test::have_strace()) {
        GTEST_SKIP() << "strace is not installed";
    }
    struct row {
        std::string call;
        const char* output;
        const char* how;
        std::string call_made;  // as the trace shows the failing call, its descriptors named
        // "w" has a second link, "w2"; only the call shown as call_made fails, not the dynamic
        // loader's of a sanitized build
        bool in_place = false;
    };
    const row rows[] = {
        {"readlinkat", "link", "Could not open file ", "readlinkat("},
        {"linkat", "w", "Could not write file ", "linkat("},
        // The six bytes of a temporary's name, not the line index's key, which has a fallback.
        {"getrandom", "w", "Could not write file ", ", 6, 0)"},
        // Old bytes that cannot be read could not be brought back: nothing is written.
        {"pread64", "w", "Could not write file ", "/w>, ", true},
    };
    for (const row& r : rows) {
        write_file(folder / "m", distinct_mesh(3));
        write_file(folder / "w", old_content);
        fs::remove(folder / "link");
        fs::create_symlink("w", folder / "link");
        fs::remove(folder / "w2");
        if (r.in_place) {
            fs::create_hard_link(folder / "w", folder / "w2");
        }
        std::string failing = "-y -e inject=" + r.call + ":error=EIO";
        if (r.in_place) {
            const int number = test::call_number(
                test::run_traced(folder, {"m", "m", r.output}, r.call, "-y").trace, r.call,
                r.call_made);
            ASSERT_GT(number, 0) << r.call << ": the target's call was not made";
            failing += ":when=" + std::to_string(number);
            write_file(folder / "w", old_content);  // the probe replaced it, in place
        }
        const test::traced_run run =
            test::run_traced(folder, {"m", "m", r.output}, r.call, failing);
        if (run.trace.find("(INJECTED)") == std::string::npos) {
            GTEST_SKIP() << "strace cannot inject faults here, or the run made no " << r.call;
        }
        EXPECT_EQ(run.printed, failed(3, r.how, r.output)) << r.call;
        EXPECT_EQ(run.trace.find(r.call_made, run.trace.find(r.call_made) + 1), std::string::npos)
            << r.call << " made again:\n"
            << run.trace;
        EXPECT_EQ(read_file(folder / "w"), old_content) << r.call;
        std::vector<std::string> names{"link", "m", "w"};
        if (r.in_place) {
            names.push_back("w2");
        }
        EXPECT_EQ(names_in(folder), names) << r.call;
    }
}

// The records of a large mesh reach the file through a pipe, every byte of them when nothing
// fails. Where the pipe cannot be had or a step of it fails, the rest is written as any other
// write, once, and the file comes out whole; a write that then fails too is a failed write, and
// the old file stays.
TEST_F(Replacing, LargeRecordsGoThroughAPipeOrAreWrittenAsUsual) {
    if (!test::have_strace()) {
        GTEST_SKIP() << "strace is not installed";
    }
    if (test::under_sanitizers) {
        GTEST_SKIP() << "under the sanitizers, the failed calls could be the runtime's own";
    }
    // Distinct sides from vertex 1 on, so that the records start with a byte that is not zero
    // and one left unwritten shows: 6000 lines, 24000 bytes of records.
    const std::uint32_t n = 2000;
    test::triangle_list triangles = test::distinct_sides(n);
    std::vector<std::array<std::uint32_t, 2>> lines = test::distinct_side_lines(n);
    for (test::tri& t : triangles) {
        for (std::uint32_t& v : t) {
            ++v;
        }
    }
    for (std::array<std::uint32_t, 2>& l : lines) {
        for (std::uint32_t& v : l) {
            ++v;
        }
    }
    const bytes mesh = test::mesh_file(0, 0, 3 * n, triangles);
    const bytes wire = test::wire_file(hash_m, 0, lines);
    const std::string full_disk = "splice:error=ENOSPC -e inject=pwrite64:error=ENOSPC:when=2";
    struct row {
        const char* what;
        const char* target;  // "linked": a file with two links, written in place
        std::string inject;
        int writes;     // pwrite64 calls: the header's, the records' where the pipe gave way, and
                        // the old bytes' where they are brought back
        int handovers;  // vmsplice and splice calls
        bool written;
    };
    const row rows[] = {
        {"nothing fails", "w", "", 1, 2, true},
        {"nothing fails, in place", "linked", "", 1, 2, true},
        {"no pipe to be had", "w", "pipe2:error=EMFILE", 2, 0, true},
        {"pages the pipe refuses", "w", "vmsplice:error=EINVAL", 2, 1, true},
        {"a file that takes nothing from a pipe", "w", "splice:error=EINVAL", 2, 2, true},
        {"a handover interrupted", "w", "vmsplice:error=EINTR:when=1", 1, 3, true},
        {"a move into the file interrupted", "w", "splice:error=EINTR:when=1", 1, 3, true},
        {"a full disk", "w", full_disk, 2, 2, false},
        {"a full disk, in place", "linked", full_disk, 3, 2, false},
    };
    for (const row& r : rows) {
        write_file(folder / "m", mesh);
        fs::remove(folder / "w");
        put_linked(folder, old_content);
        const std::string inject = r.inject.empty() ? "" : "-e inject=" + r.inject;
        const test::traced_run run = test::run_traced(folder, {"m", "m", r.target},
                                                      "pwrite64,pipe2,vmsplice,splice", inject);
        if (!run.traced) {
            GTEST_SKIP() << "strace cannot trace the tool here";
        }
        EXPECT_EQ(r.inject.empty(), run.trace.find("(INJECTED)") == std::string::npos)
            << r.what << ": the call to fail was not made\n"
            << run.trace;
        const bool in_place = std::string(r.target) == "linked";
        EXPECT_EQ(test::occurrences(run.trace, "pwrite64("), r.writes) << r.what << "\n"
                                                                       << run.trace;
        EXPECT_EQ(
            test::occurrences(run.trace, " vmsplice(") + test::occurrences(run.trace, " splice("),
            r.handovers)
            << r.what << "\n"
            << run.trace;
        // The header, a small part, is written as it is: the pipe is only for large ones.
        EXPECT_NE(run.trace.find(", 16, 0) = 16"), std::string::npos) << r.what << "\n"
                                                                      << run.trace;
        if (r.written) {
            EXPECT_EQ(run.printed, converted(n)) << r.what;
            EXPECT_EQ(read_file(folder / r.target), wire) << r.what;
        } else {
            EXPECT_EQ(run.printed, failed(n, "Could not write file ", r.target)) << r.what;
            if (in_place) {
                EXPECT_EQ(read_file(folder / r.target), old_content) << r.what;
            }
        }
        std::vector<std::string> names{"linked", "linked2", "m"};
        if (!in_place && r.written) {
            names.push_back("w");
        }
        EXPECT_EQ(names_in(folder), names) << r.what;
    }
}

// A run started without standard input where /dev/null cannot be opened (covered here, in this
// test's mount namespace, by a file mounted read-only) has descriptor 0 free: the walk
// starts from it, and the folder after next, or the target, is opened as descriptor 0. Each is
// used like any other; the target is opened for reading too, so that a write in place that fails
// (past a size limit of 20 bytes) brings the old bytes back.
TEST_F(FileSystems, DescriptorZeroIsADescriptorLikeAnyOther) {
    write_file(folder / "m", distinct_mesh(3));
    chmod((folder / "m").c_str(), 0644);
    struct row {
        const char* folder;  // of the file with two links, written in place
        rlim_t size_limit;
    };
    for (const row& r : {row{"d", 0}, row{"d", 20}, row{"d/e", 0}}) {
        const fs::path at = folder / r.folder;
        fs::create_directories(at);
        put_linked(at, old_content);
        for (const fs::path& owned : {folder / "d", at, at / "linked", at / "linked2"}) {
            ASSERT_EQ(chown(owned.c_str(), test::nobody, test::nobody), 0);
        }
        const std::string target = std::string(r.folder) + "/linked";
        ASSERT_TRUE(test::cover_dev_null(folder / "no-null")) << std::strerror(errno);
        const outcome result = run_gantrel(
            folder, {"m", "m", target}, {standard_output::captured, r.size_limit, 0, true, true});
        test::uncover_dev_null();
        if (r.size_limit == 0) {
            EXPECT_EQ(result.output, converted(3)) << target;
            EXPECT_EQ(read_file(at / "linked"), distinct_wire(3, hash_m)) << target;
        } else {
            EXPECT_EQ(result.output, failed(3, "Could not write file ", target));
            EXPECT_EQ(read_file(at / "linked"), old_content);
        }
    }
}

TEST_F(FileSystems, ARenameThatFailsKeepsTheTargetAndLeavesNoTemporary) {
    // A file mounted over the target: renaming onto a mount point fails with EBUSY.
    const std::uint32_t n = 3;
    write_file(folder / "m", distinct_mesh(n));
    write_file(folder / "w", old_content);
    write_file(folder / "over", bytes(40, 0x33));
    ASSERT_EQ(mount((folder / "over").c_str(), (folder / "w").c_str(), nullptr, MS_BIND, nullptr),
              0);
    const outcome result = run_gantrel(folder, {"m", "m", "w"});
    umount2((folder / "w").c_str(), MNT_DETACH);
    EXPECT_EQ(result.output, failed(n, "Could not write file ", "w"));
    EXPECT_EQ(read_file(folder / "w"), old_content);
    EXPECT_EQ(read_file(folder / "over"), bytes(40, 0x33));
    EXPECT_EQ(names_in(folder), (std::vector<std::string>{"m", "over", "w"}));
}

// Each message is one write however long, so that runs sharing an output never interleave within
// a line: here one of more than 4096 bytes, longer than an output stream's buffer.
TEST_F(Replacing, EveryMessageIsOneWrite) {
    if (!test::have_strace()) {
        GTEST_SKIP() << "strace is not installed";
    }
    write_file(folder / "m", distinct_mesh(3));
    const std::string output = "no/" + std::string(4090, 'x');
    const test::traced_run run = test::run_traced(folder, {"m", "m", output}, "write", "-s 0");
    EXPECT_EQ(run.printed, failed(3, "Could not open file ", output));
    std::vector<std::size_t> lines;
    for (std::size_t at = 0, end = 0; (end = run.printed.find('\n', at)) != std::string::npos;
         at = end + 1) {
        lines.push_back(end + 1 - at);
    }
    std::vector<std::size_t> writes;
    for (std::size_t at = 0; (at = run.trace.find("write(1, ", at)) != std::string::npos; ++at) {
        const std::string call = run.trace.substr(at, run.trace.find('\n', at) - at);
        writes.push_back(std::stoul(call.substr(call.rfind("= ") + 2)));
    }
    EXPECT_EQ(writes, lines) << run.trace;
}

TEST_F(Replacing, ASmallStackIsEnough) {
    const std::uint32_t n = 10000;
    write_file(folder / "m", distinct_mesh(n));
    const outcome result =
        run_gantrel(folder, {"m", "m", "w"}, {standard_output::captured, 0, 64 * 1024});
    EXPECT_TRUE(WIFEXITED(result.status)) << "killed by signal " << WTERMSIG(result.status);
    EXPECT_EQ(result.output, converted(n));
    EXPECT_EQ(read_file(folder / "w"), distinct_wire(n, hash_m));
}

// Runs under strace hold the run at the one call that matters; these fixtures' files sit in the
// test's folder, the traces beside it.
class Held : public Replacing {
protected:
    void SetUp() override {
        Replacing::SetUp();
        if (!test::have_strace()) {
            GTEST_SKIP() << "strace is not installed";
        }
        trace = folder.parent_path() / (folder.filename().string() + ".trace");
        printed = folder.parent_path() / (folder.filename().string() + ".printed");
    }
    void TearDown() override {
        fs::remove(trace);
        fs::remove(printed);
        Replacing::TearDown();
    }
    std::string printed_text() const {
        const bytes text = read_file(printed);
        return std::string(text.begin(), text.end());
    }
    std::string trace_text() const {
        const bytes text = read_file(trace);
        return std::string(text.begin(), text.end());
    }
    // Which of a run's calls traced as `call` is the first to show `text`, from a run of its
    // own (1 for the first; 0 for none), so that a later run is held at that very call.
    int call_number(const std::vector<std::string>& arguments, const std::string& calls,
                    const std::string& options, const std::string& call, const std::string& text) {
        test::traced_status(test::start_traced(folder, arguments, calls, options, trace, printed),
                            10000);
        const std::string lines = trace_text();
        fs::remove(trace);
        return test::call_number(lines, call, text);
    }
    fs::path trace;
    fs::path printed;
};

TEST_F(Held, InPlaceWritersTakeTurnsAndMeasureTheFileOnlyOnTheirTurn) {
    // Two links keep the file in place. The first run is held at its write with the file locked;
    // the second, of a shorter content than the first's but longer than the old, waits for the
    // lock and must measure the file after the first run's write, so that it cuts it to its own.
    write_file(folder / "big", distinct_mesh(300));
    write_file(folder / "small", distinct_mesh(3));
    write_file(folder / "w", bytes(10, 0x5A));
    fs::create_hard_link(folder / "w", folder / "w2");
    const pid_t first =
        test::start_traced(folder, {"big", "m", "w"}, "pwrite64",
                           "-e inject=pwrite64:delay_enter=500000:when=1", trace, printed);
    ASSERT_GT(test::traced_process_at(trace, "pwrite64(", 5000), 0) << "the first run never wrote";
    const outcome second = run_gantrel(folder, {"small", "m", "w"});
    test::traced_status(first, 10000);
    EXPECT_EQ(printed_text(), converted(300));
    EXPECT_EQ(second.output, converted(3));
    EXPECT_EQ(read_file(folder / "w"), distinct_wire(3, hash_m)) << "the second run went first";
    EXPECT_EQ(read_file(folder / "w2"), distinct_wire(3, hash_m));
}

TEST_F(Held, AFailedInPlaceWriteFlushesTheRestoredBytes) {
    write_file(folder / "m", distinct_mesh(3));
    // Longer than the new content, and shorter, which the restoring cuts back to its size.
    for (const bytes& before : {old_content, bytes{'x'}}) {
        write_file(folder / "w", before);
        fs::remove(folder / "w2");
        fs::create_hard_link(folder / "w", folder / "w2");
        const pid_t run =
            test::start_traced(folder, {"m", "m", "w"}, "pwrite64,fsync",
                               "-e inject=pwrite64:error=ENOSPC:when=1", trace, printed);
        test::traced_status(run, 10000);
        EXPECT_EQ(printed_text(), failed(3, "Could not write file ", "w"));
        EXPECT_EQ(read_file(folder / "w"), before);
        const std::string text = trace_text();
        const std::size_t injected = text.find("(INJECTED)");
        ASSERT_NE(injected, std::string::npos) << text;
        const std::size_t restored = text.find("pwrite64(", injected);
        ASSERT_NE(restored, std::string::npos) << "the old bytes were not written back:\n" << text;
        EXPECT_NE(text.find("fsync(", restored), std::string::npos)
            << "the restored bytes were not flushed:\n"
            << text;
    }
}

TEST_F(Held, HeldSignalsActOnceTheRenameIsDone) {
    // A signal sent while the replacement's flush is held waits for the rename, then ends the
    // run as it would have: the new content is whole, no temporary is left, and the run dies of
    // that signal before its success line.
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        write_file(folder / "m", distinct_mesh(3));
        write_file(folder / "w", old_content);
        const pid_t run = test::start_traced(folder, {"m", "m", "w"}, "fsync",
                                             "-e inject=fsync:delay_enter=300000", trace, printed);
        const pid_t tool = test::traced_process_at(trace, "fsync(", 5000);
        ASSERT_GT(tool, 0) << strsignal(signal_number) << ": the run never flushed";
        kill(tool, signal_number);
        const int status = test::traced_status(run, 10000);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number)
            << strsignal(signal_number) << ": status " << status;
        EXPECT_EQ(read_file(folder / "w"), distinct_wire(3, hash_m)) << strsignal(signal_number);
        EXPECT_EQ(printed_text(), reports + "9\n") << strsignal(signal_number);
        EXPECT_EQ(names_in(folder), (std::vector<std::string>{"m", "w"}))
            << strsignal(signal_number);
        fs::remove(trace);
    }
}

TEST_F(Held, AFolderThatVanishesDuringTheRunIsNotWrittenAgain) {
    // The target's folder is removed, and another made under its name, while the run is held at
    // the creation of its temporary: the run refuses, and writes nowhere.
    struct row {
        const char* what;
        std::string creation;  // what the temporary's creation shows in the trace
        std::string calls;
        std::string options;
    };
    const row rows[] = {
        {"an unnamed temporary", "O_TMPFILE", "openat", ""},
        {"a named temporary", "O_EXCL", "openat,access,faccessat,faccessat2",
         "-e inject=access,faccessat,faccessat2:error=ENOENT"},  // no /proc/self/fd
    };
    write_file(folder / "m", distinct_mesh(3));
    for (const row& r : rows) {
        fs::create_directories(folder / "d");
        const int creation =
            call_number({"m", "m", "d/w"}, r.calls, r.options, "openat", r.creation);
        ASSERT_GT(creation, 0) << r.what << ": not made here";
        fs::remove(folder / "d/w");
        const pid_t run = test::start_traced(
            folder, {"m", "m", "d/w"}, r.calls,
            r.options + " -e inject=openat:delay_enter=400000:when=" + std::to_string(creation),
            trace, printed);
        ASSERT_GT(test::traced_process_at(trace, r.creation, 5000), 0) << r.what;
        fs::remove(folder / "d");
        fs::create_directories(folder / "d");
        test::traced_status(run, 10000);
        EXPECT_EQ(printed_text(), failed(3, "Could not open file ", "d/w")) << r.what;
        EXPECT_EQ(names_in(folder / "d"), std::vector<std::string>{}) << r.what;
        EXPECT_EQ(names_in(folder), (std::vector<std::string>{"d", "m"})) << r.what;
        fs::remove_all(folder / "d");
        fs::remove(trace);
    }
}

TEST_F(Held, AnAppendOnlyFolderNeverHoldsATemporary) {
    // An append-only folder takes new names but never lets one go: an existing file is written
    // in place, a new one is linked straight from an unnamed temporary, and where only named
    // temporaries can be made, which could never be renamed or removed, nothing is begun.
    if (geteuid() != 0) {
        GTEST_SKIP() << "making a folder append-only needs root";
    }
    struct row {
        const char* what;
        bool existing;
        std::string calls;
        std::string options;
        std::string expected;
        std::string injected_into = "";  // what the failed call's line in the trace holds
    };
    const std::string no_proc = "-e inject=access,faccessat,faccessat2:error=ENOENT";
    write_file(folder / "m", distinct_mesh(3));
    fs::create_directories(folder / "d");
    const int unnamed_creation =
        call_number({"m", "m", "d/w"}, "openat", "", "openat", "O_TMPFILE");
    ASSERT_GT(unnamed_creation, 0) << "no unnamed temporary is made here";
    const row rows[] = {
        {"an existing file", true, "openat", "", converted(3)},
        {"a new file", false, "openat", "", converted(3)},
        {"an existing file, named temporaries only", true, "openat,access,faccessat,faccessat2",
         no_proc, converted(3)},
        {"a new file, named temporaries only", false, "openat,access,faccessat,faccessat2", no_proc,
         failed(3, "Could not open file ", "d/w")},
        // A full disk is no refusal: the run does not take it for a folder that keeps names.
        {"a new file, the unnamed temporary failing for want of space", false, "openat",
         "-e inject=openat:error=ENOSPC:when=" + std::to_string(unnamed_creation),
         failed(3, "Could not write file ", "d/w"), "O_TMPFILE"},
        // The name taken between the look and the link: a fresh name could never be let go.
        {"a new file, its name taken before the link", false, "linkat",
         "-e inject=linkat:error=EEXIST:when=1", failed(3, "Could not write file ", "d/w"),
         "linkat("},
    };
    for (const row& r : rows) {
        test::remove_tree(folder / "d");
        fs::create_directories(folder / "d");
        if (r.existing) {
            write_file(folder / "d/w", old_content);
        }
        if (!test::change_inode_flags(folder / "d", FS_APPEND_FL)) {
            GTEST_SKIP() << "no append-only folders here";
        }
        test::traced_status(
            test::start_traced(folder, {"m", "m", "d/w"}, r.calls, r.options, trace, printed),
            10000);
        test::change_inode_flags(folder / "d", 0, FS_APPEND_FL);
        EXPECT_EQ(printed_text(), r.expected) << r.what;
        if (r.expected == converted(3)) {
            EXPECT_EQ(read_file(folder / "d/w"), distinct_wire(3, hash_m)) << r.what;
        }
        EXPECT_EQ(names_in(folder / "d"), r.existing || r.expected == converted(3)
                                              ? std::vector<std::string>{"w"}
                                              : std::vector<std::string>{})
            << r.what;
        if (!r.injected_into.empty()) {
            const std::string text = trace_text();
            const std::size_t injected = text.find("(INJECTED)");
            ASSERT_NE(injected, std::string::npos) << r.what;
            const std::size_t line = text.rfind('\n', injected) + 1;  // npos + 1 is 0
            EXPECT_NE(text.substr(line, injected - line).find(r.injected_into), std::string::npos)
                << r.what << ": the failure fell on another call\n"
                << text;
        }
        fs::remove(trace);
    }
    test::remove_tree(folder / "d");
}

TEST_F(Replacing, APlainFileIsOpenedWithoutWaitingForALease) {
    // Another program's lease: an open for writing that waited would wait for the lease's
    // holder; the run refuses at once instead.
    write_file(folder / "m", distinct_mesh(3));
    write_file(folder / "w", old_content);
    const int fd = open((folder / "w").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const auto previous = signal(SIGIO, SIG_IGN);  // the holder is told of the open this way
    if (fcntl(fd, F_SETLEASE, F_RDLCK) != 0) {
        signal(SIGIO, previous);
        close(fd);
        GTEST_SKIP() << "no lease can be taken here: " << std::strerror(errno);
    }
    int output_fd = -1;
    const pid_t child = test::start_gantrel(folder, {"m", "m", "w"},
                                            {standard_output::captured, 0, 0, false}, &output_fd);
    const bool ended = test::ends_within(child, 5000);
    fcntl(fd, F_SETLEASE, F_UNLCK);
    close(fd);
    signal(SIGIO, previous);
    char buffer[512] = {};
    const ssize_t got = read(output_fd, buffer, sizeof buffer - 1);
    close(output_fd);
    EXPECT_TRUE(ended) << "the run waited for the lease";
    EXPECT_EQ(std::string(buffer, got > 0 ? static_cast<std::size_t>(got) : 0),
              failed(3, "Could not open file ", "w"));
    EXPECT_EQ(read_file(folder / "w"), old_content);
}

TEST_F(Replacing, AWriteOnlyFileWrittenInPlaceReportsAFailedWrite) {
    // Its old bytes cannot be read, so they cannot be restored: the one case where a failed
    // write leaves the file changed, and it says so.
    if (geteuid() != 0) {
        GTEST_SKIP() << "a file its runner may write but not read needs a second user";
    }
    write_file(folder / "m", distinct_mesh(300));
    fs::create_directories(folder / "closed");
    write_file(folder / "closed/w", old_content);
    chmod((folder / "closed/w").c_str(), 0622);  // the runner, nobody, may write it, not read it
    chmod((folder / "closed").c_str(), 0755);
    const outcome result =
        run_gantrel(folder, {"m", "m", "closed/w"}, {standard_output::captured, 1024, 0, true});
    EXPECT_EQ(result.output, failed(300, "Could not write file ", "closed/w"));
    EXPECT_EQ(names_in(folder / "closed"), std::vector<std::string>{"w"});
    const outcome whole =
        run_gantrel(folder, {"m", "m", "closed/w"}, {standard_output::captured, 0, 0, true});
    EXPECT_EQ(whole.output, converted(300));
    EXPECT_EQ(read_file(folder / "closed/w"), distinct_wire(300, hash_m));
}

}  // namespace
}  // namespace gantrel
