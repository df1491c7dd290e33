# The release version of the host tools, from project(... VERSION ...): one header
# that every tool printing it includes. The device program keeps its own banner.
configure_file(${CMAKE_CURRENT_LIST_DIR}/upg_version.h.in ${PROJECT_BINARY_DIR}/generated/upg_version.h @ONLY)
add_library(upg_version INTERFACE)
target_include_directories(upg_version INTERFACE ${PROJECT_BINARY_DIR}/generated)
