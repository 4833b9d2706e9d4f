// SPDX-License-Identifier: MIT
// The stand-in runtime's file handling.  On POSIX every file is reached
// through the descriptor of a folder that was checked once (a real folder,
// owned by this user, writable by no one else), opened without following
// symlinks, and refused unless it is a regular file; nothing is ever read
// from or written to a FIFO or device, and nothing waits on one.  Whole
// files are replaced through a temporary file of a name of their own and
// an atomic rename.
#include "kelsim.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#include <windows.h>
#else
#include <dirent.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace kelsim
{

bool fail(const std::string &what, const std::string &why)
{
    std::string line = "kelsim: " + what + ": " + why + "\n";
    fputs(line.c_str(), stderr);
    return false;
}

static bool fail_errno(const std::string &what)
{
    return fail(what, strerror(errno));
}

// A name for a temporary file that no stored name, no other temporary file
// of this process and, with O_EXCL, no other process's can take.
static std::string temporary_name()
{
    static std::atomic<unsigned> counter(0);
    char name[64];
#ifdef _WIN32
    snprintf(name, sizeof name, ".tmp-%lu-%u", (unsigned long)GetCurrentProcessId(), counter++);
#else
    snprintf(name, sizeof name, ".tmp-%ld-%u", (long)getpid(), counter++);
#endif
    return name;
}

std::string join(const std::string &folder_path, const std::string &name)
{
    return folder_path + "/" + name;
}

#ifndef _WIN32

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

static bool open_folder_at(int at, const std::string &name, const std::string &path, bool create,
                           folder *f, bool *absent)
{
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    *absent = false;
    int fd = openat(at, name.c_str(), flags);
    if (fd < 0 && errno == ENOENT && create) {
        if (mkdirat(at, name.c_str(), 0700) != 0 && errno != EEXIST)
            return fail_errno(path);
        fd = openat(at, name.c_str(), flags);
    }
    if (fd < 0) {
        if (errno == ENOENT && !create) {
            *absent = true;
            return false;
        }
        return refuse_folder(at, name, path);
    }
    if (!check_folder(fd, path)) {
        close(fd);
        return false;
    }
    f->fd = fd;
    f->path = path;
    return true;
}

bool open_root(const std::string &path, bool create, folder *f)
{
    // A library call opens the folder more than once, and a process uses
    // one folder: say once why it is refused.
    static std::atomic<bool> refused(false);
    bool absent;
    if (refused.load()) {
        errno = EACCES;
        return false;
    }
    if (open_folder_at(AT_FDCWD, path, path, create, f, &absent))
        return true;
    if (absent)
        fail(path, "the state folder does not exist (run kelsim init)");
    refused.store(true);
    return false;
}

bool open_subfolder(const folder &parent, const char *name, bool create, folder *sub, bool *absent)
{
    return open_folder_at(parent.fd, name, join(parent.path, name), create, sub, absent);
}

void close_folder(folder *f)
{
    if (f->fd >= 0)
        close(f->fd);
    f->fd = -1;
}

// Opens a file of a folder that must be a regular file, without following
// a symlink and without waiting on a FIFO.
static int open_regular(const folder &f, const std::string &name, int flags, bool *absent)
{
    std::string path = join(f.path, name);
    *absent = false;
    int fd = openat(f.fd, name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == ENOENT) {
            *absent = true;
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
    return fd;
}

bool read_file(const folder &f, const std::string &name, std::string *text, bool *absent)
{
    int fd = open_regular(f, name, O_RDONLY, absent);
    if (fd < 0)
        return false;
    text->clear();
    char buf[65536];
    ssize_t got;
    while ((got = read(fd, buf, sizeof buf)) != 0) {
        if (got < 0) {
            if (errno == EINTR)
                continue;
            fail_errno(join(f.path, name));
            close(fd);
            return false;
        }
        text->append(buf, (size_t)got);
    }
    close(fd);
    return true;
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

bool remove_file(const folder &f, const std::string &name, bool *absent)
{
    *absent = false;
    if (unlinkat(f.fd, name.c_str(), 0) == 0)
        return true;
    if (errno == ENOENT) {
        *absent = true;
        return false;
    }
    return fail_errno(join(f.path, name));
}

bool append_file(const folder &f, const std::string &name, const std::string &text)
{
    bool absent;
    int fd = open_regular(f, name, O_WRONLY | O_APPEND | O_CREAT, &absent);
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
    bool absent;
    return open_regular(f, name, O_WRONLY | O_APPEND | O_CREAT, &absent);
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
    bool absent;
    int fd = open_regular(root, "lock", O_RDWR | O_CREAT, &absent);
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

#else // _WIN32: the stand-in DLL, reached by path; the folder is the user's own.

static bool is_folder(const std::string &path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

static bool open_folder(const std::string &path, bool create, folder *f, bool *absent)
{
    *absent = false;
    if (!is_folder(path)) {
        if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES)
            return fail(path, "not a folder");
        if (!create) {
            *absent = true;
            return false;
        }
        if (_mkdir(path.c_str()) != 0 && errno != EEXIST)
            return fail_errno(path);
    }
    f->path = path;
    return true;
}

bool open_root(const std::string &path, bool create, folder *f)
{
    bool absent;
    if (open_folder(path, create, f, &absent))
        return true;
    if (absent)
        fail(path, "the state folder does not exist (run kelsim init)");
    return false;
}

bool open_subfolder(const folder &parent, const char *name, bool create, folder *sub, bool *absent)
{
    return open_folder(join(parent.path, name), create, sub, absent);
}

void close_folder(folder *)
{
}

static int open_regular(const folder &f, const std::string &name, int flags, bool *absent)
{
    std::string path = join(f.path, name);
    *absent = false;
    int fd = _open(path.c_str(), flags | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0) {
        if (errno == ENOENT)
            *absent = true;
        else
            fail_errno(path);
        return -1;
    }
    struct _stat st;
    if (_fstat(fd, &st) != 0 || (st.st_mode & _S_IFREG) == 0) {
        fail(path, "not a regular file; refused");
        _close(fd);
        return -1;
    }
    return fd;
}

bool read_file(const folder &f, const std::string &name, std::string *text, bool *absent)
{
    int fd = open_regular(f, name, _O_RDONLY, absent);
    if (fd < 0)
        return false;
    text->clear();
    char buf[65536];
    int got;
    while ((got = _read(fd, buf, sizeof buf)) > 0)
        text->append(buf, (size_t)got);
    _close(fd);
    return got == 0 || fail_errno(join(f.path, name));
}

bool write_file(const folder &f, const std::string &name, const std::string &text)
{
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; attempt++) {
        tmp = join(f.path, temporary_name());
        fd = _open(tmp.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (fd < 0 && errno != EEXIST)
            return fail_errno(tmp);
    }
    if (fd < 0)
        return fail(tmp, "no unused temporary name");
    bool ok = _write(fd, text.data(), (unsigned)text.size()) == (int)text.size();
    ok = _close(fd) == 0 && ok;
    std::string path = join(f.path, name);
    if (ok && MoveFileExA(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING))
        return true;
    _unlink(tmp.c_str());
    return fail(path, "cannot be written");
}

bool remove_file(const folder &f, const std::string &name, bool *absent)
{
    std::string path = join(f.path, name);
    *absent = false;
    if (_unlink(path.c_str()) == 0)
        return true;
    if (errno == ENOENT) {
        *absent = true;
        return false;
    }
    return fail_errno(path);
}

bool append_file(const folder &f, const std::string &name, const std::string &text)
{
    bool absent;
    int fd = open_regular(f, name, _O_WRONLY | _O_APPEND | _O_CREAT, &absent);
    if (fd < 0)
        return false;
    bool ok = _write(fd, text.data(), (unsigned)text.size()) == (int)text.size();
    _close(fd);
    return ok || fail_errno(join(f.path, name));
}

bool list_files(const folder &f, std::vector<std::string> *names)
{
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA(join(f.path, "*").c_str(), &found);
    names->clear();
    if (h == INVALID_HANDLE_VALUE)
        return true;
    do {
        if (strcmp(found.cFileName, ".") != 0 && strcmp(found.cFileName, "..") != 0)
            names->push_back(found.cFileName);
    } while (FindNextFileA(h, &found));
    FindClose(h);
    return true;
}

bool lock_state(const folder &root, bool exclusive, state_lock *l)
{
    std::string path = join(root.path, "lock");
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return fail(path, "cannot be opened");
    OVERLAPPED whole = {};
    if (!LockFileEx(h, exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0, 0, 1, 0, &whole)) {
        CloseHandle(h);
        return fail(path, "cannot be locked");
    }
    l->handle = h;
    return true;
}

void unlock_state(state_lock *l)
{
    if (l->handle != nullptr)
        CloseHandle((HANDLE)l->handle); // closing the handle releases the lock
    l->handle = nullptr;
}

#endif

} // namespace kelsim
