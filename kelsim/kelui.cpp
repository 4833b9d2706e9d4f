// SPDX-License-Identifier: MIT
// Stand-in for the KEL user-interface library: every call is journalled and
// acts on the simulated system in the state folder, each change as one
// transaction under the folder's lock.  Failures of the stand-in itself
// (a refused state folder, a name that cannot be stored) are reported on
// standard error as one line beginning "kelsim:".
//
//   kelui_kill                 removes a running domain
//   kelui_change_option        stores the value of a domain's option
//   kelui_book_objectsetchange calls back from a thread of its own after
//                              $KELSIM_CALLBACK_MS (default 100) when the set
//                              exists; an unknown set is never called back
//   kelui_get_*_object_in_set  serve the set's names in order, cut to 31
//                              characters and a terminator, each after
//                              $KELSIM_OBJECT_MS (default 0)
// On Windows the faults of loading and unloading are staged in DllMain.
// A domain or set that does not exist is journalled and otherwise ignored.
// The faults of $KELSIM_FAULTS (faults.cpp) change this on request.
#include "kelui.h"

#include "kelsim.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif
#include <string>
#include <vector>

using kelsim::journal;
using kelsim::number;
using kelsim::quoted;

namespace
{

// Runs fn(arg) on a detached thread of its own: the library's context.
struct thread_start {
    void (*fn)(void *);
    void *arg;
};

#ifdef _WIN32
DWORD WINAPI run_thread(LPVOID p)
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
#else
void *run_thread(void *p)
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
#endif

const int NAME_BUFFER = 32;

// One booked object set.  Bookings live until the process ends: the tool
// may end it from inside the callback, so nothing is ever torn down.
struct booking {
    int id;
    long tag;
    kelui_objectset_callback *callback;
    std::string set;
    std::vector<std::string> names;
    size_t next;
};

// Bookings are added by the caller's thread and read by the callback
// threads; a slot is filled before the count that publishes it.
const int MAX_BOOKINGS = 64;
booking *bookings[MAX_BOOKINGS];
std::atomic<int> booking_count(0);

booking *find_booking(int id)
{
    int n = booking_count.load(std::memory_order_acquire);
    return id >= 1 && id <= n ? bookings[id - 1] : nullptr;
}

int callback_delay_ms()
{
    return kelsim::staged_faults().callback_ms;
}

void call_back(booking *b)
{
    journal("callback", {quoted(b->set.c_str()), number(b->id), number(b->tag)});
    int id = b->id;
    long tag = b->tag;
    b->callback(&id, &tag);
}

void deliver(void *p)
{
    kelsim::sleep_ms(callback_delay_ms());
    call_back((booking *)p);
}

// The second call of callback-twice, after the first has begun.
void deliver_again(void *p)
{
    kelsim::sleep_ms(callback_delay_ms() + 50);
    call_back((booking *)p);
}

// Writes the booking's next name into name[32], cut to 31 characters.
int serve_name(const char *call, int id, char *name)
{
    // A slow or hung library, for testing how callers bear it.
    const kelsim::faults &faults = kelsim::staged_faults();
    if (faults.object_ms > 0)
        kelsim::sleep_ms(faults.object_ms);
    booking *b = find_booking(id);
    if (b != nullptr && faults.endless_set && b->next >= b->names.size())
        b->next = 0;
    // A loop without end journals a bounded amount: the listing goes on.
    bool journalled = !faults.endless_set || kelsim::journal_looping(call, id);
    if (b == nullptr || b->next >= b->names.size()) {
        if (b != nullptr && faults.endless_set) {
            // An empty set without end: empty names, for ever.
            name[0] = '\0';
            if (journalled)
                journal(call, {number(id), "->", "1", quoted(name)});
            return 1;
        }
        journal(call, {number(id), "->", "0"});
        return 0;
    }
    const std::string &next = b->names[b->next++];
    if (faults.unterminated_names) {
        // All 32 bytes, and no terminator among them.
        size_t n = std::min(next.size(), (size_t)NAME_BUFFER);
        memcpy(name, next.data(), n);
        memset(name + n, '.', NAME_BUFFER - n);
        if (journalled)
            journal(call, {number(id), "->", "1", quoted(std::string(name, NAME_BUFFER).c_str())});
        return 1;
    }
    size_t n = strnlen(next.c_str(), NAME_BUFFER - 1);
    memcpy(name, next.c_str(), n);
    name[n] = '\0';
    if (journalled)
        journal(call, {number(id), "->", "1", quoted(name)});
    return 1;
}

} // namespace

