# Included at the end of project() by the ARM toolchain files (CMAKE_PROJECT_INCLUDE),
# also in CMake's own try_compile projects, which need none of it.
if(PROJECT_NAME STREQUAL "CMAKE_TRY_COMPILE")
  return()
endif()

if(UPG_CROSS_STATIC)
  # A static link can only use archives: find_library must not pick the shared objects
  # beside them (the platform files reset the suffixes after the toolchain file).
  set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
endif()

# Test programs that start the test program again (GoogleTest's "threadsafe" death tests)
# do so through the emulator; see emulated_exec.c. Builds without tests (the release
# artefact) do not get it.
get_property(_upg_languages GLOBAL PROPERTY ENABLED_LANGUAGES)
if(CMAKE_CROSSCOMPILING_EMULATOR AND "C" IN_LIST _upg_languages AND (NOT DEFINED UPG_TESTS OR UPG_TESTS))
  list(GET CMAKE_CROSSCOMPILING_EMULATOR 0 _upg_emulator)
  add_library(upg_emulated_exec STATIC ${CMAKE_CURRENT_LIST_DIR}/emulated_exec.c)
  target_compile_definitions(upg_emulated_exec PRIVATE
    UPG_EMULATOR="${_upg_emulator}" UPG_EMULATOR_CPU="${UPG_CROSS_QEMU_CPU}")
  # The archive comes early on each link line; the undefined symbol makes the linker take
  # the wrapper from it before it meets the callers in libgtest.a.
  link_libraries(upg_emulated_exec)
  add_link_options(LINKER:--wrap=execv,--wrap=execve LINKER:--undefined=__wrap_execv,--undefined=__wrap_execve)
endif()
