# Warnings for every target of the project; UPG_WERROR (on in CI) makes them errors.
add_compile_options(-Wall -Wextra -Wpedantic -Wconversion -Wshadow
                    -Wnon-virtual-dtor -Wcast-align
                    -Wformat=2 -Wimplicit-fallthrough)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  add_compile_options(-Wduplicated-cond -Wlogical-op)
endif()
if(UPG_WERROR)
  add_compile_options(-Werror)
endif()
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  add_compile_options(-Wno-restrict)  # GCC 12 false positives in std::string at -O3
endif()
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  # Notes that GCC 7.1 changed how some types are passed on ARM: everything here is
  # built by one compiler, so they carry no information.
  add_compile_options(-Wno-psabi)
endif()
