# 64-bit ARM on an x86-64 Debian host, run under qemu-aarch64:
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DVOXWARPKIT_KERNEL_ONLY=ON ...
# Clang cross-compiles with Debian's arm64 cross headers and libraries
# (libc6-dev-arm64-cross, libstdc++-12-dev-arm64-cross) and GNU ld
# (binutils-aarch64-linux-gnu); these install beside g++-multilib, which
# g++-aarch64-linux-gnu would remove. Static, so qemu needs no sysroot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET aarch64-linux-gnu)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -fuse-ld=bfd")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
