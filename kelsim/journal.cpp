// SPDX-License-Identifier: MIT
// The stand-in runtime's journal: one record per library call.
#include "kelsim.h"

#include "textcodec.h"

#include <stdio.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#endif

namespace kelsim
{

std::string to_kel(const std::string &raw)
{
    int n = raw_text_to_kel(nullptr, raw.c_str(), 0);
    if (n < 0)
        return std::string();
    std::string kel((size_t)n + 1, '\0');
    raw_text_to_kel(&kel[0], raw.c_str(), n);
    kel.resize((size_t)n);
    return kel;
}

std::string quoted(const char *s)
{
    return '"' + to_kel(s) + '"';
}

std::string number(long n)
{
    return std::to_string(n);
}

std::string named(const std::string &s)
{
    for (unsigned char c : s) {
        if (c < 0x20 || c > 0x7e || c == '"' || c == '\\')
            return quoted(s.c_str());
    }
    return s;
}

static std::string timestamp()
{
    char text[32];
#ifdef _WIN32
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    long long ns = (long long)((double)count.QuadPart * 1e9 / (double)frequency.QuadPart);
    snprintf(text, sizeof text, "%lld.%09lld", ns / 1000000000, ns % 1000000000);
#else
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    snprintf(text, sizeof text, "%lld.%09ld", (long long)now.tv_sec, now.tv_nsec);
#endif
    return text;
}

void journal(const char *call, const std::vector<std::string> &fields)
{
    std::string record = timestamp() + " " + call;
    for (const std::string &f : fields)
        record += " " + f;
    record += "\n";

    folder root;
    if (!open_root(state_dir(), false, &root))
        return;
    append_file(root, "journal", record);
    close_folder(&root);
}

} // namespace kelsim
