// SPDX-License-Identifier: MIT
// What the two halves of the stand-in's file handling share: how a failure
// is said, and how files are named.  The POSIX half is files_posix.cpp, the
// Windows half files_windows.cpp.
#include "kelsim.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <atomic>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace kelsim
{

bool fail(const std::string &what, const std::string &why)
{
    std::string line = "kelsim: " + named(what) + ": " + why + "\n";
    fputs(line.c_str(), stderr);
    return false;
}

bool fail_errno(const std::string &what)
{
    return fail(what, strerror(errno));
}

std::string temporary_name()
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

} // namespace kelsim