int kelui_kill(const char *domain)
{
    journal("kelui_kill", {quoted(domain)});
    kelsim::block_if_staged("kelui_kill");

    kelsim::transaction t(kelsim::transaction::change);
    if (!t)
        return -1;
    return kelsim::remove_domain(t.folders(), domain) == kelsim::lookup::found ? 0 : -1;
}

int kelui_change_option(const char *domain, const char *option, const char *value)
{
    journal("kelui_change_option", {quoted(domain), quoted(option), quoted(value)});
    kelsim::block_if_staged("kelui_change_option");

    // A domain that is not running changes nothing.
    kelsim::transaction t(kelsim::transaction::change);
    kelsim::domain d;
    if (!t || kelsim::load_domain(t.folders(), domain, &d) != kelsim::lookup::found)
        return -1;
    bool known = false;
    for (auto &o : d.options) {
        if (o.first == option) {
            o.second = value;
            known = true;
        }
    }
    if (!known)
        d.options.emplace_back(option, value);
    return kelsim::store_domain(t.folders(), d) ? 0 : -1;
}

int kelui_book_objectsetchange(const char *set, kelui_objectset_callback *callback, long tag)
{
    journal("kelui_book_objectsetchange", {quoted(set), number(tag)});
    kelsim::block_if_staged("kelui_book_objectsetchange");

    int n = booking_count.load(std::memory_order_relaxed);
    if (callback == nullptr || n == MAX_BOOKINGS)
        return -1;
    kelsim::object_set objects;
    {
        kelsim::transaction t(kelsim::transaction::read);
        if (!t || kelsim::load_set(t.folders(), set, &objects) != kelsim::lookup::found)
            return -1;
    }

    booking *b = new booking{n + 1, tag, callback, set, objects.objects, 0};
    bookings[n] = b;
    booking_count.store(n + 1, std::memory_order_release);
    switch (kelsim::staged_faults().callback) {
    case kelsim::callback_fault::never:
        break;
    case kelsim::callback_fault::inside:
        deliver(b);
        break;
    case kelsim::callback_fault::twice:
        start_thread(deliver, b);
        start_thread(deliver_again, b);
        break;
    case kelsim::callback_fault::concurrent:
        start_thread(deliver, b);
        start_thread(deliver, b);
        break;
    case kelsim::callback_fault::none:
        start_thread(deliver, b);
        break;
    }
    return 0;
}

int kelui_get_first_object_in_set(int id, char *name)
{
    kelsim::block_if_staged("kelui_get_first_object_in_set");
    booking *b = find_booking(id);
    if (b != nullptr)
        b->next = 0;
    return serve_name("kelui_get_first_object_in_set", id, name);
}

int kelui_get_next_object_in_set(int id, char *name)
{
    kelsim::block_if_staged("kelui_get_next_object_in_set");
    return serve_name("kelui_get_next_object_in_set", id, name);
}

#ifdef _WIN32
// The faults of the DLL's loading and unloading, staged as a library's own
// initialiser and finaliser would run them.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        kelsim::stage_faults_at_load("keluirtl.dll");
    else if (reason == DLL_PROCESS_DETACH)
        kelsim::stage_faults_at_exit();
    return TRUE;
}
#endif
