// Preloaded into every test process of the ThreadSanitizer build (and the programs they start).
//
// Qt starts child processes with clone(CLONE_VM | CLONE_VFORK): the child runs on the parent's
// memory until it calls exec. ThreadSanitizer cannot follow that: what the child does through its
// interceptors lands in the parent's shadow state, after which it no longer sees the parent's
// locks and reports races that are not there. This clone turns such a start into a plain fork,
// which ThreadSanitizer knows; every other clone goes through unchanged. The child's work is the
// same either way (it reports back through a pipe), so the programs behave as they do without it.
//
// Built without a sanitizer, and only for the ThreadSanitizer build.

#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <sched.h>
#include <stdarg.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#ifndef CLONE_PIDFD
#define CLONE_PIDFD 0x00001000
#endif

typedef int (*CloneFunction)(int (*)(void *), void *, int, void *, ...);

int clone(int (*fn)(void *), void *stack, int flags, void *arg, ...)
{
    va_list rest;
    va_start(rest, arg);
    pid_t *parentTid = va_arg(rest, pid_t *);
    void *tls = va_arg(rest, void *);
    pid_t *childTid = va_arg(rest, pid_t *);
    va_end(rest);

    const int vforkLike = CLONE_VM | CLONE_VFORK;
    if ((flags & vforkLike) == vforkLike && !(flags & CLONE_THREAD)) {
        const pid_t pid = fork();
        if (pid == 0)
            _exit(fn(arg));
        if (pid < 0)
            return -1;
        if (flags & CLONE_PIDFD) {
            // The descriptor clone would have stored where the parent's thread id goes.
            const int pidfd = (int)syscall(SYS_pidfd_open, pid, 0);
            if (pidfd < 0)
                return -1;
            *(int *)parentTid = pidfd;
        }
        return pid;
    }

    static CloneFunction next;
    if (!next)
        next = (CloneFunction)dlsym(RTLD_NEXT, "clone");
    if (!next) {
        errno = ENOSYS;
        return -1;
    }
    return next(fn, stack, flags, arg, parentTid, tls, childTid);
}
