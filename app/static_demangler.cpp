// Linked into the static device program in place of the C++ demangler (link option
// --wrap=__cxa_demangle). The only caller in the program is the report that
// std::terminate prints for an uncaught exception; without a demangled name it prints
// the type's mangled name ("St9bad_alloc"). The demangler is about 45 KB of a static
// program that has to stay under 1 MiB for the smallest devices.
#include <cstddef>

extern "C" char* __wrap___cxa_demangle(const char* mangled, char* buffer, std::size_t* length, int* status);

extern "C" char* __wrap___cxa_demangle(const char*, char*, std::size_t*, int* status) {
    if (status != nullptr) *status = -2;  // "not a valid mangled name": the caller keeps the raw one
    return nullptr;
}
