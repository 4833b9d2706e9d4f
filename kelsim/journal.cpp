// SPDX-License-Identifier: MIT
// The stand-in runtime's journal, and the threads that deliver callbacks.
#include "kelsim.h"

#include "textcodec.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <time.h>
#include <unistd.h>
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

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

namespace
{
struct thread_start {
    void (*fn)(void *);
    void *arg;
};
} // namespace

#ifdef _WIN32
static DWORD WINAPI run_thread(LPVOID p)
{
    thread_start start = *(thread_start *)p;
    delete (thread_start *)p;
    start.fn(start.arg);
    return 0;
}

void start_thread(void (*fn)(void *), void *arg)
{
    HANDLE h = CreateThread(nullptr, 0, run_thread, new thread_start{fn, arg}, 0, nullptr);
    if (h != nullptr)
        CloseHandle(h);
}

void sleep_ms(int ms)
{
    Sleep((DWORD)ms);
}
#else
static void *run_thread(void *p)
{
    thread_start start = *(thread_start *)p;
    delete (thread_start *)p;
    start.fn(start.arg);
    return nullptr;
}

void start_thread(void (*fn)(void *), void *arg)
{
    pthread_t thread;
    auto *start = new thread_start{fn, arg};
    if (pthread_create(&thread, nullptr, run_thread, start) == 0)
        pthread_detach(thread);
    else
        delete start;
}

void sleep_ms(int ms)
{
    struct timespec t = {ms / 1000, (long)(ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}
#endif

} // namespace kelsim
