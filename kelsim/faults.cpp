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
// An item that is none of these is reported on standard error, once per
// process, as the library that stages the faults of loading is loaded.
#include "kelsim.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
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

static bool number_after(const std::string &item, size_t at, int *ms)
{
    char *end;
    const char *text = item.c_str() + at;
    long n = strtol(text, &end, 10);
    if (end == text || *end != '\0' || n < 0 || n > 24L * 3600 * 1000)
        return false;
    *ms = (int)n;
    return true;
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
    const char *text = getenv("KELSIM_FAULTS");
    std::string list = text != nullptr ? text : "";
    size_t start = 0;
    while (start < list.size()) {
        size_t end = list.find_first_of(", \t\n", start);
        if (end == std::string::npos)
            end = list.size();
        std::string item = list.substr(start, end - start);
        if (!item.empty() && !parse_item(item, &f))
            f.refused.push_back(item);
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

#ifndef _WIN32
static void heartbeat(int)
{
}

// Kept open until the process ends, as a library's own log would be.
static int library_log = -1;

void stage_faults_at_load(const char *library)
{
    const faults &f = staged_faults();
    for (const std::string &item : f.refused)
        fail("KELSIM_FAULTS", "not a fault: \"" + item + "\"; ignored");
    if (f.heartbeat_ms > 0) {
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = heartbeat;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0; // no SA_RESTART: every slow call is cut short
        sigaction(SIGALRM, &sa, nullptr);
        struct itimerval every;
        every.it_interval.tv_sec = f.heartbeat_ms / 1000;
        every.it_interval.tv_usec = (f.heartbeat_ms % 1000) * 1000;
        every.it_value = every.it_interval;
        setitimer(ITIMER_REAL, &every, nullptr);
    }
    if (f.file_at_load) {
        folder root;
        if (open_root(state_dir(), false, &root)) {
            library_log = open_for_append(root, "library.log");
            close_folder(&root);
        }
        if (library_log >= 0) {
            std::string line = std::string(library) + ": loaded, log on descriptor " +
                               std::to_string(library_log) + "\n";
            if (write(library_log, line.data(), line.size()) < 0) {
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
#endif

} // namespace kelsim
