// Runs a program as a Linux 2.6.29 kernel (ARM EABI) would run it, on a newer kernel:
//   oldkernel PROGRAM [ARG...]
// - every system call numbered above 2.6.29's table end (inotify_init1, 360), and every futex
//   option 2.6.29 lacks, is answered ENOSYS and reported once on stderr as
//   "UPG-REFUSED <number> <command>" or "UPG-REFUSED futex:<op in hex> <command>";
// - /proc/meminfo has no MemAvailable line (that came with 3.14), its other figures stay live;
// - uname reports a 2.6 release (UNAME26).
// The program keeps the wrapper's process id and exit status: a supervisor process of our own
// (detached, not the program's child) receives the refusals through a seccomp listener.
// Needs root (a mount namespace) and a kernel with seccomp user notification (5.0+).
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/futex.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sched.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/personality.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#if !defined(__arm__) || defined(__ARMEB__)
#error "ARM EABI (little-endian) numbering only"
#endif

enum {
    LAST_CALL = 360,                  // inotify_init1: the last call of 2.6.27 up to 2.6.29
    ARM_PRIVATE_FIRST = 0x0f0001,     // breakpoint, cacheflush, usr26, usr32, ...
    ARM_PRIVATE_LAST = 0x0f0005,      // ... set_tls; get_tls came with 4.15
    FUTEX_LAST_OP = FUTEX_WAKE_BITSET // the requeue-PI operations came with 2.6.31
};

static void die(const char* what) {
    dprintf(2, "oldkernel: %s: %s\n", what, strerror(errno));
    exit(127);
}

// 2.6.29 accepts FUTEX_CLOCK_REALTIME with FUTEX_WAIT_BITSET only (FUTEX_WAIT took it in 4.5).
static const struct sock_filter filter[] = {
#define ARG1 (offsetof(struct seccomp_data, args[1]))  // low word: little-endian
    /* 0 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
    /* 1 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_ARM, 0, 12),
    /* 2 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
    /* 3 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_futex, 3, 0),
    /* 4 */ BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, LAST_CALL, 0, 10),
    /* 5 */ BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, ARM_PRIVATE_FIRST, 0, 10),
    /* 6 */ BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, ARM_PRIVATE_LAST, 9, 8),
    /* 7 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, ARG1),
    /* 8 */ BPF_STMT(BPF_ALU | BPF_AND | BPF_K, FUTEX_CMD_MASK),
    /* 9 */ BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, FUTEX_LAST_OP, 6, 0),
    /* 10 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, FUTEX_WAIT_BITSET, 4, 0),
    /* 11 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, ARG1),
    /* 12 */ BPF_STMT(BPF_ALU | BPF_AND | BPF_K, FUTEX_CLOCK_REALTIME),
    /* 13 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 1, 2),
    /* 14 */ BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
    /* 15 */ BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    /* 16 */ BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF),
#undef ARG1
};

// The kernel's /proc/meminfo, and the copy without MemAvailable that the program reads instead:
// rewritten every 200 ms by the supervisor, so that its figures follow the device's as an old
// kernel's would.
static int real_meminfo = -1, meminfo_copy = -1;

static void refresh_meminfo_copy(void) {
    static char text[16384];
    const ssize_t got = pread(real_meminfo, text, sizeof text - 1, 0);
    if (got < 0) die("read /proc/meminfo");
    size_t length = (size_t)got;
    text[length] = '\0';
    char* line = strstr(text, "MemAvailable:");
    if (line) {
        char* next = strchr(line, '\n');
        next = next ? next + 1 : text + length;
        memmove(line, next, (size_t)(text + length - next) + 1);
        length -= (size_t)(next - line);
    }
    if (pwrite(meminfo_copy, text, length, 0) != (ssize_t)length || ftruncate(meminfo_copy, (off_t)length) != 0)
        die("write the copy of /proc/meminfo");
}

// Binds the copy over /proc/meminfo in a mount namespace of our own.
static void hide_mem_available(void) {
    real_meminfo = open("/proc/meminfo", O_RDONLY | O_CLOEXEC);
    if (real_meminfo < 0) die("/proc/meminfo");
    const char* copy = access("/run", W_OK) == 0 ? "/run/oldkernel-meminfo" : "/tmp/oldkernel-meminfo";
    meminfo_copy = open(copy, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0444);
    if (meminfo_copy < 0) die(copy);
    refresh_meminfo_copy();
    if (unshare(CLONE_NEWNS) != 0) die("unshare");
    if (mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) != 0) die("mount --make-rprivate /");
    if (mount(copy, "/proc/meminfo", NULL, MS_BIND, NULL) != 0) die("bind /proc/meminfo");
    unlink(copy);  // the binding and our descriptor hold it
}

static int seccomp_call(unsigned op, unsigned flags, void* arg) {
    return (int)syscall(__NR_seccomp, op, flags, arg);
}

