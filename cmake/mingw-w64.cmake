# Cross build for Windows with Debian's mingw-w64 compilers, against the
# platform's real headers, for the processor KELO_MINGW_ARCH names (x86_64 or
# i686). Used through mingw-w64-x86_64.cmake and mingw-w64-i686.cmake.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${KELO_MINGW_ARCH})
set(CMAKE_C_COMPILER ${KELO_MINGW_ARCH}-w64-mingw32-gcc)
set(CMAKE_CXX_COMPILER ${KELO_MINGW_ARCH}-w64-mingw32-g++)
set(CMAKE_RC_COMPILER ${KELO_MINGW_ARCH}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KELO_MINGW_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
