# 32-bit ARM soft-float (Debian armel: crossbuild-essential-armel). Debian armel code runs on
# ARMv5TE and every later core, the appliance's ARM11 (ARM1176, ARMv6) among them.
#   cmake --preset armel        or   -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-gnueabi.cmake
# The armel libraries cannot be installed beside the build machine's amd64 ones, so they come
# from a sysroot of unpacked packages that scripts/armel-sysroot makes and caches.
set(UPG_CROSS_TRIPLE arm-linux-gnueabi)
set(UPG_CROSS_PROCESSOR arm)
set(UPG_CROSS_QEMU qemu-arm)
# The appliance's core: the tests must not lean on anything a later core added.
set(UPG_CROSS_QEMU_CPU arm1176)

# Asked at every configure (quick once made): a changed package list gives a new sysroot.
if(NOT UPG_ARMEL_SYSROOT_SET_BY_PARENT)
  execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/../../scripts/armel-sysroot
                  OUTPUT_VARIABLE _upg_sysroot_out RESULT_VARIABLE _upg_sysroot_result)
  if(NOT _upg_sysroot_result EQUAL 0)
    message(FATAL_ERROR "scripts/armel-sysroot failed: the armel libraries are missing")
  endif()
  string(STRIP "${_upg_sysroot_out}" _upg_sysroot_out)
  string(REGEX REPLACE ".*\n" "" _upg_sysroot_out "${_upg_sysroot_out}")
  set(UPG_ARMEL_SYSROOT "${_upg_sysroot_out}" CACHE PATH "Unpacked armel libraries (scripts/armel-sysroot)" FORCE)
endif()
# try_compile projects read this file again: hand them the sysroot instead of the script.
set(UPG_ARMEL_SYSROOT_SET_BY_PARENT ON)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES UPG_ARMEL_SYSROOT UPG_ARMEL_SYSROOT_SET_BY_PARENT)

include(${CMAKE_CURRENT_LIST_DIR}/cross-common.cmake)

# ARMv5 has no 64-bit atomic instructions: GCC calls libatomic for std::atomic<std::uint64_t>.
set(CMAKE_C_STANDARD_LIBRARIES_INIT "-latomic")
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "-latomic")

# The sysroot before "/": the armel headers and archives, never the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/${UPG_CROSS_TRIPLE} ${UPG_ARMEL_SYSROOT})
# pkg-config (pkg_check_modules) reads the sysroot's .pc files and prefixes their paths.
set(ENV{PKG_CONFIG_LIBDIR} "${UPG_ARMEL_SYSROOT}/usr/lib/${UPG_CROSS_TRIPLE}/pkgconfig:${UPG_ARMEL_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${UPG_ARMEL_SYSROOT}")
