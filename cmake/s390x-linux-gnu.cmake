# Cross-builds gantrel and its unit tests for s390x Linux (big-endian, 64-bit) with Debian's
# g++-s390x-linux-gnu, to be run under qemu-s390x-static: the formats must come out the same on
# every host byte order and word size.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(gantrel_triple s390x-linux-gnu)
set(gantrel_qemu qemu-s390x-static)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
