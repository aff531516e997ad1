# The Windows build with clang and lld instead of GCC, against the same
# mingw-w64 headers, libraries and C++ runtime: a second compiler's warnings.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${triple})
set(CMAKE_CXX_COMPILER_TARGET ${triple})
set(CMAKE_RC_COMPILER ${triple}-windres)

# clang does not find the posix-threads GCC runtime of Debian's mingw-w64 on
# its own.
set(gcc_dir /usr/lib/gcc/${triple}/12-posix)
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES
    ${gcc_dir}/include/c++ ${gcc_dir}/include/c++/${triple} ${gcc_dir}/include/c++/backward)

set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -static -L${gcc_dir}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld -static -L${gcc_dir}")
# libstdc++ of this runtime needs winpthreads, linked statically.
set(CMAKE_CXX_STANDARD_LIBRARIES "-Wl,-Bstatic -lpthread")

set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run")
