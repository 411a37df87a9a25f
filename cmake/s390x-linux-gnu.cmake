# Cross-builds gantrel and its unit tests for s390x Linux (big-endian, 64-bit) with Debian's
# g++-s390x-linux-gnu, to be run under qemu-s390x-static: the formats must come out the same on
# every host byte order and word size.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CMAKE_CXX_COMPILER s390x-linux-gnu-g++)

set(CMAKE_FIND_ROOT_PATH /usr/s390x-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Static test programs need no -L for qemu, and cannot pick up the host's own 32-bit C library
# through its loader cache (which makes them hang in fork).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-s390x-static)
