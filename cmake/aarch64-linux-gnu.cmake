# Cross-compiling for ARM64 Linux from an x86-64 Debian: GCC for aarch64, and the ARM64 builds of
# Python and GoogleTest installed beside the machine's own (Debian's multiarch; tools/devroot
# --with cross). Used by `make test-arm64` and `make dist-arm64`.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# Programs are the build machine's; libraries and headers come from the ARM64 multiarch paths.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
