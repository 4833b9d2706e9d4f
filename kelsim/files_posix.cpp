// SPDX-License-Identifier: MIT
// The stand-in runtime's file handling on POSIX.  Every file is reached
// through the descriptor of a folder that was checked once (a real folder,
// owned by this user, writable by no one else), opened without following
// symlinks, and refused unless it is a regular file; nothing is ever read
// from or written to a FIFO or device, and nothing waits on one.  Whole
// files are replaced through a temporary file of a name of their own and
// an atomic rename, and the state is locked with flock(2).
#include "kelsim.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>

namespace kelsim
{

// The checks that every folder of the state passes, on its open descriptor.
static bool check_folder(int fd, const std::string &path)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return fail_errno(path);
    if (!S_ISDIR(st.st_mode))
        return fail(path, "not a folder");
    if (st.st_uid != geteuid())
        return fail(path, "owned by another user (uid " + std::to_string(st.st_uid) + ")");
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return fail(path, "writable by group or others; chmod go-w it or use another folder");
    return true;
}

// Why a path cannot be opened as a folder, checked without following it.
static bool refuse_folder(int at, const std::string &name, const std::string &path)
{
    struct stat st;
    if (fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(st.st_mode))
            return fail(path, "a symbolic link, not a folder; refused");
        if (!S_ISDIR(st.st_mode))
            return fail(path, "not a folder");
    }
    return fail_errno(path);
}

static lookup open_folder_at(int at, const std::string &name, const std::string &path,
                             bool create, folder *f)
{
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = openat(at, name.c_str(), flags);
    if (fd < 0 && errno == ENOENT && create) {
        if (mkdirat(at, name.c_str(), 0700) != 0 && errno != EEXIST) {
            fail_errno(path);
            return lookup::failed;
        }
        fd = openat(at, name.c_str(), flags);
    }
    if (fd < 0) {
        if (errno == ENOENT && !create)
            return lookup::absent;
        refuse_folder(at, name, path);
        return lookup::failed;
    }
    if (!check_folder(fd, path)) {
        close(fd);
        return lookup::failed;
    }
    f->fd = fd;
    f->path = path;
    return lookup::found;
}

std::string resolve_path(const std::string &written)
{
    std::string path = written;
    if (path.empty() || path[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr)
            return written; // no way to make it absolute: used as written
        path = std::string(cwd) + "/" + path;
    }

    // Its components, without the empty ones and ".".
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos)
            slash = path.size();
        std::string part = path.substr(start, slash - start);
        if (!part.empty() && part != ".")
            parts.push_back(part);
        start = slash + 1;
    }

    // Everything up to the last ".." as the kernel resolves it, so that
    // ".." leaves the folder a symlink leads to, as it does when opened.
    std::string resolved;
    size_t rest = 0;
    for (size_t i = parts.size(); i-- > 0;) {
        if (parts[i] != "..")
            continue;
        std::string prefix;
        for (size_t k = 0; k <= i; k++)
            prefix += "/" + parts[k];
        char real[PATH_MAX];
        if (realpath(prefix.c_str(), real) == nullptr) {
            resolved = prefix; // a folder on the way is missing: opening fails later
        } else {
            resolved = real;
            if (resolved == "/")
                resolved.clear();
        }
        rest = i + 1;
        break;
    }
    for (size_t k = rest; k < parts.size(); k++)
        resolved += "/" + parts[k];
    return resolved.empty() ? "/" : resolved;
}

/*
 * A library opens the state folder on every call, and a process uses one
 * folder: once it has been refused, later opens fail at once, so that one
 * line says why.  This is the one thing the file handling remembers.
 */
static std::atomic<bool> root_refused(false);

bool open_root(const std::string &path, bool create, folder *f)
{
    if (root_refused.load()) {
        errno = EACCES;
        return false;
    }
    lookup opened = open_folder_at(AT_FDCWD, path, path, create, f);
    if (opened == lookup::found)
        return true;
    if (opened == lookup::absent)
        fail(path, "the state folder does not exist (run kelsim init)");
    root_refused.store(true);
    return false;
}

lookup open_subfolder(const folder &parent, const char *name, bool create, folder *sub)
{
    return open_folder_at(parent.fd, name, join(parent.path, name), create, sub);
}

