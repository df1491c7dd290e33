# 32-bit ARM hard-float (Debian armhf: crossbuild-essential-armhf and the :armhf -dev packages).
#   cmake --preset armhf        or   -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-gnueabihf.cmake
set(UPG_CROSS_TRIPLE arm-linux-gnueabihf)
set(UPG_CROSS_PROCESSOR arm)
set(UPG_CROSS_QEMU qemu-arm)
# The oldest core the armhf baseline (ARMv7-A, VFPv3-D16) runs on: the tests must not lean
# on anything a later core added.
set(UPG_CROSS_QEMU_CPU cortex-a8)
include(${CMAKE_CURRENT_LIST_DIR}/cross-common.cmake)
