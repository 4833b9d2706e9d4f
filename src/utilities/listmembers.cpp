// SPDX-License-Identifier: MIT
/*
 * listmembers: prints the names of the objects in a KEL object set, one per
 * line.
 *
 *     listmembers <object-set>
 *
 * The tool books the set's changes and sleeps; the library calls handler()
 * from its own context, which prints the set and ends the process with 0.
 * When no call comes within 10 seconds the tool ends with 1, printing
 * nothing.  Output that does not reach standard output ends it with 1 and
 * a line on standard error.  On a terminal, the bytes of a name that the
 * terminal would act on are shown as '?'.
 */
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "kelui.h"
#include "toolsupport.h"

/*
 * Which flow ends the process, decided once: the callback claims it to
 * list the set, the time-out to give up, and the watchdog to abandon a
 * listing or a library that hangs.  Two threads must never both run
 * exit(), and a listing once begun must not be cut short.  A flow that
 * claims ENDING stores the status first, for the watchdog to end with
 * should exit() itself hang.
 */
enum { WAITING, LISTING, ENDING };
static std::atomic<int> state(WAITING);
static std::atomic<int> status(1);

/*
 * Measured from the start of main, before the booking: the time-out; a
 * moment past it, when main that has not timed out is stuck in the
 * library; and the bound of the whole run.
 */
static struct timespec timeout_at, stuck_at, abandon_at;

static int claim(int from, int to)
{
    return state.compare_exchange_strong(from, to);
}

static void usage(void)
{
    puts("Usage : ");
    puts("        listmembers <object-set>");
    flush_stdout("listmembers");
    /* The library's code at exit may hang; the watchdog then ends with 1. */
    claim(WAITING, ENDING);
    exit(1);
}

/*
 * The listing's output: whole lines gathered in a buffer on the handler's
 * stack and written with write(2), so that a signal of the library's
 * cannot cut a write short and lose a name, as it can inside stdio.
 */
struct output {
    char buf[4096];
    size_t used;
    int err;      /* the first write error, or 0 */
    int terminal; /* standard output is a terminal */
};

static void flush_output(struct output *out)
{
    if (out->err == 0 && write_all(STDOUT_FILENO, out->buf, out->used) != 0)
        out->err = errno;
    out->used = 0;
}

/*
 * The length of the UTF-8 sequence at s (n bytes left) that a terminal
 * shows as text, or 0 when s starts no such sequence: an invalid byte, an
 * overlong form, a surrogate, a code point beyond U+10FFFF, or a C1
 * control (U+0080 to U+009F), which a terminal may act on like ESC.
 */
static size_t utf8_text(const unsigned char *s, size_t n)
{
    /* For each lead byte from 0xC2: its length, and the range of the second byte. */
    static const struct {
        unsigned char lead_last, len, low, high;
    } leads[] = {
        {0xDF, 2, 0x80, 0xBF}, {0xE0, 3, 0xA0, 0xBF}, {0xEC, 3, 0x80, 0xBF},
        {0xED, 3, 0x80, 0x9F}, {0xEF, 3, 0x80, 0xBF}, {0xF0, 4, 0x90, 0xBF},
        {0xF3, 4, 0x80, 0xBF}, {0xF4, 4, 0x80, 0x8F},
    };
    size_t k = 0;

    if (s[0] < 0xC2 || s[0] > 0xF4)
        return 0;
    while (s[0] > leads[k].lead_last)
        k++;
    size_t len = leads[k].len;
    if (n < len || s[1] < leads[k].low || s[1] > leads[k].high)
        return 0;
    for (size_t i = 2; i < len; i++) {
        if (s[i] < 0x80 || s[i] > 0xBF)
            return 0;
    }
    if (s[0] == 0xC2 && s[1] <= 0x9F)
        return 0; /* U+0080 to U+009F */
    return len;
}

/*
 * Copies a name of n bytes to dst as a terminal may show it: each byte of
 * a control (C0, DEL, C1, raw or UTF-8 encoded) or of anything that is not
 * valid UTF-8 becomes '?', so that no name can move the cursor, retitle
 * the window or start a line of its own.  dst gets exactly n bytes.
 */
