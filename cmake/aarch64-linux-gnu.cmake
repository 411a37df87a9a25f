# Cross-builds gantrel and its unit tests for aarch64 Linux (64-bit ARM, where char is unsigned)
# with Debian's g++-aarch64-linux-gnu, to be run under qemu-aarch64-static: the formats must come
# out the same on every host.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(gantrel_triple aarch64-linux-gnu)
set(gantrel_qemu qemu-aarch64-static)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
