// SPDX-License-Identifier: MIT
// Captures what a piece of code writes to standard output, through the C
// stream and the file descriptor alike, so that the codec's messages can be
// compared byte for byte.
#ifndef STDOUT_CAPTURE_H
#define STDOUT_CAPTURE_H

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

// Everything in the file behind fd, from its start.
inline std::string read_whole_file(int fd)
{
    std::string text;
    char buf[65536];
    ssize_t got;
    lseek(fd, 0, SEEK_SET);
    while ((got = read(fd, buf, sizeof buf)) > 0)
        text.append(buf, (size_t)got);
    return text;
}

template <class F> std::string capture_stdout(F &&f)
{
    char path[] = "/tmp/keltools-stdout-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        abort();
    unlink(path);
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    f();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);

    std::string text = read_whole_file(fd);
    close(fd);
    return text;
}

#endif
