# Included at the end of project() by the ARM toolchain files (UPG_CROSS_STATIC): a static
# link can only use archives, so find_library must not pick the shared objects beside them.
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
