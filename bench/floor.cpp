// The floor of a conversion's cost: a process that does only the I/O a conversion cannot avoid.
// It reads the input whole, writes SIZE bytes to a new file beside OUTPUT and renames it over
// OUTPUT; with "flush" it first flushes the new file to the disk, as replacing an existing file
// must. Built with the same compiler and flags as gantrel and linked statically like it.
//
//   gantrel_floor INPUT SIZE OUTPUT [flush]

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fputs("usage: gantrel_floor INPUT SIZE OUTPUT [flush]\n", stderr);
        return 2;
    }
    const int in = open(argv[1], O_RDONLY);
    struct stat info {};
    if (in < 0 || fstat(in, &info) != 0) {
        return 1;
    }
    std::vector<unsigned char> input(static_cast<std::size_t>(info.st_size));
    if (read(in, input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
        return 1;
    }
    close(in);
    const std::vector<unsigned char> output(std::strtoul(argv[2], nullptr, 10), 0x5A);
    const std::string target = argv[3];
    const std::string temporary = target + ".floor";
    const int out = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (out < 0 ||
        write(out, output.data(), output.size()) != static_cast<ssize_t>(output.size())) {
        return 1;
    }
    if (argc > 4 && fsync(out) != 0) {
        return 1;
    }
    close(out);
    return rename(temporary.c_str(), target.c_str()) == 0 ? 0 : 1;
}
