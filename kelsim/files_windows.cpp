// SPDX-License-Identifier: MIT
// The stand-in runtime's file handling in the Windows DLL: files reached by
// path in the user's own folder, whole files replaced through a temporary
// file and MoveFileEx, the state locked with LockFileEx.
#include "kelsim.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <direct.h>
#include <io.h>
#include <windows.h>

namespace kelsim
{

// The Windows DLL takes the path as written: its folder lies in the user's own TEMP.
std::string resolve_path(const std::string &written)
{
    return written;
}

static bool is_folder(const std::string &path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

static lookup open_folder(const std::string &path, bool create, folder *f)
{
    if (!is_folder(path)) {
        if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
            fail(path, "not a folder");
            return lookup::failed;
        }
        if (!create)
            return lookup::absent;
        if (_mkdir(path.c_str()) != 0 && errno != EEXIST) {
            fail_errno(path);
            return lookup::failed;
        }
    }
    f->path = path;
    return lookup::found;
}

bool open_root(const std::string &path, bool create, folder *f)
{
    lookup opened = open_folder(path, create, f);
    if (opened == lookup::absent)
        fail(path, "the state folder does not exist (run kelsim init)");
    return opened == lookup::found;
}

lookup open_subfolder(const folder &parent, const char *name, bool create, folder *sub)
{
    return open_folder(join(parent.path, name), create, sub);
}

void close_folder(folder *)
{
}

// -1 with *opened absent or failed when there is no such file to use.
static int open_regular(const folder &f, const std::string &name, int flags, lookup *opened)
{
    std::string path = join(f.path, name);
    *opened = lookup::failed;
    int fd = _open(path.c_str(), flags | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0) {
        if (errno == ENOENT)
            *opened = lookup::absent;
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
    *opened = lookup::found;
    return fd;
}

lookup read_file(const folder &f, const std::string &name, std::string *text)
{
    lookup opened;
    int fd = open_regular(f, name, _O_RDONLY, &opened);
    if (fd < 0)
        return opened;
    text->clear();
    char buf[65536];
    int got;
    while ((got = _read(fd, buf, sizeof buf)) > 0)
        text->append(buf, (size_t)got);
    _close(fd);
    if (got == 0)
        return lookup::found;
    fail_errno(join(f.path, name));
    return lookup::failed;
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

lookup remove_file(const folder &f, const std::string &name)
{
    std::string path = join(f.path, name);
    if (_unlink(path.c_str()) == 0)
        return lookup::found;
    if (errno == ENOENT)
        return lookup::absent;
    fail_errno(path);
    return lookup::failed;
}

bool append_file(const folder &f, const std::string &name, const std::string &text)
{
    lookup opened;
    int fd = open_regular(f, name, _O_WRONLY | _O_APPEND | _O_CREAT, &opened);
    if (fd < 0)
        return false;
    bool ok = _write(fd, text.data(), (unsigned)text.size()) == (int)text.size();
    _close(fd);
    return ok || fail_errno(join(f.path, name));
}

int open_for_append(const folder &f, const std::string &name)
{
    lookup opened;
    return open_regular(f, name, _O_WRONLY | _O_APPEND | _O_CREAT, &opened);
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

} // namespace kelsim
