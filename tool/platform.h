#pragma once

// What the command needs of the platform: one implementation per platform.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "tool/run.h"

namespace gantrel {

// The platform's command-line character: the tool takes its arguments as UTF-16 on Windows.
#ifdef _WIN32
using native_char = wchar_t;
#else
using native_char = char;
#endif

// Makes writes to a closed standard output or a pipe whose reader is gone fail quietly instead
// of ending the process, and keeps files opened later off the standard descriptors.
void prepare_process();

// Asks the system to back every page that the `size` bytes from `start` lie on now, in one
// request, rather than with a page fault for each page as it is first written, which costs more.
// Only a hint: where the system cannot, the pages fault in as before.
void prefault(void* start, std::size_t size);

// A number from the system's random source that keys the line index for this run, so that no
// mesh data file can be made in advance to collide in it; where the source fails, 0, a fixed key
// (the run goes on, as fast as ever on any mesh not made against that key).
std::uint64_t random_seed();

// The arguments after the program name, from the command line as the C runtime split it.
std::vector<argument> command_line_arguments(int argc, native_char** argv);

// Writes one message line to `out`, flushed at once: `before`, the path of `subject` (if any) as
// `printable` gives it, then `after`. Where `out` is a Windows console the line is written as
// UTF-16, so that every character of the path shows; everywhere else as bytes, with the
// platform's line end.
void write_message(std::FILE* out, std::string_view before, const argument* subject,
                   std::string_view after);

// A path as a message prints it: every control character (0x00 to 0x1F and 0x7F) becomes '?',
// so that no file name can end a line early or add one of its own. Other bytes are kept.
std::string printable(std::string_view path);

}  // namespace gantrel
