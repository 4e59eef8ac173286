# The second compiler: clang and lld for 32-bit Windows, against the same MinGW-w64 headers, C++
# runtime and import libraries as cmake/mingw-i686.cmake (the posix thread model's libstdc++ and
# winpthreads). CI builds the program and the unit tests with it, warnings as errors; the shipped
# binaries are built with the GNU toolchain.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(KDM_TARGET i686-w64-mingw32)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${KDM_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${KDM_TARGET})
set(CMAKE_RC_COMPILER ${KDM_TARGET}-windres)
set(CMAKE_DLLTOOL ${KDM_TARGET}-dlltool)
set(CMAKE_RC_FLAGS_INIT "-c 65001")

# Debian's clang does not find the MinGW-w64 GCC's C++ headers and runtime by itself (their folder
# is named after the thread model): name the posix one.
file(GLOB KDM_GCC_DIRS LIST_DIRECTORIES true /usr/lib/gcc/${KDM_TARGET}/*-posix)
list(SORT KDM_GCC_DIRS COMPARE NATURAL ORDER DESCENDING)
list(GET KDM_GCC_DIRS 0 KDM_GCC_DIR)
set(KDM_CXX_INCLUDE ${KDM_GCC_DIR}/include/c++)
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES
    ${KDM_CXX_INCLUDE} ${KDM_CXX_INCLUDE}/${KDM_TARGET} ${KDM_CXX_INCLUDE}/backward)
# lld resolves archives in any order, so the thread library that the GNU driver of the posix
# thread model adds by itself can be named here.
set(KDM_LINK_INIT "-fuse-ld=lld -L${KDM_GCC_DIR} -lpthread")
set(CMAKE_EXE_LINKER_FLAGS_INIT ${KDM_LINK_INIT})
set(CMAKE_SHARED_LINKER_FLAGS_INIT ${KDM_LINK_INIT})
set(CMAKE_MODULE_LINKER_FLAGS_INIT ${KDM_LINK_INIT})

set(CMAKE_FIND_ROOT_PATH /usr/${KDM_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
