// SPDX-License-Identifier: MIT
// The stand-in runtime's delays, and the faults that it stages on request, so that tools and
// operators' scripts can be tried against a library that misbehaves.
// $KELSIM_FAULTS holds a list of faults separated by commas or blanks:
//
//   callback-never        a booking is never called back
//   callback-twice        a booking is called back twice, 50 ms apart,
//                         from two threads
//   callback-concurrent   ... twice at the same moment, from two threads
//   callback-inside       ... on the caller's thread, inside the booking
//   callback-after=MS     ... after MS milliseconds (as $KELSIM_CALLBACK_MS)
//   endless-set           a set's names are served round and round, never
//                         an end
//   unterminated-names    each name fills all 32 bytes of the buffer, no
//                         NUL: cut, or padded with '.'
//   block=CALL            CALL (kelui_kill, ..., ZunClient::sendCommand)
//                         never returns; block=CALL:MS returns after MS
//   heartbeat=MS          SIGALRM every MS milliseconds from load on,
//                         caught without SA_RESTART, so that it cuts
//                         sleeps and slow calls short
//   file-at-load          opens <state>/library.log at load and keeps it
//                         open: it takes the lowest free descriptor
//   block-at-exit         a destructor of the library that never returns
//
// An item that is none of these, or one that the Windows DLL cannot stage
// (heartbeat), is reported on standard error, once per process, as the
// library that stages the faults of loading is loaded; so is a number of
// milliseconds in $KELSIM_CALLBACK_MS or $KELSIM_OBJECT_MS that is not one
// from 0 to 24 hours, for which the default is used.
#include "kelsim.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <string>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>
#endif

