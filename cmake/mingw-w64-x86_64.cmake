# Cross build for 64-bit Windows with Debian's mingw-w64 (POSIX thread model):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# Executables link the C and C++ runtimes statically and need no MinGW DLLs.
# When Wine is installed, ctest runs the test executables under it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VANTORO_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VANTORO_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VANTORO_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VANTORO_MINGW_TRIPLET}-windres)

# Libraries and headers come from the target's tree only; tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${VANTORO_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")

# Debian's wine64 package installs its loader outside PATH.
find_program(VANTORO_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(VANTORO_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VANTORO_WINE})
endif()
