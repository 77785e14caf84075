/* Preloaded into every program that scripts/emulate.sh runs (ARM programs and the native
 * ones they start alike).
 *
 * qemu-user passes waitid(P_PIDFD) through to the kernel but cannot clone with CLONE_PIDFD:
 * Qt 5.15's QProcess, which asks the former to decide on the latter, would then report a
 * started child with the process id -1. With the question answered "no", as an older
 * kernel answers it, Qt forks as it always did.
 *
 * kill(-1, ...) is what such a child id turns into: it is refused and the caller aborted,
 * so that a test shows it instead of the sandbox ending quietly. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

typedef long (*SyscallFunction)(long, ...);

static long realSyscall(long number, long a, long b, long c, long d, long e, long f, long g)
{
    static SyscallFunction real;
    if (!real)
        real = (SyscallFunction)dlsym(RTLD_NEXT, "syscall");
    return real(number, a, b, c, d, e, f, g);
}

/* Seven argument words: the most a system call takes on 32-bit ARM, 64-bit values paired. */
long syscall(long number, ...)
{
    long w[7];
    va_list arguments;
    va_start(arguments, number);
    for (int i = 0; i < 7; ++i)
        w[i] = va_arg(arguments, long);
    va_end(arguments);
    if (number == SYS_waitid && w[0] == P_PIDFD) {
        errno = EINVAL;
        return -1;
    }
    return realSyscall(number, w[0], w[1], w[2], w[3], w[4], w[5], w[6]);
}

int kill(pid_t pid, int signalNumber)
{
    if (pid == -1) {
        static const char message[] = "nopidfd: kill(-1) refused; aborting\n";
        if (write(STDERR_FILENO, message, sizeof message - 1) < 0)
            abort();
        abort();
    }
    return (int)realSyscall(SYS_kill, pid, signalNumber, 0, 0, 0, 0, 0);
}
