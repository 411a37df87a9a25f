/* The floor of a conversion's cost: a process that does only what any conversion must. It reads
 * the input into one buffer, writes SIZE bytes of that same buffer to a new file beside OUTPUT
 * and renames it over OUTPUT; with "flush" it first flushes the new file to the disk, as
 * replacing an existing file must. It is C, linked statically, with no C++ runtime to start, no
 * heap, no stream buffers and no second buffer: every page it touches, a conversion touches too.
 * What gantrel costs beyond it is the price of its own work (decoding, the line list, the
 * checks that keep a replacement safe), which is what the benchmark is there to show.
 *
 *   gantrel_floor INPUT SIZE OUTPUT [flush]
 */

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* The largest wire file, 16 + 4 x 65535 bytes, is larger than the largest mesh data file
 * a conversion reads, 28 + 6 x 21845 bytes. Pages past what a run uses are never touched. */
static unsigned char buffer[16 + 4 * 65535];
static char temporary[4096 + 8];

static int fail(const char* why) {
    (void)!write(2, why, strlen(why));
    return 1;
}

int main(int argc, char** argv) {
    if (argc < 4) {
        return fail("usage: gantrel_floor INPUT SIZE OUTPUT [flush]\n");
    }
    const size_t size = strtoul(argv[2], NULL, 10);
    const size_t name_length = strlen(argv[3]);
    if (size > sizeof buffer || name_length + sizeof ".floor" > sizeof temporary) {
        return fail("gantrel_floor: too large\n");
    }
    const int in = open(argv[1], O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        return fail("gantrel_floor: cannot open the input\n");
    }
    size_t got = 0;
    for (;;) {
        const ssize_t n = read(in, buffer + got, sizeof buffer - got);
        if (n <= 0) {
            break;
        }
        got += (size_t)n;
    }
    close(in);

    memcpy(temporary, argv[3], name_length);
    memcpy(temporary + name_length, ".floor", sizeof ".floor");
    const int out = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (out < 0 || write(out, buffer, size) != (ssize_t)size) {
        return fail("gantrel_floor: cannot write\n");
    }
    if (argc > 4 && fsync(out) != 0) {
        return fail("gantrel_floor: cannot flush\n");
    }
    close(out);
    return rename(temporary, argv[3]) == 0 ? 0 : fail("gantrel_floor: cannot rename\n");
}
