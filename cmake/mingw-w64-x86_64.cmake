# Cross-builds for 64-bit Windows with Debian's MinGW-w64 (posix threads flavour), and runs the
# results under Wine through cmake/wine-run.sh, so that CTest runs the same tests there.
#
#   cmake --preset windows   (or -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_mh_triple x86_64-w64-mingw32)
# The -posix compilers: std::thread, std::mutex and friends need the winpthreads model.
set(CMAKE_C_COMPILER ${_mh_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mh_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_mh_triple}-windres)
set(CMAKE_AR ${_mh_triple}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${_mh_triple}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${_mh_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The compiler's runtime goes into every exe and DLL, winpthread included (-static), so nothing
# needs libgcc_s_seh-1.dll, libstdc++-6.dll or libwinpthread-1.dll at run time. Our own DLLs are
# still linked through their import libraries (by full path), and system DLLs through theirs.
set(_mh_static_runtime "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_mh_static_runtime}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_mh_static_runtime}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_mh_static_runtime}")

# try_run and CTest start Windows programs through Wine, in a prefix of the build's own.
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh;${CMAKE_BINARY_DIR}/wineprefix")