namespace kelsim
{

#ifdef _WIN32
void sleep_ms(int ms)
{
    Sleep((DWORD)ms);
}
#else
void sleep_ms(int ms)
{
    struct timespec t = {ms / 1000, (long)(ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}
#endif

// The most milliseconds that a delay or a fault takes: a day.
const long MAX_MS = 24L * 3600 * 1000;

// A number of milliseconds, digits only, from 0 to MAX_MS.
static bool parse_ms(const char *text, int *ms)
{
    long n = 0;
    if (*text == '\0')
        return false;
    for (; *text != '\0'; text++) {
        if (*text < '0' || *text > '9')
            return false;
        n = n * 10 + (*text - '0');
        if (n > MAX_MS)
            return false;
    }
    *ms = (int)n;
    return true;
}

static bool number_after(const std::string &item, size_t at, int *ms)
{
    return parse_ms(item.c_str() + at, ms);
}

// A delay from the environment into *ms; unset or empty keeps the default.
static void read_delay(const char *variable, int *ms, faults *f)
{
    const char *text = getenv(variable);
    if (text == nullptr || text[0] == '\0' || parse_ms(text, ms))
        return;
    f->refused.emplace_back(variable, "not a number of milliseconds from 0 to " + std::to_string(MAX_MS) +
                                          ": " + quoted(text) + "; the default " + std::to_string(*ms) +
                                          " is used");
}

static bool parse_item(const std::string &item, faults *f)
{
    static const struct {
        const char *name;
        callback_fault mode;
    } callbacks[] = {{"callback-never", callback_fault::never},
                     {"callback-twice", callback_fault::twice},
                     {"callback-concurrent", callback_fault::concurrent},
                     {"callback-inside", callback_fault::inside}};
    for (const auto &c : callbacks) {
        if (item == c.name) {
            f->callback = c.mode;
            return true;
        }
    }
    if (item.rfind("callback-after=", 0) == 0)
        return number_after(item, strlen("callback-after="), &f->callback_ms);
    static const struct {
        const char *name;
        bool faults::*flag;
    } flags[] = {{"endless-set", &faults::endless_set},
                 {"unterminated-names", &faults::unterminated_names},
                 {"file-at-load", &faults::file_at_load},
                 {"block-at-exit", &faults::block_at_exit}};
    for (const auto &fl : flags) {
        if (item == fl.name) {
            f->*fl.flag = true;
            return true;
        }
    }
    if (item.rfind("heartbeat=", 0) == 0)
        return number_after(item, strlen("heartbeat="), &f->heartbeat_ms) && f->heartbeat_ms > 0;
    if (item.rfind("block=", 0) == 0) {
        // CALL:MS, CALL alone for ever; the call's own colons stay its own.
        std::string call = item.substr(strlen("block="));
        int ms = -1;
        size_t colon = call.rfind(':');
        if (colon != std::string::npos && number_after(call, colon + 1, &ms))
            call.erase(colon);
        if (call.empty())
            return false;
        f->blocks.emplace_back(call, ms);
        return true;
    }
    return false;
}

static faults parse_faults()
{
    faults f;
    read_delay("KELSIM_CALLBACK_MS", &f.callback_ms, &f);
    read_delay("KELSIM_OBJECT_MS", &f.object_ms, &f);
    const char *text = getenv("KELSIM_FAULTS");
    std::string list = text != nullptr ? text : "";
    size_t start = 0;
    while (start < list.size()) {
        size_t end = list.find_first_of(", \t\n", start);
        if (end == std::string::npos)
            end = list.size();
        std::string item = list.substr(start, end - start);
        if (!item.empty() && !parse_item(item, &f))
            f.refused.emplace_back("KELSIM_FAULTS", "not a fault: " + quoted(item.c_str()) + "; ignored");
#ifdef _WIN32
        // Windows has no SIGALRM to beat with.
        if (item.rfind("heartbeat=", 0) == 0 && f.heartbeat_ms > 0) {
            f.heartbeat_ms = 0;
            f.refused.emplace_back("KELSIM_FAULTS",
                                   "not staged on Windows: " + quoted(item.c_str()) + "; ignored");
        }
#endif
        start = end + 1;
    }
    return f;
}

const faults &staged_faults()
{
    static const faults f = parse_faults();
    return f;
}

void block_if_staged(const char *call)
{
    for (const auto &b : staged_faults().blocks) {
        if (b.first != call)
            continue;
        if (b.second >= 0) {
            sleep_ms(b.second);
            return;
        }
        for (;;)
            sleep_ms(3600 * 1000);
    }
}

bool journal_looping(const char *call, int id)
{
    const long JOURNALLED = 1000;
    static std::atomic<long> calls(0);
    static std::atomic<long long> next_summary_ns(0);
    long n = ++calls;
    if (n <= JOURNALLED)
        return true;
    long long now = (long long)std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count();
    long long due = next_summary_ns.load();
    if (now >= due && next_summary_ns.compare_exchange_strong(due, now + 1000000000LL))
        journal("journal-thinned", {quoted(call), number(id), number(n)});
    return false;
}

#ifndef _WIN32
static void heartbeat(int)
{
}
#endif

// Kept open until the process ends, as a library's own log would be.
static int library_log = -1;

void stage_faults_at_load(const char *library)
{
    const faults &f = staged_faults();
    for (const auto &refused : f.refused)
        fail(refused.first, refused.second);
#ifndef _WIN32
    if (f.heartbeat_ms > 0) {
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = heartbeat;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0; // no SA_RESTART: every slow call is cut short
        sigaction(SIGALRM, &sa, nullptr);
        struct itimerval every;
        every.it_interval.tv_sec = f.heartbeat_ms / 1000;
        every.it_interval.tv_usec = (suseconds_t)(f.heartbeat_ms % 1000) * 1000;
        every.it_value = every.it_interval;
        setitimer(ITIMER_REAL, &every, nullptr);
    }
#endif
    if (f.file_at_load) {
        folder root;
        if (open_root(state_dir(), false, &root)) {
            library_log = open_for_append(root, "library.log");
            close_folder(&root);
        }
#ifndef _WIN32
        // The lowest free descriptor, as a library's own open() would get
        // it, and not one above the folder's: a closed standard descriptor
        // that a tool lends is then the one the log is written to.
        int lowest = library_log >= 0 ? fcntl(library_log, F_DUPFD_CLOEXEC, 0) : -1;
        if (lowest >= 0 && lowest < library_log) {
            close(library_log);
            library_log = lowest;
        } else if (lowest >= 0) {
            close(lowest);
        }
#endif
        if (library_log >= 0) {
            std::string line = std::string(library) + ": loaded, log on descriptor " +
                               std::to_string(library_log) + "\n";
#ifdef _WIN32
            int written = _write(library_log, line.data(), (unsigned)line.size());
#else
            ssize_t written = write(library_log, line.data(), line.size());
#endif
            if (written < 0) {
                // A log that cannot be written is still held open.
            }
        }
    }
}

void stage_faults_at_exit()
{
    if (staged_faults().block_at_exit) {
        for (;;)
            sleep_ms(3600 * 1000);
    }
}

} // namespace kelsim
