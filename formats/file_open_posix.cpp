#include "formats/file_open.h"

namespace gantrel {

std::FILE* open_file(const std::filesystem::path& path, const char* mode) {
    return std::fopen(path.c_str(), mode);
}

std::FILE* create_new_file(const std::filesystem::path& path) {
    return std::fopen(path.c_str(), "wbx");
}

}  // namespace gantrel
