# Cross-builds for 64-bit Windows with Debian's MinGW-w64 (the -posix compilers: Qt 6
# needs their std::thread). The Windows libraries are looked for only under MinGW's own
# folder and the prefixes named in VELTRA_WINDOWS_ROOTS (a CMake list, or the
# environment variable of that name), so nothing of this machine's own is linked.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_ASM_NASM_COMPILER nasm)

if(NOT VELTRA_WINDOWS_ROOTS AND DEFINED ENV{VELTRA_WINDOWS_ROOTS})
    set(VELTRA_WINDOWS_ROOTS "$ENV{VELTRA_WINDOWS_ROOTS}")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELTRA_WINDOWS_ROOTS)
set(CMAKE_FIND_ROOT_PATH /usr/${triple} ${VELTRA_WINDOWS_ROOTS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
