# Cross-builds gantrel and its unit tests for i686 Linux (little-endian, 32-bit) with Debian's
# g++-i686-linux-gnu, to be run under qemu-i386-static: the formats must come out the same on
# every host byte order and word size.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)

set(CMAKE_FIND_ROOT_PATH /usr/i686-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Static test programs need no -L for qemu, and cannot pick up the host's own 32-bit C library
# through its loader cache (which makes them hang in fork).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386-static)
