// SPDX-License-Identifier: MIT
/*
 * What every tool needs beside its one request: standard descriptors that
 * no library can take over, output that is known to have arrived, and
 * waits that signals neither shorten nor stretch.
 */
#ifndef TOOLSUPPORT_H
#define TOOLSUPPORT_H

#include <stddef.h>
#include <time.h>

/*
 * Opens /dev/null on any of descriptors 0, 1 and 2 that is closed.  Every
 * tool runs this before any library is loaded, so a file that a library
 * opens never becomes a standard stream.  The descriptors are opened
 * read-only: a write to a standard stream that was closed still fails,
 * with EBADF, as it would have.
 */
void keep_std_descriptors(void);

/*
 * Flushes standard output.  Returns 0 when everything written to it has
 * arrived; otherwise says "<tool>: write error: <reason>" on standard
 * error, the one place left, and returns -1.
 */
int flush_stdout(const char *tool);

/* Says "<tool>: write error: <reason of err>" on standard error. */
void write_error(const char *tool, int err);

#ifndef _WIN32
/* Writes all n bytes to fd, resuming after signals; 0, or -1 with errno set. */
int write_all(int fd, const char *buf, size_t n);

/* The monotonic clock's time ms milliseconds from now. */
struct timespec deadline_in(long ms);

/* Sleeps until the monotonic clock reaches the deadline, whatever signals come. */
void sleep_until(const struct timespec *deadline);
#endif

#endif
