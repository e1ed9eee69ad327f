# Cross build for 64-bit Windows with Debian's MinGW-w64 (posix thread model,
# so std::thread and std::mutex work), tests run under Wine:
#   cmake -S . -B build-windows -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# scripts/test-windows.sh does this with a throwaway Wine prefix.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KVS_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KVS_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KVS_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KVS_MINGW_TRIPLET}-windres)

# Headers and libraries come from the MinGW sysroot only; programs run here.
set(CMAKE_FIND_ROOT_PATH /usr/${KVS_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained .exe: libstdc++, libgcc and winpthread linked in, so
# nothing but system DLLs (KERNEL32, msvcrt, ws2_32, ...) is needed at run time.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# ctest (and gtest_discover_tests) start every test program through Wine.
# Debian's wine64 package puts only the `wine` launcher on PATH.
find_program(KVS_WINE NAMES wine64 wine)
if(KVS_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KVS_WINE})
endif()
