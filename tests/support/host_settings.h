#pragma once

// The host's rules for sticky folders (fs.protected_symlinks, _regular, _fifos), which tests
// that compare the tool with a plain open set around each case. The settings are the whole
// host's: a test takes `host_settings_lock` for as long as it changes them, so that two runs of
// the suite on one machine take turns, and the lock's holder restores what it found.

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <memory>

#include "support/bytes.h"
#include "support/run_tool_posix.h"

namespace gantrel::test {

struct host_settings {
    int symlinks;
    int regular;
    int fifos;
};

inline const char* const setting_files[] = {"/proc/sys/fs/protected_symlinks",
                                            "/proc/sys/fs/protected_regular",
                                            "/proc/sys/fs/protected_fifos"};

inline int read_setting(const char* path) {
    const bytes text = read_file(path);
    return text.empty() ? -1 : text[0] - '0';
}

inline bool write_setting(const char* path, int value) {
    std::FILE* file = std::fopen(path, "w");
    if (file == nullptr) {
        return false;
    }
    const bool ok = std::fprintf(file, "%d\n", value) > 0;
    return std::fclose(file) == 0 && ok;
}

inline bool apply(const host_settings& s) {
    return write_setting(setting_files[0], s.symlinks) &&
           write_setting(setting_files[1], s.regular) && write_setting(setting_files[2], s.fifos);
}

// Holds the machine-wide lock on the settings, and the settings as they were, which it puts
// back when it ends. `usable` is false where the settings cannot be changed (not root, a
// read-only /proc): the caller skips then.
class host_settings_lock {
public:
    host_settings_lock() {
        lock_fd = open("/run/lock/gantrel-host-settings", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (lock_fd < 0) {
            lock_fd = open("/run/gantrel-host-settings.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        }
        if (lock_fd < 0 || flock(lock_fd, LOCK_EX) != 0) {
            return;
        }
        saved = {read_setting(setting_files[0]), read_setting(setting_files[1]),
                 read_setting(setting_files[2])};
        usable = saved.symlinks >= 0 && saved.regular >= 0 && saved.fifos >= 0 && apply(saved);
    }
    ~host_settings_lock() {
        if (usable) {
            apply(saved);
        }
        if (lock_fd >= 0) {
            close(lock_fd);  // which releases the lock
        }
    }
    host_settings_lock(const host_settings_lock&) = delete;
    host_settings_lock& operator=(const host_settings_lock&) = delete;
    bool usable = false;

private:
    int lock_fd = -1;
    host_settings saved{-1, -1, -1};
};

// Runs `action` in a child process as `user` (root stays root), in the group nobody's; its result
// is the child's.
inline bool as_user(uid_t user, const std::function<bool()>& action) {
    const pid_t child = fork();
    if (child == 0) {
        constexpr gid_t nobody_group = 65534;
        if (user != 0 &&
            (setgroups(0, nullptr) != 0 || setgid(nobody_group) != 0 || setuid(user) != 0)) {
            _exit(2);
        }
        _exit(action() ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A scratch folder for cases that act as several users and change the host's settings: they
// skip, with the reason, where they cannot; otherwise they hold the settings' lock throughout,
// and leave the settings and the folder's "scene" as they found them.
class settings_folder : public scratch_folder {
protected:
    void SetUp() override {
        scratch_folder::SetUp();
        if (geteuid() != 0) {
            GTEST_SKIP() << "acting as several users needs root";
        }
        settings = std::make_unique<host_settings_lock>();
        if (!settings->usable) {
            GTEST_SKIP() << "the host's rules for sticky folders cannot be set here";
        }
    }
    void TearDown() override {
        settings.reset();
        remove_tree(folder / "scene");
        scratch_folder::TearDown();
    }
    std::unique_ptr<host_settings_lock> settings;
};

}  // namespace gantrel::test
