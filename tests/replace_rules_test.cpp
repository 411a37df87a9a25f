#include <gtest/gtest.h>

#include "files/decision.h"
#include "files/link_rules.h"
#include "files/windows_rules.h"

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
    // Not reachable from the tool, which tries no temporary for such a file, but the decision
    // must not rest on that.
    target_facts read_only_with_temporary = plain_file();
    read_only_with_temporary.writable = false;
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
    target_facts unknown = plain_file();
    unknown.status_unknown = true;
    target_facts block_device = device;
    block_device.is_block_device = true;
    target_facts socket = device;
    socket.writable = false;
    target_facts sticky = plain_file();
    sticky.sticky_refused = true;
    target_facts sticky_fifo = device;
    sticky_fifo.sticky_refused = true;
    target_facts fat = foreign;  // FAT: one owner and mode for every file
    fat.attributes_unstorable = true;
    fat.attributes_shown_alike = true;
    target_facts fat_other_mode = fat;
    fat_other_mode.attributes_shown_alike = false;
    target_facts fat_linked = fat;
    fat_linked.several_links = true;
    target_facts refused_yet_alike = foreign;  // alike, but the failure was no storage limit
    refused_yet_alike.attributes_shown_alike = true;

    const row rows[] = {
        {"a plain file is replaced by a rename", plain_file(), replacement::rename_temporary},
        {"a new name is created by a rename", new_name(temporary_outcome::created),
         replacement::rename_temporary},
        {"a folder is refused", directory, replacement::refuse_open},
        {"a device or FIFO is written as it is", device, replacement::write_directly},
        {"a file the user may not write is refused", read_only, replacement::refuse_open},
        {"... even with a temporary made for it", read_only_with_temporary,
         replacement::refuse_open},
        {"hard links stay together", linked, replacement::write_in_place},
        {"an owner that cannot be given keeps the file", foreign, replacement::write_in_place},
        {"a folder refusing new files, a writable file", closed_folder,
         replacement::write_in_place},
        {"a write-only file is written in place as a plain open would, unrestorable",
         closed_folder_write_only, replacement::write_in_place},
        {"a write-only file is still renamed over", write_only, replacement::rename_temporary},
        {"a folder refusing new files, no file", new_name(temporary_outcome::refused),
         replacement::refuse_open},
        {"a missing folder", new_name(temporary_outcome::no_folder), replacement::refuse_open},
        {"no space for a temporary never truncates", full_disk, replacement::refuse_write},
        {"no space for a new file", new_name(temporary_outcome::failed), replacement::refuse_write},
        {"a file system that cannot store the mode, the temporary alike", fat,
         replacement::rename_temporary},
        {"... the temporary showing something else", fat_other_mode, replacement::write_in_place},
        {"... hard links still stay together", fat_linked, replacement::write_in_place},
        {"only a storage limit excuses what was not given", refused_yet_alike,
         replacement::write_in_place},
        {"a status that cannot be read is never taken for absence", unknown,
         replacement::refuse_open},
        {"a block device is refused", block_device, replacement::refuse_open},
        {"a device that cannot be opened is refused", socket, replacement::refuse_open},
        {"another user's file in a sticky folder", sticky, replacement::refuse_open},
        {"another user's FIFO in a sticky folder", sticky_fifo, replacement::refuse_open},
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
    target_facts unknown = new_name(temporary_outcome::not_tried);
    unknown.status_unknown = true;
    EXPECT_FALSE(temporary_wanted(unknown));
    target_facts sticky = plain_file();
    sticky.sticky_refused = true;
    EXPECT_FALSE(temporary_wanted(sticky));
}

TEST(ReplaceRules, TemporaryNamesAreShortFixedAndFromEveryRandomByte) {
    const unsigned char zeros[temporary_random_bytes] = {};
    const unsigned char mixed[temporary_random_bytes] = {0, 25, 26, 35, 36, 255};
    EXPECT_EQ(temporary_name(zeros), ".gantrel-aaaaaa");
    EXPECT_EQ(temporary_name(mixed), ".gantrel-az09ad");
    EXPECT_EQ(temporary_name(mixed).size(), temporary_name_length);
}