static void terminal_safe(char *dst, const char *name, size_t n)
{
    const unsigned char *s = (const unsigned char *)name;
    size_t i = 0;

    while (i < n) {
        size_t len = 1;
        if (s[i] >= 0x20 && s[i] < 0x7F) {
            dst[i] = (char)s[i];
        } else if (s[i] >= 0x80 && (len = utf8_text(s + i, n - i)) > 0) {
            memcpy(dst + i, s + i, len);
        } else {
            len = 1; /* an encoded C1 control gives a '?' for each of its bytes */
            dst[i] = '?';
        }
        i += len;
    }
}

/*
 * Adds one object name as a line.  The name is data, never a format, and
 * at most 32 bytes of it are read even if the library left the buffer
 * unterminated.  Into a pipe or a file it goes out byte for byte.
 */
static void print_name(struct output *out, const char objName[32])
{
    size_t n = strnlen(objName, 32);

    if (sizeof out->buf - out->used < n + 1)
        flush_output(out);
    if (out->terminal)
        terminal_safe(out->buf + out->used, objName, n);
    else
        memcpy(out->buf + out->used, objName, n);
    out->buf[out->used + n] = '\n';
    out->used += n + 1;
}

// NOLINTNEXTLINE(readability-non-const-parameter): the library's callback type
static void handler(int *pId, long *pParam)
{
    int Id = *pId;
    long Param = *pParam;  /* the booking's tag; nothing to check it against */
    char objName[32] = ""; /* printed empty if the library writes nothing */
    int iflg;
    struct output out;

    (void)Param;
    /* Too late, or a second call: another flow ends the process. */
    if (!claim(WAITING, LISTING))
        return;

    out.used = 0;
    out.err = 0;
    out.terminal = isatty(STDOUT_FILENO);
    kelui_get_first_object_in_set(Id, objName);
    print_name(&out, objName);
    /* Once output is lost there is no one to list the rest to. */
    while (out.err == 0) {
        iflg = kelui_get_next_object_in_set(Id, objName);
        if (iflg == 0)
            break;
        print_name(&out, objName);
    }
    flush_output(&out);

    status = out.err == 0 ? 0 : 1;
    /* The watchdog gave up on a listing that took too long; it ends the process. */
    if (!claim(LISTING, ENDING))
        return;
    if (out.err != 0)
        write_error("listmembers", out.err);
    exit(status);
}

/*
 * Ends the process at the deadlines wherever the other flows are: in a
 * booking that never returns, in a listing that hangs, or in an exit()
 * that hangs in the library's destructors.  It runs with every signal
 * blocked, so the library's signals go where they would go without it,
 * and it ends the process with _exit(): another thread may be inside
 * standard output's buffer or inside exit().
 */
static void *watchdog(void *arg)
{
    (void)arg;
    sleep_until(&stuck_at);
    if (claim(WAITING, ENDING))
        _exit(1);

    /* A listing takes milliseconds; one still going 5 seconds on hangs in the library. */
    sleep_until(&abandon_at);
    if (claim(LISTING, ENDING))
        _exit(1);
    _exit(status); /* the listing is out, or the time-out said so: exit() hangs */
}

static void start_watchdog(void)
{
    pthread_t thread;
    sigset_t all, old;

    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    /* Without a watchdog the tool still keeps the time-out, unless the library hangs. */
    if (pthread_create(&thread, NULL, watchdog, NULL) == 0)
        pthread_detach(thread);
    pthread_sigmask(SIG_SETMASK, &old, NULL);
}

int main(int argc, char *argv[])
{
    long param = 12345;

    /* Before anything else: the 15-second bound holds on every path, the usage's too. */
    timeout_at = deadline_in(10000);
    stuck_at = deadline_in(10200);
    abandon_at = deadline_in(15000);
    start_watchdog();

    if (argc < 2)
        usage();

    kelui_book_objectsetchange(argv[1], handler, param);

    sleep_until(&timeout_at);
    if (claim(WAITING, ENDING))
        exit(1);
    /* A callback is listing the set, or ending the process; so will the watchdog. */
    for (;;)
        pause();
}
