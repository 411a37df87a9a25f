// Fault injection against the built gantrel (POSIX): damaged inputs, failing writes, a closed or
// broken standard output, and outputs that are not plain files. GANTREL_BINARY names the tool.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/bytes.h"
#include "support/meshes.h"
#include "support/run_tool_posix.h"

namespace gantrel {
namespace {

namespace fs = std::filesystem;
using test::bytes;
using test::names_in;
using test::nobody;
using test::outcome;
using test::read_file;
using test::run_gantrel;
using test::run_options;
using test::standard_output;
using test::write_file;

using test::abc_mesh;
using test::abc_wire;
const bytes old_content(100, 0x5A);
const std::string converted =
    "total number of triangles in mesh = 2\ntotal number of lines in mesh = 5\n"
    "Successfully wrote quorvwire\n";

class Faults : public test::scratch_folder {};

TEST_F(Faults, EveryPrefixOfAValidFileIsRefusedAndTheOutputKept) {
    for (std::size_t size = 0; size < abc_mesh.size(); ++size) {
        write_file(folder / "m",
                   bytes(abc_mesh.begin(), abc_mesh.begin() + static_cast<long>(size)));
        write_file(folder / "w", old_content);
        const outcome result = run_gantrel(folder, {"m", "abc", "w"});
        const std::string expected = size < 28 ? "Could not read file m\n"
                                               : "total number of triangles in mesh = 2\n"
                                                 "Could not read file m\n";
        EXPECT_EQ(result.status, 0) << size;
        EXPECT_EQ(result.output, expected) << size;
        EXPECT_EQ(read_file(folder / "w"), old_content) << size;
        EXPECT_EQ(names_in(folder), (std::vector<std::string>{"m", "w"})) << size;
    }
}

TEST_F(Faults, AWriteThatFailsKeepsTheOldFileAndLeavesNoTemporary) {
    struct row {
        const char* what;
        std::string output_name;
    };
    for (const row& r : {row{"separate output", "w"}, row{"same path as input", "m"}}) {
        write_file(folder / "m", abc_mesh);
        if (r.output_name != "m")
            write_file(folder / "w", old_content);
        const bytes before = read_file(folder / r.output_name);
        // 20 bytes, less than the 36 of the wire file; the old files are larger, which the limit
        // allows, since it stops only writes past it. SIGXFSZ is left at its default, which would
        // end a run that does not guard against it.
        const outcome result =
            run_gantrel(folder, {"m", "abc", r.output_name}, {standard_output::captured, 20});
        EXPECT_EQ(result.status, 0) << r.what;
        EXPECT_EQ(result.output,
                  "total number of triangles in mesh = 2\ntotal number of lines in mesh = 5\n"
                  "Could not write file " +
                      r.output_name + "\n")
            << r.what;
        EXPECT_EQ(read_file(folder / r.output_name), before) << r.what;
        const auto names = names_in(folder);
        EXPECT_EQ(names.size(), r.output_name == "m" ? 1u : 2u) << r.what;
        fs::remove(folder / "w");
    }
}

TEST_F(Faults, AFailedStandardOutputDoesNotStopTheWireFile) {
    for (const standard_output mode : {standard_output::closed, standard_output::broken_pipe}) {
        write_file(folder / "m", abc_mesh);
        fs::remove(folder / "w");
        const outcome result = run_gantrel(folder, {"m", "abc", "w"}, run_options{mode});
        EXPECT_TRUE(WIFEXITED(result.status)) << "killed by signal " << WTERMSIG(result.status);
        EXPECT_EQ(WEXITSTATUS(result.status), 0);
        EXPECT_EQ(read_file(folder / "w"), abc_wire);
        EXPECT_EQ(names_in(folder), (std::vector<std::string>{"m", "w"}));
    }
}

// The memory device `minor` (3 null, 7 full) at `at`: a node of the test's own where it may make
// one (as root), so that a tool that went wrong could never replace the host's; otherwise a link
// to the host's, which a user other than root cannot replace.
void make_device(const fs::path& at, unsigned minor) {
    if (mknod(at.c_str(), S_IFCHR | 0666, makedev(1, minor)) != 0) {
        fs::create_symlink("/dev/" + std::string(minor == 3 ? "null" : "full"), at);
    }
}

TEST_F(Faults, OutputsThatAreNotPlainFiles) {
    struct row {
        const char* what;
        std::function<void(const fs::path&)> prepare;
        std::string output;
        std::string expected_output;
        std::function<void(const fs::path&)> check;
    };
    const std::string reports =
        "total number of triangles in mesh = 2\ntotal number of lines in mesh = 5\n";
    const row rows[] = {
        {"a device stays a device", [](const fs::path& f) { make_device(f / "null", 3); }, "null",
         converted, [](const fs::path& f) { EXPECT_TRUE(fs::is_character_file(f / "null")); }},
        {"a device that refuses the write", [](const fs::path& f) { make_device(f / "full", 7); },
         "full", reports + "Could not write file full\n",
         [](const fs::path& f) { EXPECT_TRUE(fs::is_character_file(f / "full")); }},
        {"a link stays a link and its target is replaced",
         [](const fs::path& f) {
             fs::create_directories(f / "elsewhere");
             write_file(f / "elsewhere/target", old_content);
             fs::create_symlink("elsewhere/target", f / "link");
         },
         "link", converted,
         [](const fs::path& f) {
             EXPECT_TRUE(fs::is_symlink(fs::symlink_status(f / "link")));
             EXPECT_EQ(read_file(f / "elsewhere/target"), abc_wire);
             EXPECT_EQ(names_in(f / "elsewhere"), std::vector<std::string>{"target"});
         }},
        {"a relative link in a folder resolves from that folder",
         [](const fs::path& f) {
             fs::create_directories(f / "sub");
             write_file(f / "sub/w", old_content);
             write_file(f / "w", old_content);
             fs::create_symlink("w", f / "sub/l");
         },
         "sub/l", converted,
         [](const fs::path& f) {
             EXPECT_EQ(read_file(f / "sub/w"), abc_wire);
             EXPECT_EQ(read_file(f / "w"), old_content);
             EXPECT_EQ(names_in(f / "sub"), (std::vector<std::string>{"l", "w"}));
         }},
        {"a chain of three links, relative and absolute",
         [](const fs::path& f) {
             fs::create_directories(f / "a/b");
             write_file(f / "a/b/target", old_content);
             fs::create_symlink((f / "a/l2").string(), f / "l1");
             fs::create_symlink("b/l3", f / "a/l2");
             fs::create_symlink("target", f / "a/b/l3");
         },
         "l1", converted,
         [](const fs::path& f) {
             EXPECT_EQ(read_file(f / "a/b/target"), abc_wire);
             EXPECT_TRUE(fs::is_symlink(fs::symlink_status(f / "l1")));
         }},
        {"a loop of links",
         [](const fs::path& f) {
             fs::create_symlink("y", f / "x");
             fs::create_symlink("x", f / "y");
         },
         "x", reports + "Could not open file x\n",
         [](const fs::path& f) { EXPECT_EQ(names_in(f).size(), 3u); }},
        {"a new file gets the default permissions", [](const fs::path&) {}, "fresh", converted,
         [](const fs::path& f) {
             struct stat info {};
             ASSERT_EQ(stat((f / "fresh").c_str(), &info), 0);
             const mode_t mask = umask(0);
             umask(mask);
             EXPECT_EQ(info.st_mode & 0777, 0666 & ~mask);
         }},
        {"a dangling link gets its target created",
         [](const fs::path& f) { fs::create_symlink("target", f / "link"); }, "link", converted,
         [](const fs::path& f) {
             EXPECT_TRUE(fs::is_symlink(fs::symlink_status(f / "link")));
             EXPECT_EQ(read_file(f / "target"), abc_wire);
         }},
        {"the longest name a folder holds", [](const fs::path&) {}, std::string(255, 'w'),
         converted,
         [](const fs::path& f) {
             EXPECT_EQ(read_file(f / std::string(255, 'w')), abc_wire);
             EXPECT_EQ(names_in(f).size(), 2u);
         }},
        {"a missing folder", [](const fs::path&) {}, "no/w", reports + "Could not open file no/w\n",
         [](const fs::path& f) { EXPECT_FALSE(fs::exists(f / "no")); }},
        {"a folder", [](const fs::path& f) { fs::create_directories(f / "d"); }, "d",
         reports + "Could not open file d\n",
         [](const fs::path& f) { EXPECT_TRUE(fs::is_empty(f / "d")); }},
        {"a replaced file keeps its permissions",
         [](const fs::path& f) {
             write_file(f / "w", old_content);
             chmod((f / "w").c_str(), 0640);
         },
         "w", converted,
         [](const fs::path& f) {
             struct stat info {};
             ASSERT_EQ(stat((f / "w").c_str(), &info), 0);
             EXPECT_EQ(info.st_mode & 07777, 0640u);
             EXPECT_EQ(read_file(f / "w"), abc_wire);
         }},
        {"a new file gets the default permissions", [](const fs::path&) {}, "w", converted,
         [](const fs::path& f) {
             const mode_t mask = umask(0);
             umask(mask);
             struct stat info {};
             ASSERT_EQ(stat((f / "w").c_str(), &info), 0);
             EXPECT_EQ(info.st_mode & 07777, 0666u & ~mask);
         }},
    };
    for (const row& r : rows) {
        fs::remove_all(folder);
        fs::create_directories(folder);
        write_file(folder / "m", abc_mesh);
        r.prepare(folder);
        const outcome result = run_gantrel(folder, {"m", "abc", r.output});
        EXPECT_EQ(result.status, 0) << r.what;
        EXPECT_EQ(result.output, r.expected_output) << r.what;
        r.check(folder);
    }
}

TEST_F(Faults, PermissionsDecideWhetherAFileIsReplaced) {
    const std::string reports =
        "total number of triangles in mesh = 2\ntotal number of lines in mesh = 5\n";
    fs::permissions(folder, fs::perms::all);
    write_file(folder / "m", abc_mesh);

    // A folder closed to new files, holding a file its user may write: written in place.
    fs::create_directories(folder / "closed");
    write_file(folder / "closed/w", old_content);
    if (geteuid() == 0) {
        ASSERT_EQ(chown((folder / "closed/w").c_str(), nobody, nobody), 0);
    }
    fs::permissions(folder / "closed", fs::perms::owner_read | fs::perms::owner_exec |
                                           fs::perms::group_read | fs::perms::group_exec |
                                           fs::perms::others_read | fs::perms::others_exec);
    outcome result =
        run_gantrel(folder, {"m", "abc", "closed/w"}, {standard_output::captured, 0, 0, true});
    EXPECT_EQ(result.output, converted);
    EXPECT_EQ(read_file(folder / "closed/w"), abc_wire);
    EXPECT_EQ(names_in(folder / "closed"), std::vector<std::string>{"w"});

    // A file its user may not write, in a folder open to new files: never replaced.
    write_file(folder / "w", old_content);
    fs::permissions(folder / "w",
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    result = run_gantrel(folder, {"m", "abc", "w"}, {standard_output::captured, 0, 0, true});
    EXPECT_EQ(result.output, reports + "Could not open file w\n");
    EXPECT_EQ(read_file(folder / "w"), old_content);
    EXPECT_EQ(names_in(folder), (std::vector<std::string>{"closed", "m", "w"}));

    // A file its user may write but not read, in a folder open to new files: replaced by a
    // rename, keeping its mode.
    write_file(folder / "write-only", old_content);
    if (geteuid() == 0) {
        ASSERT_EQ(chown((folder / "write-only").c_str(), nobody, nobody), 0);
    }
    fs::permissions(folder / "write-only", fs::perms::owner_write);
    result =
        run_gantrel(folder, {"m", "abc", "write-only"}, {standard_output::captured, 0, 0, true});
    EXPECT_EQ(result.output, converted);
    struct stat info {};
    ASSERT_EQ(stat((folder / "write-only").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0200u);
    fs::permissions(folder / "write-only", fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(read_file(folder / "write-only"), abc_wire);
    fs::permissions(folder / "closed", fs::perms::owner_all);

    // A current folder its user may enter and write but not list: the walk starts from it all
    // the same, as the kernel's does.
    fs::create_directories(folder / "unlisted");
    write_file(folder / "unlisted/m", abc_mesh);
    const fs::perms enter_and_write = fs::perms::owner_write | fs::perms::owner_exec |
                                      fs::perms::group_write | fs::perms::group_exec |
                                      fs::perms::others_write | fs::perms::others_exec;
    fs::permissions(folder / "unlisted", enter_and_write);
    result = run_gantrel(folder / "unlisted", {"m", "abc", "w"},
                         {standard_output::captured, 0, 0, true});
    fs::permissions(folder / "unlisted", fs::perms::all);
    EXPECT_EQ(result.output, converted);
    EXPECT_EQ(read_file(folder / "unlisted/w"), abc_wire);
}

TEST_F(Faults, AFifoNoOneReadsStaysInterruptible) {
    // Written directly, a FIFO blocks until a reader comes; signals are held only while a
    // temporary exists, so SIGTERM still ends the wait.
    write_file(folder / "m", abc_mesh);
    ASSERT_EQ(mkfifo((folder / "fifo").c_str(), 0600), 0);
    const pid_t child =
        test::start_gantrel(folder, {"m", "abc", "fifo"}, {standard_output::discarded}, nullptr);
    usleep(300 * 1000);
    kill(child, SIGTERM);
    const test::ending end = test::wait_with_deadline(child, 5000);
    ASSERT_FALSE(end.killed) << "SIGTERM did not end a run blocked on a FIFO";
    EXPECT_TRUE(WIFSIGNALED(end.status) && WTERMSIG(end.status) == SIGTERM);
}

TEST_F(Faults, AFifoInputStillOpenAfterItsLastTriangle) {
    // More triangles than one read fetches; the writer keeps the FIFO open afterwards, so a
    // reader that read past the last triangle would wait for ever.
    std::vector<test::tri> triangles;
    std::vector<std::array<std::uint32_t, 2>> lines;
    for (std::uint32_t t = 0; t < 1000; ++t) {
        triangles.push_back({t, t + 1000, t + 2000});
        lines.push_back({t, t + 1000});
        lines.push_back({t + 1000, t + 2000});
        lines.push_back({t + 2000, t});
    }
    const bytes mesh = test::mesh_file(3000, 0, 3000, triangles);
    ASSERT_EQ(mkfifo((folder / "fifo").c_str(), 0600), 0);
    const pid_t writer = fork();
    if (writer == 0) {
        const int fd = open((folder / "fifo").c_str(), O_WRONLY);
        const bool whole = write(fd, mesh.data(), mesh.size()) == static_cast<ssize_t>(mesh.size());
        sleep(30);
        _exit(whole ? 0 : 1);
    }
    int output_fd = -1;
    const pid_t child =
        test::start_gantrel(folder, {"fifo", "abc", "w"}, {standard_output::discarded}, &output_fd);
    const bool ended = test::ends_within(child, 10000);
    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);
    EXPECT_TRUE(ended) << "the run read past its last triangle and waited for more";
    EXPECT_EQ(read_file(folder / "w"), test::wire_file(test::abc_hash, 0, lines));
}

TEST_F(Faults, InputsThatAreNotPlainFiles) {
    // A FIFO holding a whole valid file converts like the file.
    ASSERT_EQ(mkfifo((folder / "fifo").c_str(), 0600), 0);
    const pid_t writer = fork();
    if (writer == 0) {
        const int fd = open((folder / "fifo").c_str(), O_WRONLY);
        const bool whole =
            write(fd, abc_mesh.data(), abc_mesh.size()) == static_cast<ssize_t>(abc_mesh.size());
        _exit(whole ? 0 : 1);
    }
    const outcome result = run_gantrel(folder, {"fifo", "abc", "w"});
    waitpid(writer, nullptr, 0);
    EXPECT_EQ(result.output, converted);
    EXPECT_EQ(read_file(folder / "w"), abc_wire);
}

}  // namespace
}  // namespace gantrel
