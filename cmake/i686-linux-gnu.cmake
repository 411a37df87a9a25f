# Cross-builds gantrel and its unit tests for i686 Linux (little-endian, 32-bit) with Debian's
# g++-i686-linux-gnu, to be run under qemu-i386-static: the formats must come out the same on
# every host byte order and word size.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(gantrel_triple i686-linux-gnu)
set(gantrel_qemu qemu-i386-static)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
