/* Lets a test program running under qemu-user start another program of the target.
 * The build machine's kernel cannot run an ARM executable by itself (no binfmt_misc handler
 * is registered, and registering one would change the whole machine), so GoogleTest's
 * "threadsafe" death tests, which re-execute the test program, failed with ENOEXEC.
 * Here an execv/execve that fails with ENOEXEC on an executable of this program's own
 * machine is retried through the emulator. Linked (with --wrap) into the programs of the
 * cross build with tests only, never into the release artefact; on a device the retry
 * cannot trigger, since the kernel runs its own executables.
 * No allocation: this runs in children cloned from threaded programs. */
#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

extern char** environ;
int __real_execve(const char* path, char* const argv[], char* const envp[]);
int __real_execv(const char* path, char* const argv[]);
int __wrap_execve(const char* path, char* const argv[], char* const envp[]);
int __wrap_execv(const char* path, char* const argv[]);

#if defined(__aarch64__)
#define OWN_MACHINE EM_AARCH64
#elif defined(__arm__)
#define OWN_MACHINE EM_ARM
#else
#error "emulated_exec.c belongs to ARM cross builds"
#endif

static int is_own_executable(const char* path) {
    unsigned char ident[20];
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    ssize_t got = read(fd, ident, sizeof ident);
    close(fd);
    if (got != (ssize_t)sizeof ident || memcmp(ident, ELFMAG, SELFMAG) != 0) return 0;
    unsigned machine = (unsigned)ident[18] | (unsigned)ident[19] << 8; /* e_machine, little-endian */
    return machine == OWN_MACHINE;
}

static int exec_emulated(const char* path, char* const argv[], char* const envp[]) {
    int saved = errno;
    if (saved != ENOEXEC || !is_own_executable(path)) {
        errno = saved;
        return -1;
    }
    size_t argc = 0;
    while (argv[argc] != NULL) ++argc;
    /* emulator, -cpu, CPU, -0, argv[0], path, argv[1..], NULL */
    char* args[argc + 7];
    size_t n = 0;
    args[n++] = (char*)UPG_EMULATOR;
    args[n++] = (char*)"-cpu";
    args[n++] = (char*)UPG_EMULATOR_CPU;
    args[n++] = (char*)"-0";
    args[n++] = argc > 0 ? argv[0] : (char*)path;
    args[n++] = (char*)path;
    for (size_t i = 1; i < argc; ++i) args[n++] = argv[i];
    args[n] = NULL;
    return __real_execve(UPG_EMULATOR, args, envp);
}

int __wrap_execve(const char* path, char* const argv[], char* const envp[]) {
    __real_execve(path, argv, envp);
    return exec_emulated(path, argv, envp);
}

int __wrap_execv(const char* path, char* const argv[]) {
    __real_execv(path, argv);
    return exec_emulated(path, argv, environ);
}
