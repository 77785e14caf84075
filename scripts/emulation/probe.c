/* Run by scripts/emulate.sh under the emulator before the program it was asked for, inside
 * the sandbox: an ARM program started there must be in a PID namespace other than the one
 * named by the argument, see the sandbox's init as process 1, and be told that pidfds do
 * not work (the preloaded shim). Silent when all holds; exit status 1 otherwise. */
#define _GNU_SOURCE
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

int main(int argc, char** argv)
{
    char ns[64] = {0};
    if (argc != 2 || readlink("/proc/self/ns/pid", ns, sizeof ns - 1) <= 0) {
        fprintf(stderr, "probe: usage: probe OUTER-PID-NAMESPACE\n");
        return 1;
    }
    if (strcmp(ns, argv[1]) == 0) {
        fprintf(stderr, "probe: still in the outer PID namespace %s\n", ns);
        return 1;
    }
    if (getpid() <= 1 || getppid() != 1 || kill(1, 0) != 0) {
        fprintf(stderr, "probe: process %d under %d does not see the sandbox's init\n",
                (int)getpid(), (int)getppid());
        return 1;
    }
    errno = 0;
    if (syscall(SYS_waitid, P_PIDFD, INT_MAX, NULL, WEXITED | WNOHANG, NULL) >= 0
        || errno == EBADF) {
        fprintf(stderr, "probe: pidfds look usable: the shim is not preloaded\n");
        return 1;
    }
    return 0;
}
