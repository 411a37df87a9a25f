# What the Linux cross toolchains share: Debian's cross-compiler for gantrel_triple, its sysroot,
# and qemu-user (gantrel_qemu) as the emulator the tests run under. Static test programs need no
# -L for qemu, and cannot pick up the host's own C library through its loader cache (which makes
# 32-bit ones hang in fork).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${gantrel_triple}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${gantrel_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_CROSSCOMPILING_EMULATOR ${gantrel_qemu})