TEST(ReplaceRules, AnInPlaceWriteRestoresTheOldBytesItCovers) {
    const unsigned char bytes[36] = {};
    const byte_span parts[] = {{bytes, 16}, {bytes, 20}};
    EXPECT_EQ(content_size(parts, 2), 36u);
    EXPECT_EQ(bytes_covered(100, parts, 2), 36u) << "a longer old file";
    EXPECT_EQ(bytes_covered(10, parts, 2), 10u) << "a shorter one";
}

// The host's rules for sticky folders, as the kernel applies them: root is 0, the user nobody
// 65534, another user 1000.
constexpr std::uint32_t root = 0;
constexpr std::uint32_t nobody = 65534;
constexpr std::uint32_t other = 1000;

TEST(PathWalk, StepsAsTheKernelWalks) {
    struct row {
        const char* path;
        const char* name;
        const char* rest;
        bool last;
        bool trailing_slash;
    };
    const row rows[] = {
        {"out", "out", "", true, false},
        {"a/out", "a", "out", false, false},
        {"a//b/out", "a", "b/out", false, false},  // doubled slashes are one
        {"a/", "a", "", true, true},               // a last name that must be a folder
        {"a///", "a", "", true, true},
        {"./out", ".", "out", false, false},
        {"", "", "", true, false},
    };
    for (const row& r : rows) {
        const path_step step = first_step(r.path);
        EXPECT_EQ(step.name, r.name) << r.path;
        EXPECT_EQ(step.rest, r.rest) << r.path;
        EXPECT_EQ(step.last, r.last) << r.path;
        EXPECT_EQ(step.trailing_slash, r.trailing_slash) << r.path;
    }
    // A link's body, then what followed the component it stood for.
    EXPECT_EQ(after_link("../d", "out"), "../d/out");
    EXPECT_EQ(after_link("/abs", ""), "/abs");
    EXPECT_EQ(after_link("d/", "x/y"), "d//x/y");
}

TEST(StickyFolders, LinksAreFollowedAsTheKernelFollowsThem) {
    struct row {
        const char* what;
        int setting;
        ownership_facts facts;
        bool followed;
    };
    const row rows[] = {
        {"another user's link in /tmp", 1, {01777, root, nobody, root}, false},
        {"the same with the rule off", 0, {01777, root, nobody, root}, true},
        {"the runner's own link", 1, {01777, root, nobody, nobody}, true},
        {"a link by the folder's owner", 1, {01777, other, other, root}, true},
        {"a sticky folder others may not write", 1, {01775, root, nobody, root}, true},
        {"a world-writable folder without the sticky bit", 1, {0777, root, nobody, root}, true},
        {"a group-writable sticky folder", 2, {01770, root, nobody, root}, true},
        {"level 2 is no stricter for links", 2, {01777, root, nobody, root}, false},
        {"an unprivileged runner and a third user's link", 1, {01777, root, other, nobody}, false},
    };
    for (const row& r : rows) {
        sticky_protection protection;
        protection.symlinks = r.setting;
        EXPECT_EQ(may_follow_link(protection, r.facts), r.followed) << r.what;
    }
}