static void send_fd(int sock, int fd) {
    char data = 0;
    struct iovec iov = {&data, 1};
    union {
        char buffer[CMSG_SPACE(sizeof(int))];
        struct cmsghdr align;
    } control;
    memset(&control, 0, sizeof control);
    struct msghdr message = {.msg_iov = &iov, .msg_iovlen = 1,
                             .msg_control = control.buffer, .msg_controllen = sizeof control.buffer};
    struct cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(c), &fd, sizeof(int));
    if (sendmsg(sock, &message, 0) != 1) die("sendmsg");
}

static int receive_fd(int sock) {
    char data;
    struct iovec iov = {&data, 1};
    union {
        char buffer[CMSG_SPACE(sizeof(int))];
        struct cmsghdr align;
    } control;
    struct msghdr message = {.msg_iov = &iov, .msg_iovlen = 1,
                             .msg_control = control.buffer, .msg_controllen = sizeof control.buffer};
    if (recvmsg(sock, &message, 0) != 1) return -1;
    struct cmsghdr* c = CMSG_FIRSTHDR(&message);
    if (!c || c->cmsg_type != SCM_RIGHTS) return -1;
    int fd;
    memcpy(&fd, CMSG_DATA(c), sizeof(int));
    return fd;
}

// Answers every refused call ENOSYS until the last process under the filter has ended.
static void supervise(int listener) {
    struct seccomp_notif_sizes sizes;
    if (seccomp_call(SECCOMP_GET_NOTIF_SIZES, 0, &sizes) != 0) die("SECCOMP_GET_NOTIF_SIZES");
    struct seccomp_notif* request = calloc(1, sizes.seccomp_notif);
    struct seccomp_notif_resp* response = calloc(1, sizes.seccomp_notif_resp);
    if (!request || !response) die("calloc");
    static char seen[128][64];  // each line printed, printed once
    size_t seen_count = 0;
    for (;;) {
        struct pollfd p = {listener, POLLIN, 0};
        const int ready = poll(&p, 1, 200);
        if (ready < 0 && errno != EINTR) die("poll");
        if (ready <= 0) {
            refresh_meminfo_copy();
            continue;
        }
        if (!(p.revents & POLLIN)) return;  // POLLHUP: no process left under the filter
        memset(request, 0, sizes.seccomp_notif);
        if (ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, request) != 0) {
            if (errno == EINTR || errno == ENOENT) continue;
            die("SECCOMP_IOCTL_NOTIF_RECV");
        }
        const int nr = request->data.nr;
        char path[32], command[32] = "?", line[64];
        snprintf(path, sizeof path, "/proc/%u/comm", request->pid);
        const int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            const ssize_t n = read(fd, command, sizeof command - 1);
            command[n > 0 ? n - 1 : 0] = '\0';  // without its newline
            close(fd);
        }
        if (nr == __NR_futex)
            snprintf(line, sizeof line, "UPG-REFUSED futex:0x%x %s\n", (unsigned)request->data.args[1], command);
        else
            snprintf(line, sizeof line, "UPG-REFUSED %d %s\n", nr, command);
        size_t i = 0;
        while (i < seen_count && strcmp(seen[i], line) != 0) ++i;
        if (i == seen_count) {
            if (seen_count < sizeof seen / sizeof seen[0]) strcpy(seen[seen_count++], line);
            if (write(2, line, strlen(line)) < 0) die("write");
        }
        memset(response, 0, sizes.seccomp_notif_resp);
        response->id = request->id;
        response->error = -ENOSYS;
        // ENOENT: the caller was killed meanwhile.
        if (ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, response) != 0 && errno != ENOENT)
            die("SECCOMP_IOCTL_NOTIF_SEND");
    }
}

int main(int argc, char** argv) {
    if (argc < 2) {
        dprintf(2, "usage: oldkernel PROGRAM [ARG...]\n");
        return 2;
    }
    hide_mem_available();
    int sockets[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sockets) != 0) die("socketpair");
    const pid_t child = fork();
    if (child < 0) die("fork");
    if (child == 0) {
        // The supervisor is a grandchild, so that the program never waits for it.
        const pid_t supervisor = fork();
        if (supervisor != 0) _exit(supervisor < 0 ? 127 : 0);
        close(sockets[0]);
        const int listener = receive_fd(sockets[1]);
        if (listener < 0) _exit(0);  // the program never got as far as its filter
        close(sockets[1]);
        supervise(listener);
        _exit(0);
    }
    close(sockets[1]);
    if (waitpid(child, NULL, 0) != child) die("waitpid");

    if (personality(personality(0xffffffff) | UNAME26) < 0) die("personality");
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) die("PR_SET_NO_NEW_PRIVS");
    const struct sock_fprog program = {sizeof filter / sizeof filter[0], (struct sock_filter*)filter};
    const int listener = seccomp_call(SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER,
                                      (void*)&program);
    if (listener < 0) die("seccomp");
    send_fd(sockets[0], listener);
    close(listener);
    close(sockets[0]);
    execv(argv[1], argv + 1);
    die(argv[1]);
}
