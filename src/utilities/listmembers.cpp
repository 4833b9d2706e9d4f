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
 * nothing.
 */
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>

#include "kelui.h"

/*
 * Which flow ends the process, decided once: the callback claims it to
 * list the set, or the time-out claims it to give up.  Two threads must
 * never both run exit(), and a listing once begun must not be cut short.
 */
enum { WAITING, LISTING, LISTED, TIMED_OUT, ABANDONED };
static std::atomic<int> state(WAITING);

static void usage(void)
{
    puts("Usage : ");
    puts("        listmembers <object-set>");
    exit(1);
}

/* Sleeps the whole time even when a signal cuts a sleep short. */
static void sleep_out(unsigned int seconds)
{
    while (seconds > 0)
        seconds = sleep(seconds);
}

static int claim(int from, int to)
{
    return state.compare_exchange_strong(from, to);
}

/*
 * Writes one object name as a line.  The name is data, never a format, and
 * the precision keeps the output within the 32-byte buffer even if the
 * library left it unterminated.
 */
static void print_name(const char objName[32])
{
    printf("%.32s\n", objName);
}

static void handler(int *pId, long *pParam)
{
    int Id = *pId;
    long Param = *pParam;  /* the booking's tag; nothing to check it against */
    char objName[32] = ""; /* printed empty if the library writes nothing */
    int iflg;

    (void)Param;
    /* Too late: main has given up and is ending the process with 1. */
    if (!claim(WAITING, LISTING))
        return;

    kelui_get_first_object_in_set(Id, objName);
    print_name(objName);
    for (;;) {
        iflg = kelui_get_next_object_in_set(Id, objName);
        if (iflg == 0)
            break;
        print_name(objName);
    }

    /* main gave up on a listing that took too long; it ends the process. */
    if (!claim(LISTING, LISTED))
        return;
    /* Ending the process here cuts main's sleep short; flush first so no name is lost. */
    fflush(stdout);
    exit(0);
}

int main(int argc, char *argv[])
{
    long param = 12345;

    if (argc < 2)
        usage();

    kelui_book_objectsetchange(argv[1], handler, param);

    sleep_out(10);
    if (claim(WAITING, TIMED_OUT))
        exit(1);

    /*
     * A callback is listing the set and will end the process itself.  A
     * listing takes milliseconds; one still going 5 seconds on hangs in
     * the library, so give up on it with 1.  _exit, not exit: the other
     * thread may be inside standard output's buffer.
     */
    sleep_out(5);
    if (claim(LISTING, ABANDONED))
        _exit(1);
    for (;;)
        pause(); /* the listing is done and its exit(0) under way */
}
