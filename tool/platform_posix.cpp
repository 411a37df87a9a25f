#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "tool/platform.h"

namespace gantrel {

void prepare_process() {
    // A broken pipe on standard output must not kill the run before the wire file is written.
    signal(SIGPIPE, SIG_IGN);
    // A file size limit must fail the write, which is then reported and undone, rather than end
    // the process with its temporary left behind.
    signal(SIGXFSZ, SIG_IGN);
    // With descriptor 1 closed, the next file opened would become standard output and receive
    // the messages; holding /dev/null there keeps them apart.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            const int null_fd = open("/dev/null", O_RDWR);
            if (null_fd > 2) {
                close(null_fd);
            }
        }
    }
}

void prefault(void* start, std::size_t size) {
#ifdef MADV_POPULATE_WRITE
    // Every page the stretch lies on, the partial ones at its ends too: a page is mapped whole,
    // so the request never reaches past what is mapped, and one that faults in later costs
    // twice as much. A system older than the request refuses it, which changes nothing.
    if (size == 0) {
        return;
    }
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t skip = reinterpret_cast<std::uintptr_t>(start) % page;
    madvise(static_cast<char*>(start) - skip, (skip + size + page - 1) / page * page,
            MADV_POPULATE_WRITE);
#else
    static_cast<void>(start);
    static_cast<void>(size);
#endif
}

std::uint64_t random_seed() {
    std::uint64_t seed = 0;
    // Never blocking: early in a boot, before the source is ready, the fixed key does.
    if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof seed)) {
        seed = 0;
    }
    return seed;
}

void write_message(std::FILE* out, std::string_view before, const argument* subject,
                   std::string_view after) {
    // One write for the whole line, so that concurrent runs sharing an output never interleave
    // within a line.
    std::string line(before);
    if (subject != nullptr) {
        line += printable(subject->text);
    }
    line += after;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), out);
    std::fflush(out);
}

std::vector<argument> command_line_arguments(int argc, char** argv) {
    std::vector<argument> arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.push_back(argument{argv[i], argv[i]});
    }
    return arguments;
}

}  // namespace gantrel
