// The stand-in runtime's state directory, name encoding and journal.
#include "kelsim.h"

#include "textcodec.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <pthread.h>
#include <time.h>
#include <unistd.h>
#endif

namespace kelsim
{

std::string state_dir()
{
    const char *dir = getenv("KELSIM_DIR");
    if (dir != nullptr && dir[0] != '\0')
        return dir;
    const char *tmp = getenv("TMPDIR");
    return std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/kelsim";
}

std::string encode(const std::string &raw)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string encoded;
    for (unsigned char c : raw) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '.' || c == '_' || c == '-') {
            encoded += (char)c;
        } else {
            encoded += '%';
            encoded += hex[c >> 4];
            encoded += hex[c & 0xf];
        }
    }
    return encoded;
}

std::string decode(const std::string &encoded)
{
    std::string raw;
    for (size_t i = 0; i < encoded.size(); i++) {
        if (encoded[i] == '%' && i + 2 < encoded.size()) {
            raw += (char)strtol(encoded.substr(i + 1, 2).c_str(), nullptr, 16);
            i += 2;
        } else {
            raw += encoded[i];
        }
    }
    return raw;
}

std::string name_path(const char *folder, const std::string &name)
{
    return state_dir() + "/" + folder + "/@" + encode(name);
}

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

    std::string path = state_dir() + "/journal";
#ifdef _WIN32
    int fd = _open(path.c_str(), _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY, 0644);
    if (fd < 0)
        return;
    _write(fd, record.data(), (unsigned int)record.size());
    _close(fd);
#else
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    // One write keeps the record whole; an append to a regular file is not split.
    if (write(fd, record.data(), record.size()) < 0)
        perror("kelsim: journal");
    close(fd);
#endif
}

bool read_file(const std::string &path, std::string *text)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return false;
    text->clear();
    char buf[4096];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, f)) > 0)
        text->append(buf, got);
    fclose(f);
    return true;
}

bool write_file(const std::string &path, const std::string &text)
{
    std::string tmp = path + ".new";
    FILE *f = fopen(tmp.c_str(), "wb");
    if (f == nullptr)
        return false;
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = fclose(f) == 0 && ok;
    return ok && rename(tmp.c_str(), path.c_str()) == 0;
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
