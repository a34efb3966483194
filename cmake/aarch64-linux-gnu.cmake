# Cross build for arm64 units: Debian's aarch64-linux-gnu compiler with the arm64 libraries of the
# multiarch packages (scripts/install-deps --arm64). The programs built run on the build machine
# under qemu-user; gtest's test discovery and ctest go through CMAKE_CROSSCOMPILING_EMULATOR.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Libraries and CMake package files are looked up in the multiarch folders
# (/usr/lib/aarch64-linux-gnu) only, never in the build machine's; the compiler itself searches
# /usr/include/aarch64-linux-gnu and /usr/lib/aarch64-linux-gnu. Programs the build runs
# (python for the schema classes, ctags) are the build machine's own.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# The arm64 libc of the multiarch packages provides /lib/ld-linux-aarch64.so.1 and registers its
# library folders, so qemu needs no -L prefix.
find_program(ZEM_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${ZEM_QEMU_AARCH64})

# pkg-config reads the arm64 .pc files, never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