TEST(StickyFolders, ExistingFilesAndFifosAreOpenedAsOCreatOpensThem) {
    struct row {
        const char* what;
        int setting;
        existing_kind kind;
        ownership_facts facts;
        bool opened;
    };
    const row rows[] = {
        {"another user's file in /tmp",
         1,
         existing_kind::regular,
         {01777, root, nobody, root},
         false},
        {"the same with the rule off",
         0,
         existing_kind::regular,
         {01777, root, nobody, root},
         true},
        {"the runner's own file", 1, existing_kind::regular, {01777, root, nobody, nobody}, true},
        {"a file of the folder's owner",
         1,
         existing_kind::regular,
         {01777, other, other, root},
         true},
        {"a folder without the sticky bit",
         2,
         existing_kind::regular,
         {0777, root, nobody, root},
         true},
        {"a group-writable sticky folder at level 1",
         1,
         existing_kind::regular,
         {01770, root, nobody, root},
         true},
        {"a group-writable sticky folder at level 2",
         2,
         existing_kind::regular,
         {01770, root, nobody, root},
         false},
        {"a sticky folder only its owner may write",
         2,
         existing_kind::regular,
         {01755, root, nobody, root},
         true},
        {"another user's FIFO", 1, existing_kind::fifo, {01777, root, nobody, root}, false},
        {"FIFOs have their own setting", 0, existing_kind::fifo, {01777, root, nobody, root}, true},
        {"a FIFO in a group-writable folder at level 2",
         2,
         existing_kind::fifo,
         {01770, root, nobody, root},
         false},
        {"another user's device in a world-writable sticky folder, every setting off",
         0,
         existing_kind::other,
         {01777, root, nobody, root},
         false},
        {"... in a group-writable one at level 2",
         2,
         existing_kind::other,
         {01770, root, nobody, root},
         true},
        {"... of the folder's owner", 0, existing_kind::other, {01777, other, other, root}, true},
    };
    for (const row& r : rows) {
        sticky_protection protection;
        // The other kind's setting at the other extreme, so that a swapped setting shows.
        const int other_setting = r.setting == 0 ? 2 : 0;
        protection.regular = r.kind == existing_kind::regular ? r.setting : other_setting;
        protection.fifos = r.kind == existing_kind::fifo ? r.setting : other_setting;
        if (r.kind == existing_kind::other) {
            protection.regular = protection.fifos = r.setting;
        }
        EXPECT_EQ(may_open_existing(protection, r.facts, r.kind), r.opened) << r.what;
    }
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
        {"absolute on the current drive", L"C:\\" + deep + L"\\w", L"C:\\work",
         L"\\\\?\\C:\\" + deep + L"\\w"},
        {"the current drive in lower case", L"c:" + deep + L"\\w", L"C:\\work",
         L"\\\\?\\C:\\work\\" + deep + L"\\w"},
        {"a drive's root", L"C:\\", cwd, L"C:\\"},
        {"a drive alone is its current folder", L"c:", L"C:\\" + deep + L"\\x",
         L"\\\\?\\C:\\" + deep + L"\\x"},
        {"another drive's current folder is its root", L"D:" + deep + L"\\w", L"C:\\work",
         L"\\\\?\\D:\\" + deep + L"\\w"},
        {"drive letters A to Z", L"A:" + deep, L"a:\\w", L"\\\\?\\a:\\w\\" + deep},
        {"Z", L"Z:" + deep, L"z:\\w", L"\\\\?\\z:\\w\\" + deep},
        {"a", L"a:" + deep, L"A:\\w", L"\\\\?\\A:\\w\\" + deep},
        {"z", L"z:" + deep, L"Z:\\w", L"\\\\?\\Z:\\w\\" + deep},
        {"no other character names a drive", L"@:" + deep, L"C:\\w", L"\\\\?\\C:\\w\\@:" + deep},
        {"[", L"[:" + deep, L"C:\\w", L"\\\\?\\C:\\w\\[:" + deep},
        {"`", L"`:" + deep, L"C:\\w", L"\\\\?\\C:\\w\\`:" + deep},
        {"{", L"{:" + deep, L"C:\\w", L"\\\\?\\C:\\w\\{:" + deep},
        {"\"..\" never climbs above the root", L"C:\\..\\..\\" + deep + L"\\xxxx\\w", L"C:\\",
         L"\\\\?\\C:\\" + deep + L"\\xxxx\\w"},
        {"relative to the current root", L"\\" + deep + L"\\sub12\\w", L"E:\\work",
         L"\\\\?\\E:\\" + deep + L"\\sub12\\w"},
        {"a UNC path", L"\\\\server\\share\\" + deep + L"\\w", L"C:\\",
         L"\\\\?\\UNC\\server\\share\\" + deep + L"\\w"},
        {"\"..\" never climbs above a share", L"\\\\server\\share\\..\\" + deep + L"\\w", cwd,
         L"\\\\?\\UNC\\server\\share\\" + deep + L"\\w"},
        {"relative to a share's root", L"\\" + deep + L"\\w", L"\\\\server\\share\\work",
         L"\\\\?\\UNC\\server\\share\\" + deep + L"\\w"},
        {"a share alone is its root", L"\\\\server\\" + deep, cwd, L"\\\\?\\UNC\\server\\" + deep},
        {"two separators alone name no share", L"\\\\", L"\\\\server\\" + deep, L"\\\\"},
        {"an empty share name ends the root", L"\\\\s\\\\t\\..\\" + deep, cwd,
         L"\\\\?\\UNC\\s\\\\" + deep},
        {"an empty server name ends at the share", L"\\\\\\s\\t\\..\\" + deep, cwd,
         L"\\\\?\\UNC\\\\s\\" + deep},
        {"already extended", L"\\\\?\\C:\\" + deep + L"\\w", cwd, L"\\\\?\\C:\\" + deep + L"\\w"},
        {"relative to an extended current directory", L"w", L"\\\\?\\C:\\" + deep,
         L"\\\\?\\C:\\" + deep + L"\\w"},
        {"relative to an extended share", L"..\\w", L"\\\\?\\UNC\\s\\t\\" + deep + L"\\x",
         L"\\\\?\\UNC\\s\\t\\" + deep + L"\\w"},
        {"only two separators first make a path extended", L"x\\.\\w", cwd,
         L"\\\\?\\C:\\work\\" + deep + L"\\x\\w"},
        {"a device path", L"\\\\.\\pipe\\" + deep, cwd, L"\\\\.\\pipe\\" + deep},
        {"NUL is a device, not a file in the folder", L"NUL", cwd, L"NUL"},
        {"nul: too", L"nul:", cwd, L"nul:"},
        {"COM1 too", L"com1", cwd, L"com1"},
        {"COM0 is a file", L"com0", cwd, L"\\\\?\\C:\\work\\" + deep + L"\\com0"},
        {"COM9 and LPT1 to LPT9 are devices", L"COM9", cwd, L"COM9"},
        {"LPT1", L"LPT1", cwd, L"LPT1"},
        {"lpt9:", L"lpt9:", cwd, L"lpt9:"},
        {"COMA is a file", L"COMA", cwd, L"\\\\?\\C:\\work\\" + deep + L"\\COMA"},
        {"and COM10", L"COM10", cwd, L"\\\\?\\C:\\work\\" + deep + L"\\COM10"},
        {"and OOM1", L"OOM1", cwd, L"\\\\?\\C:\\work\\" + deep + L"\\OOM1"},
        {"259 characters once absolute are left alone", L"w", L"C:\\" + deep.substr(1), L"w"},
        {"260 are not", L"w", L"C:\\" + deep, L"\\\\?\\C:\\" + deep + L"\\w"},
        {"a trailing separator stays", deep + L"\\sub\\", L"C:\\work",
         L"\\\\?\\C:\\work\\" + deep + L"\\sub\\"},
        {"the empty path", L"", cwd, L""},
    };
    for (const row& r : rows) {
        EXPECT_TRUE(extended_length_path(r.path, r.current_directory) == r.expected) << r.what;
    }
}

