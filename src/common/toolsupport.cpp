// SPDX-License-Identifier: MIT
#include "toolsupport.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#ifndef _WIN32
#include <unistd.h>
#endif

void keep_std_descriptors(void)
{
#ifndef _WIN32
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        /* The lowest free descriptor is fd itself: those below it are open. */
        if (open("/dev/null", O_RDONLY) != fd)
            _exit(1); /* no /dev/null: better nothing than a borrowed stream */
    }
#endif
}

#ifndef _WIN32
/*
 * Run from the program's preinit array: before the initialisers of the
 * shared libraries, which may already open files of their own.
 */
__attribute__((section(".preinit_array"), used)) static void (*const keep_std_descriptors_at_start)(
    void) = keep_std_descriptors;
#endif

void write_error(const char *tool, int err)
{
    if (err != 0)
        fprintf(stderr, "%s: write error: %s\n", tool, strerror(err));
    else
        fprintf(stderr, "%s: write error\n", tool);
    fflush(stderr);
}

int flush_stdout(const char *tool)
{
    /* A buffer that failed earlier keeps its error flag but may have lost errno. */
    errno = 0;
    if (fflush(stdout) == 0 && !ferror(stdout))
        return 0;
    write_error(tool, errno);
    return -1;
}

#ifndef _WIN32
int write_all(int fd, const char *buf, size_t n)
{
    while (n > 0) {
        ssize_t done = write(fd, buf, n);
        if (done < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        buf += done;
        n -= (size_t)done;
    }
    return 0;
}

struct timespec deadline_in(long ms)
{
    struct timespec t;

    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += ms / 1000;
    t.tv_nsec += (ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec++;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

void sleep_until(const struct timespec *deadline)
{
    /* Against the deadline, not for a duration: a caught signal costs nothing. */
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, deadline, NULL) == EINTR) {
    }
}
#endif
