#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <string>

#include "formats/file_open.h"

namespace gantrel {

std::FILE* open_file(const std::filesystem::path& path, const char* mode) {
    const std::wstring wide_mode(mode, mode + std::char_traits<char>::length(mode));
    return _wfopen(path.c_str(), wide_mode.c_str());
}

std::FILE* create_new_file(const std::filesystem::path& path) {
    const int fd =
        _wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd == -1) {
        return nullptr;
    }
    std::FILE* file = _wfdopen(fd, L"wb");
    if (file == nullptr) {
        _close(fd);
    }
    return file;
}

}  // namespace gantrel