TEST(ConsoleEvents, EventsThatEndTheRunWaitWhileATemporaryExists) {
    struct row {
        const char* what;
        unsigned long event;
        bool held_with_temporary;
    };
    const row rows[] = {
        {"Ctrl+C", 0, true},      {"Ctrl+Break", 1, true},    {"closing the console", 2, true},
        {"logging off", 5, true}, {"shutting down", 6, true}, {"an unknown event", 3, false},
        {"another", 7, false},
    };
    for (const row& r : rows) {
        EXPECT_EQ(console_event_held(r.event, true), r.held_with_temporary) << r.what;
        EXPECT_FALSE(console_event_held(r.event, false)) << r.what << ", no temporary";
    }
    EXPECT_EQ(held_event_exit_code, 0xC000013AUL);
}

TEST(WindowsPaths, RetriesGiveUpAfterAboutTwoSeconds) {
    unsigned total = 0;
    int attempts = 0;
    for (; attempts < 100 && retry_pause_ms(attempts) != 0; ++attempts) {
        EXPECT_GE(retry_pause_ms(attempts), attempts == 0 ? 1u : retry_pause_ms(attempts - 1));
        total += retry_pause_ms(attempts);
    }
    EXPECT_EQ(retry_pause_ms(attempts), 0u);
    EXPECT_EQ(retry_pause_ms(-1), 0u);
    EXPECT_GE(attempts, 5);
    EXPECT_GE(total, 1500u);
    EXPECT_LE(total, 2500u);
}

}  // namespace
}  // namespace gantrel
