#pragma once

// Runs the built gantrel (POSIX) as a child process in a given folder, with the limits and the
// standard output a fault case asks for. GANTREL_BINARY names the tool.

#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/bytes.h"

namespace gantrel::test {

namespace fs = std::filesystem;

// The user and group unprivileged runs use when the tests run as root.
constexpr uid_t nobody = 65534;

enum class standard_output { captured, closed, broken_pipe, discarded };

struct run_options {
    standard_output mode = standard_output::captured;
    rlim_t size_limit = 0;       // RLIMIT_FSIZE, with SIGXFSZ left at its default
    rlim_t stack_limit = 0;      // RLIMIT_STACK
    bool unprivileged = false;   // as root, run as the user nobody so that permissions apply
    bool input_closed = false;   // started without descriptor 0, as some batch scripts start it
    bool errors_closed = false;  // started without descriptor 2
};

struct outcome {
    int status;
    std::string output;
};

inline std::vector<std::string> names_in(const fs::path& folder) {
    std::vector<std::string> out;
    for (const auto& entry : fs::directory_iterator(folder)) {
        out.push_back(entry.path().filename().string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

// A fresh folder of the test's own in the temporary folder, removed afterwards.
class scratch_folder : public testing::Test {
protected:
    void SetUp() override {
        folder = fs::temp_directory_path() /
                 ("gantrel-" + std::to_string(getpid()) + "-" +
                  testing::UnitTest::GetInstance()->current_test_info()->test_suite_name() + "-" +
                  testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder);
        fs::create_directories(folder);
        chmod(folder.c_str(), 0755);  // unprivileged runs must reach it
    }
    void TearDown() override { fs::remove_all(folder); }
    fs::path folder;
};

// The tool as an unprivileged user can run it: the build folder may sit in a folder only its
// owner may enter (root's home, a private clone), so a copy is made in the temporary folder. The
// copy goes when the test process ends, not when a child forked from it calls exit().
inline std::string reachable_binary() {
    struct binary_copy {
        pid_t owner = getpid();
        fs::path folder;
        ~binary_copy() {
            std::error_code ec;
            if (!folder.empty() && getpid() == owner) {
                fs::remove_all(folder, ec);
            }
        }
    };
    static binary_copy copy;
    if (!copy.folder.empty()) {
        return (copy.folder / "gantrel").string();
    }
    const char* binary = std::getenv("GANTREL_BINARY");
    if (binary == nullptr) {
        return "";
    }
    copy.folder = fs::temp_directory_path() / ("gantrel-binary-" + std::to_string(getpid()));
    std::error_code ec;
    fs::create_directories(copy.folder, ec);
    fs::copy_file(binary, copy.folder / "gantrel", fs::copy_options::overwrite_existing, ec);
    chmod(copy.folder.c_str(), 0755);
    chmod((copy.folder / "gantrel").c_str(), 0755);
    return (copy.folder / "gantrel").string();
}

// Waits up to `limit_ms` for `child` to end; one still running then is killed and reaped.
// Whether it ended by itself.
inline bool ends_within(pid_t child, int limit_ms) {
    for (int waited_ms = 0; waited_ms < limit_ms; waited_ms += 10) {
        if (waitpid(child, nullptr, WNOHANG) == child) {
            return true;
        }
        usleep(10 * 1000);
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return false;
}

// Starts gantrel in `folder`; with `captured`, `*output_fd` receives the read end of its
// standard output.
inline pid_t start_gantrel(const fs::path& folder, const std::vector<std::string>& arguments,
                           const run_options& options, int* output_fd) {
    const char* from_environment = std::getenv("GANTREL_BINARY");
    if (from_environment == nullptr) {
        ADD_FAILURE() << "GANTREL_BINARY names the gantrel to run";
        return -1;
    }
    const std::string binary = options.unprivileged ? reachable_binary() : from_environment;
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) {
        return -1;
    }
    if (options.mode == standard_output::broken_pipe) {
        close(pipe_fds[0]);  // the reader is gone before the writer starts
    }
    const pid_t child = fork();
    if (child == 0) {
        if (chdir(folder.c_str()) != 0) {
            _exit(120);
        }
        if (options.unprivileged && geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0)) {
            _exit(122);
        }
        signal(SIGPIPE, SIG_DFL);
        signal(SIGXFSZ, SIG_DFL);
        const rlimit no_core{0, 0};  // a run ended by SIGQUIT must not leave a core file
        setrlimit(RLIMIT_CORE, &no_core);
        if (options.size_limit != 0) {
            const rlimit limit{options.size_limit, options.size_limit};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (options.stack_limit != 0) {
            const rlimit limit{options.stack_limit, options.stack_limit};
            setrlimit(RLIMIT_STACK, &limit);
        }
        if (options.input_closed) {
            close(STDIN_FILENO);
        }
        if (options.errors_closed) {
            close(STDERR_FILENO);
        }
        if (options.mode == standard_output::closed) {
            close(STDOUT_FILENO);
        } else if (options.mode == standard_output::discarded) {
            const int null_fd = open("/dev/null", O_WRONLY);
            dup2(null_fd, STDOUT_FILENO);
        } else {
            dup2(pipe_fds[1], STDOUT_FILENO);
        }
        close(pipe_fds[1]);
        if (options.mode != standard_output::broken_pipe) {
            close(pipe_fds[0]);
        }
        std::vector<char*> argv{const_cast<char*>(binary.c_str())};
        for (const auto& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        execv(binary.c_str(), argv.data());
        _exit(121);
    }
    close(pipe_fds[1]);
    if (options.mode == standard_output::captured) {
        *output_fd = pipe_fds[0];
    } else if (options.mode != standard_output::broken_pipe) {
        close(pipe_fds[0]);
    }
    return child;
}

// Runs gantrel in `folder` to its end.
inline outcome run_gantrel(const fs::path& folder, const std::vector<std::string>& arguments,
                           const run_options& options = {}) {
    int output_fd = -1;
    const pid_t child = start_gantrel(folder, arguments, options, &output_fd);
    if (child < 0) {
        return {-1, ""};
    }
    std::string output;
    if (output_fd >= 0) {
        char buffer[4096];
        ssize_t got = 0;
        while ((got = read(output_fd, buffer, sizeof buffer)) > 0) {
            output.append(buffer, static_cast<std::size_t>(got));
        }
        close(output_fd);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return {status, output};
}

// Fills the file system holding `at` until a write fails.
inline void fill(const fs::path& at) {
    const int fd = open((at / "filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    struct statvfs info {};
    if (fd >= 0 && fstatvfs(fd, &info) == 0) {
        const auto free_bytes = static_cast<off_t>(info.f_bavail * info.f_frsize);
        if (free_bytes > (1 << 20)) {
            posix_fallocate(fd, 0, free_bytes - (1 << 20));  // fast where it is offered
        }
    }
    const std::vector<char> block(65536, 'f');
    while (fd >= 0 && write(fd, block.data(), block.size()) > 0) {
    }
    const std::vector<char> small(512, 'f');
    while (fd >= 0 && write(fd, small.data(), small.size()) > 0) {
    }
    if (fd >= 0) {
        close(fd);
    }
}

// Moves this test process, and so every run it starts, into a mount namespace of its own.
// Empty when file systems can be mounted, otherwise why not.
inline const std::string& cannot_mount() {
    static const std::string reason = [] {
        if (geteuid() != 0) {
            return std::string("mounting test file systems needs root");
        }
        if (unshare(CLONE_NEWNS) != 0 ||
            mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return "no private mount namespace here: " + std::string(std::strerror(errno));
        }
        return std::string();
    }();
    return reason;
}

// Covers /dev/null, in this test process's mount namespace, with an empty file `cover` mounted
// read-only, so that a run cannot open it for writing, whoever runs it: a run started without
// descriptor 0 then keeps it free. Whether it is covered; uncover_dev_null undoes it.
inline bool cover_dev_null(const fs::path& cover) {
    write_file(cover, {});
    return mount(cover.c_str(), "/dev/null", nullptr, MS_BIND, nullptr) == 0 &&
           mount(nullptr, "/dev/null", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
}

inline void uncover_dev_null() {
    umount2("/dev/null", MNT_DETACH);
}

// A scratch folder for tests that mount file systems; skipped where none can be mounted.
class mount_folder : public scratch_folder {
protected:
    void SetUp() override {
        scratch_folder::SetUp();
        if (!cannot_mount().empty()) {
            GTEST_SKIP() << cannot_mount();
        }
    }
};

// A file's or folder's inode flags (chattr), or -1 where they cannot be read.
inline int inode_flags(const fs::path& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    int flags = -1;
    if (fd >= 0) {
        if (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
            flags = -1;
        }
        close(fd);
    }
    return flags;
}

// Adds `added` to the inode flags of `path` and takes `removed` away; false where the file
// system refuses.
inline bool change_inode_flags(const fs::path& path, int added, int removed = 0) {
    const int old_flags = inode_flags(path);
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    int flags = (old_flags < 0 ? 0 : old_flags | added) & ~removed;
    const bool ok = old_flags >= 0 && fd >= 0 && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return ok;
}

// Removes the tree at `top`, first lifting the immutable and append-only flags that would keep
// any of it in place.
inline void remove_tree(const fs::path& top) {
    std::error_code error;
    if (!fs::exists(fs::symlink_status(top, error))) {
        return;
    }
    std::vector<fs::path> paths{top};
    for (auto it = fs::recursive_directory_iterator(top, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        paths.push_back(it->path());
    }
    for (const fs::path& path : paths) {
        const int flags = inode_flags(path);
        if (flags > 0 && (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0) {
            change_inode_flags(path, 0, FS_IMMUTABLE_FL | FS_APPEND_FL);
        }
    }
    fs::remove_all(top, error);
}

// Whether strace is there to hold a run in one system call or to fail one.
// Whether the tests, and so the tool they run, are built with the sanitizers, whose runtime makes
// system calls of its own among the tool's.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool under_sanitizers = true;
#else
inline constexpr bool under_sanitizers = false;
#endif

inline bool have_strace() {
    return std::system("command -v strace >/dev/null 2>&1") == 0;
}

// Starts the built gantrel in `folder` under strace, which traces `calls` (with -f, so that each
// line begins with the traced process's id) into `trace` with the further `options` (such as
// "-e inject=..."); standard output goes to `printed`. The strace process leads a
// process group of its own, and reports the tool's end as its own, a signal included.
inline pid_t start_traced(const fs::path& folder, const std::vector<std::string>& arguments,
                          const std::string& calls, const std::string& options,
                          const fs::path& trace, const fs::path& printed) {
    const char* binary = std::getenv("GANTREL_BINARY");
    if (binary == nullptr) {
        ADD_FAILURE() << "GANTREL_BINARY names the gantrel to run";
        return -1;
    }
    std::string command = "cd '" + folder.string() + "' && exec strace -f -qq -o '" +
                          trace.string() + "' -e trace=" + calls + " " + options + " '" + binary +
                          "'";
    for (const std::string& argument : arguments) {
        command += " '" + argument + "'";
    }
    command += " > '" + printed.string() + "'";
    const pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);
        const rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return child;
}

// The process id at the start of the first line of `trace` that holds `text`, once there is
// one (waiting up to `limit_ms`); -1 if none came.
inline pid_t traced_process_at(const fs::path& trace, const std::string& text, int limit_ms) {
    for (int waited_ms = 0; waited_ms < limit_ms; waited_ms += 5) {
        std::FILE* file = std::fopen(trace.c_str(), "r");
        char line[4096];
        while (file != nullptr && std::fgets(line, sizeof line, file) != nullptr) {
            if (std::strstr(line, text.c_str()) != nullptr) {
                std::fclose(file);
                return static_cast<pid_t>(std::atol(line));
            }
        }
        if (file != nullptr) {
            std::fclose(file);
        }
        usleep(5 * 1000);
    }
    return -1;
}

// How a child ended under a deadline.
struct ending {
    int status;
    bool killed;  // it was still running at the deadline, and was killed
};

// Waits up to `limit_ms` for `child` to end, calling `meanwhile` (if any) every 10 ms; past the
// deadline kills it with SIGKILL, its whole process group too where it leads one.
inline ending wait_with_deadline(pid_t child, int limit_ms,
                                 const std::function<void()>& meanwhile = {}) {
    ending out{0, false};
    if (child <= 0) {
        ADD_FAILURE() << "no child to wait for";  // and none to kill: -1 would be every process
        return out;
    }
    for (int waited_ms = 0; waitpid(child, &out.status, WNOHANG) == 0; waited_ms += 10) {
        if (waited_ms >= limit_ms) {
            kill(-child, SIGKILL);
            kill(child, SIGKILL);
            waitpid(child, &out.status, 0);
            out.killed = true;
            break;
        }
        if (meanwhile) {
            meanwhile();
        }
        usleep(10 * 1000);
    }
    return out;
}

// Waits up to `limit_ms` for the traced run `child` to end, failing the test and killing its
// whole group past that; its status.
inline int traced_status(pid_t child, int limit_ms) {
    const ending end = wait_with_deadline(child, limit_ms);
    if (end.killed) {
        ADD_FAILURE() << "the traced run did not end and was killed";
    }
    return end.status;
}

// A whole run under strace, as run_traced gives it.
struct traced_run {
    bool traced;  // strace ran the tool and wrote its trace
    std::string trace;
    std::string printed;
};

// Runs the built gantrel in `folder` under strace to its end (within 20 s), as start_traced
// starts it, with its trace and standard output kept beside `folder`. Its status is not looked
// at: under the leak checker, a traced run ends with 1.
inline traced_run run_traced(const fs::path& folder, const std::vector<std::string>& arguments,
                             const std::string& calls, const std::string& options = "") {
    const std::string stem = folder.string() + ".traced";
    const fs::path trace = stem + ".trace";
    const fs::path printed = stem + ".printed";
    fs::remove(trace);
    traced_status(start_traced(folder, arguments, calls, options, trace, printed), 20000);
    traced_run out{fs::exists(trace), "", ""};
    const bytes trace_bytes = read_file(trace);
    const bytes printed_bytes = read_file(printed);
    out.trace.assign(trace_bytes.begin(), trace_bytes.end());
    out.printed.assign(printed_bytes.begin(), printed_bytes.end());
    fs::remove(trace);
    fs::remove(printed);
    return out;
}

// How many times `part` occurs in `text`.
inline int occurrences(const std::string& text, const std::string& part) {
    int count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// Which of the calls to `call` in `trace` is the first whose line shows `text`, counting from 1
// as strace's when= does (0 for none), so that a later run can fail or hold that very call.
inline int call_number(const std::string& trace, const std::string& call, const std::string& text) {
    int number = 0;
    for (std::size_t at = trace.find(call + "("); at != std::string::npos;
         at = trace.find(call + "(", at + 1)) {
        ++number;
        if (trace.substr(at, trace.find('\n', at) - at).find(text) != std::string::npos) {
            return number;
        }
    }
    return 0;
}

}  // namespace gantrel::test
