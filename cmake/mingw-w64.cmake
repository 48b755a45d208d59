# Cross build for 64-bit Windows with Debian's mingw-w64, tests run under wine:
#
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
#   cmake --build build-win && (cd build-win && ctest)
#
# The "-posix" compilers use the POSIX thread model: the default win32 model
# of Debian's mingw-w64 has no std::thread. Everything is linked statically,
# so the programs need no runtime DLLs beside them (wine would exit 53).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CORVANE_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${CORVANE_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CORVANE_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${CORVANE_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${CORVANE_MINGW_TRIPLET})
# A Qt built for mingw-w64 (Debian has none): -DCORVANE_QT_MINGW_DIR=<the
# unpacked folder> adds it to the roots searched, beside the compiler's own,
# and lets Debian's host tools of the same Qt version (moc, rcc, uic) run.
if(CORVANE_QT_MINGW_DIR)
    list(APPEND CMAKE_FIND_ROOT_PATH ${CORVANE_QT_MINGW_DIR})
    if(NOT QT_HOST_PATH)
        set(QT_HOST_PATH /usr)
        set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)
    endif()
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# CTest runs the .exe files through wine, with a wine prefix of its own inside
# the build tree (made on first use).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${CMAKE_BINARY_DIR}/wine-prefix)
