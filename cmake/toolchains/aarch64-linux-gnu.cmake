# 64-bit ARM (Debian arm64: crossbuild-essential-arm64 and the :arm64 -dev packages).
#   cmake --preset aarch64      or   -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake
set(UPG_CROSS_TRIPLE aarch64-linux-gnu)
set(UPG_CROSS_PROCESSOR aarch64)
set(UPG_CROSS_QEMU qemu-aarch64)
set(UPG_CROSS_QEMU_CPU cortex-a53)
include(${CMAKE_CURRENT_LIST_DIR}/cross-common.cmake)
