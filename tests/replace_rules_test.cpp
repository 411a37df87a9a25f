#include <gtest/gtest.h>

#include "files/files.h"

namespace gantrel {
namespace {

// Facts of a plain file the process may read and write, with one link, whose temporary was
// created and given every attribute: the ordinary replacement.
target_facts plain_file() {
    target_facts facts{};
    facts.exists = true;
    facts.is_regular = true;
    facts.writable = true;
    facts.readable = true;
    facts.temporary = temporary_outcome::created;
    facts.attributes_copied = true;
    return facts;
}

target_facts new_name(temporary_outcome temporary) {
    target_facts facts{};
    facts.temporary = temporary;
    return facts;
}

TEST(ReplaceRules, OneDecisionForEveryKindOfTarget) {
    struct row {
        const char* what;
        target_facts facts;
        replacement expected;
    };
    target_facts directory{};
    directory.is_directory = true;
    target_facts device = plain_file();
    device.is_regular = false;
    device.temporary = temporary_outcome::not_tried;
    target_facts read_only = plain_file();
    read_only.writable = false;
    read_only.readable = false;
    read_only.temporary = temporary_outcome::not_tried;
    target_facts linked = plain_file();
    linked.several_links = true;
    target_facts foreign = plain_file();
    foreign.attributes_copied = false;
    target_facts closed_folder = plain_file();
    closed_folder.temporary = temporary_outcome::refused;
    target_facts closed_folder_write_only = closed_folder;
    closed_folder_write_only.readable = false;
    target_facts full_disk = plain_file();
    full_disk.temporary = temporary_outcome::failed;
    target_facts write_only = plain_file();
    write_only.readable = false;

    const row rows[] = {
        {"a plain file is replaced by a rename", plain_file(), replacement::rename_temporary},
        {"a new name is created by a rename", new_name(temporary_outcome::created),
         replacement::rename_temporary},
        {"a folder is refused", directory, replacement::refuse_open},
        {"a device or FIFO is written as it is", device, replacement::write_directly},
        {"a file the user may not write is refused", read_only, replacement::refuse_open},
        {"hard links stay together", linked, replacement::write_in_place},
        {"an owner that cannot be given keeps the file", foreign, replacement::write_in_place},
        {"a folder refusing new files, a writable file", closed_folder,
         replacement::write_in_place},
        {"in place needs the old bytes to restore", closed_folder_write_only,
         replacement::refuse_open},
        {"a write-only file is still renamed over", write_only, replacement::rename_temporary},
        {"a folder refusing new files, no file", new_name(temporary_outcome::refused),
         replacement::refuse_open},
        {"a missing folder", new_name(temporary_outcome::no_folder), replacement::refuse_open},
        {"no space for a temporary never truncates", full_disk, replacement::refuse_write},
        {"no space for a new file", new_name(temporary_outcome::failed), replacement::refuse_write},
    };
    for (const row& r : rows) {
        EXPECT_EQ(decide_replacement(r.facts), r.expected) << r.what;
    }
}

TEST(ReplaceRules, TemporariesOnlyForFilesTheyCanReplace) {
    target_facts directory{};
    directory.is_directory = true;
    target_facts device = plain_file();
    device.is_regular = false;
    target_facts read_only = plain_file();
    read_only.writable = false;
    EXPECT_TRUE(temporary_wanted(plain_file()));
    EXPECT_TRUE(temporary_wanted(new_name(temporary_outcome::not_tried)));
    EXPECT_FALSE(temporary_wanted(directory));
    EXPECT_FALSE(temporary_wanted(device));
    EXPECT_FALSE(temporary_wanted(read_only));
}

TEST(WindowsPaths, TooLongPathsTakeTheirExtendedForm) {
    const std::wstring deep(255, L'd');  // the longest folder name: alone it nearly fills MAX_PATH
    const std::wstring cwd = L"C:\\work\\" + deep;
    struct row {
        const char* what;
        std::wstring path;
        std::wstring current_directory;
        std::wstring expected;
    };
    const row rows[] = {
        {"a short relative path is left alone", L"out.quorvwire", L"C:\\work", L"out.quorvwire"},
        {"a short absolute path is left alone", L"C:\\a\\b", L"C:\\work", L"C:\\a\\b"},
        {"relative, long once absolute", L"w", cwd, L"\\\\?\\C:\\work\\" + deep + L"\\w"},
        {"forward slashes and dots", L"./x/../y/w", cwd, L"\\\\?\\C:\\work\\" + deep + L"\\y\\w"},
        {"a drive path", L"D:/" + deep + L"/sub/./w", L"C:\\", L"\\\\?\\D:\\" + deep + L"\\sub\\w"},
        {"\"..\" never climbs above the root", L"C:\\..\\..\\" + deep + L"\\xxxx\\w", L"C:\\",
         L"\\\\?\\C:\\" + deep + L"\\xxxx\\w"},
        {"relative to the current root", L"\\" + deep + L"\\sub12\\w", L"E:\\work",
         L"\\\\?\\E:\\" + deep + L"\\sub12\\w"},
        {"a UNC path", L"\\\\server\\share\\" + deep + L"\\w", L"C:\\",
         L"\\\\?\\UNC\\server\\share\\" + deep + L"\\w"},
        {"already extended", L"\\\\?\\C:\\" + deep + L"\\w", cwd, L"\\\\?\\C:\\" + deep + L"\\w"},
        {"a device path", L"\\\\.\\pipe\\" + deep, cwd, L"\\\\.\\pipe\\" + deep},
        {"NUL is a device, not a file in the folder", L"NUL", cwd, L"NUL"},
        {"nul: too", L"nul:", cwd, L"nul:"},
        {"COM1 too", L"com1", cwd, L"com1"},
        {"a trailing separator stays", deep + L"\\sub\\", L"C:\\work",
         L"\\\\?\\C:\\work\\" + deep + L"\\sub\\"},
        {"the empty path", L"", cwd, L""},
    };
    for (const row& r : rows) {
        EXPECT_TRUE(extended_length_path(r.path, r.current_directory) == r.expected) << r.what;
    }
}

TEST(WindowsPaths, RetriesGiveUpAfterAboutTwoSeconds) {
    unsigned total = 0;
    int attempts = 0;
    for (; retry_pause_ms(attempts) != 0; ++attempts) {
        EXPECT_GE(retry_pause_ms(attempts), attempts == 0 ? 1u : retry_pause_ms(attempts - 1));
        total += retry_pause_ms(attempts);
    }
    EXPECT_GE(attempts, 5);
    EXPECT_GE(total, 1500u);
    EXPECT_LE(total, 2500u);
}

}  // namespace
}  // namespace gantrel
