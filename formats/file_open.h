#pragma once

// Opening files by path, the part of file access that differs by platform: on Windows paths are
// UTF-16 and the C runtime lacks exclusive creation through fopen.

#include <cstdio>
#include <filesystem>

namespace gantrel {

// std::fopen by path with the same `mode`.
std::FILE* open_file(const std::filesystem::path& path, const char* mode);

// Creates `path` for binary writing, failing if anything already has that name. A new file gets
// the platform's default permissions.
std::FILE* create_new_file(const std::filesystem::path& path);

}  // namespace gantrel