void close_folder(folder *f)
{
    if (f->fd >= 0)
        close(f->fd);
    f->fd = -1;
}

// Opens a file of a folder that must be a regular file, without following
// a symlink and without waiting on a FIFO.
// -1 with *opened absent or failed when there is no such file to use.
static int open_regular(const folder &f, const std::string &name, int flags, lookup *opened)
{
    std::string path = join(f.path, name);
    *opened = lookup::failed;
    int fd = openat(f.fd, name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == ENOENT) {
            *opened = lookup::absent;
            return -1;
        }
        if (errno == ELOOP)
            fail(path, "a symbolic link; refused");
        else if (errno == ENXIO)
            fail(path, "not a regular file (a FIFO or socket); refused");
        else
            fail_errno(path);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        fail(path, "not a regular file; refused");
        close(fd);
        return -1;
    }
    *opened = lookup::found;
    return fd;
}

lookup read_file(const folder &f, const std::string &name, std::string *text)
{
    lookup opened;
    int fd = open_regular(f, name, O_RDONLY, &opened);
    if (fd < 0)
        return opened;
    text->clear();
    char buf[65536];
    ssize_t got;
    while ((got = read(fd, buf, sizeof buf)) != 0) {
        if (got < 0) {
            if (errno == EINTR)
                continue;
            fail_errno(join(f.path, name));
            close(fd);
            return lookup::failed;
        }
        text->append(buf, (size_t)got);
    }
    close(fd);
    return lookup::found;
}

static bool write_all(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t put = write(fd, text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        done += (size_t)put;
    }
    return true;
}

bool write_file(const folder &f, const std::string &name, const std::string &text)
{
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; attempt++) {
        tmp = temporary_name();
        fd = openat(f.fd, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            return fail_errno(join(f.path, tmp));
    }
    if (fd < 0)
        return fail(join(f.path, tmp), "no unused temporary name");
    bool ok = write_all(fd, text);
    ok = close(fd) == 0 && ok;
    if (ok && renameat(f.fd, tmp.c_str(), f.fd, name.c_str()) == 0)
        return true;
    int saved = errno;
    unlinkat(f.fd, tmp.c_str(), 0);
    errno = saved;
    return fail_errno(join(f.path, name));
}

lookup remove_file(const folder &f, const std::string &name)
{
    if (unlinkat(f.fd, name.c_str(), 0) == 0)
        return lookup::found;
    if (errno == ENOENT)
        return lookup::absent;
    fail_errno(join(f.path, name));
    return lookup::failed;
}

bool append_file(const folder &f, const std::string &name, const std::string &text)
{
    lookup opened;
    int fd = open_regular(f, name, O_WRONLY | O_APPEND | O_CREAT, &opened);
    if (fd < 0)
        return false;
    // One write keeps a record whole; appends to a regular file are not split.
    bool ok = write_all(fd, text);
    if (!ok)
        fail_errno(join(f.path, name));
    close(fd);
    return ok;
}

int open_for_append(const folder &f, const std::string &name)
{
    lookup opened;
    return open_regular(f, name, O_WRONLY | O_APPEND | O_CREAT, &opened);
}

bool list_files(const folder &f, std::vector<std::string> *names)
{
    int fd = openat(f.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *d = fd < 0 ? nullptr : fdopendir(fd);
    if (d == nullptr) {
        if (fd >= 0)
            close(fd);
        return fail_errno(f.path);
    }
    names->clear();
    while (struct dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names->push_back(e->d_name);
    }
    closedir(d);
    return true;
}

bool lock_state(const folder &root, bool exclusive, state_lock *l)
{
    lookup opened;
    int fd = open_regular(root, "lock", O_RDWR | O_CREAT, &opened);
    if (fd < 0)
        return false;
    while (flock(fd, exclusive ? LOCK_EX : LOCK_SH) != 0) {
        if (errno != EINTR) {
            fail_errno(join(root.path, "lock"));
            close(fd);
            return false;
        }
    }
    l->fd = fd;
    return true;
}

void unlock_state(state_lock *l)
{
    if (l->fd >= 0)
        close(l->fd); // closing the only descriptor releases the lock
    l->fd = -1;
}

} // namespace kelsim
