# 32-bit x86 on a 64-bit Linux host with gcc-multilib: cmake -DCMAKE_TOOLCHAIN_FILE=...
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
