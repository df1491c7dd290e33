# Shared part of the ARM toolchain files: Debian's cross compilers, the multiarch libraries
# (/usr/lib/<triple>, installed as zlib1g-dev:armhf etc.) and qemu-user as the emulator that
# CTest and gtest_discover_tests run the target's programs with.
#
# Every program of a cross build is linked statically: it then runs under plain qemu-user
# with nothing of the target installed on the build machine at run time (no ld.so, no
# libstdc++:armhf; "qemu-arm -L <sysroot>" is not needed, it broke threaded programs), and
# what is tested is what goes on the device. UPG_CROSS_STATIC=OFF links dynamically
# (libstdc++ and libgcc still static) for a device that ships its own libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${UPG_CROSS_PROCESSOR})

set(CMAKE_C_COMPILER ${UPG_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${UPG_CROSS_TRIPLE}-g++)
# Debian multiarch: find_library/find_package look in /usr/lib/<triple> and
# /usr/lib/<triple>/cmake first.
set(CMAKE_LIBRARY_ARCHITECTURE ${UPG_CROSS_TRIPLE})

# Target files come from the cross sysroot or the multiarch directories under /, never from
# the build machine's own library directories; programs (qemu, host tools) come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${UPG_CROSS_TRIPLE} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(UPG_CROSS_STATIC ON CACHE BOOL "Link every program of the cross build statically")
if(UPG_CROSS_STATIC)
  set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
else()
  set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libstdc++ -static-libgcc")
endif()

find_program(UPG_QEMU_PROGRAM ${UPG_CROSS_QEMU})
if(UPG_QEMU_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${UPG_QEMU_PROGRAM} -cpu ${UPG_CROSS_QEMU_CPU})
else()
  message(WARNING "${UPG_CROSS_QEMU} not found (Debian package qemu-user): the tests of this "
                  "build cannot run here; scripts/require arm names what is missing")
endif()

# Archives for the static link, and the exec shim of the test programs: see there.
set(CMAKE_PROJECT_INCLUDE ${CMAKE_CURRENT_LIST_DIR}/cross-project.cmake)

# Run each test program's --gtest_list_tests when CTest starts, not at build time: the build
# stays a pure cross build and a program that does not start shows up as a failing test.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
