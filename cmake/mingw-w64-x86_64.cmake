# Cross-builds gantrel.exe for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

foreach(flavour posix win32)
  find_program(gantrel_mingw_cxx x86_64-w64-mingw32-g++-${flavour})
  if(gantrel_mingw_cxx)
    break()
  endif()
endforeach()
if(NOT gantrel_mingw_cxx)
  set(gantrel_mingw_cxx x86_64-w64-mingw32-g++)
endif()
set(CMAKE_CXX_COMPILER ${gantrel_mingw_cxx})
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The .exe runs alone: no libgcc, libstdc++ or winpthread DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Its tests run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
