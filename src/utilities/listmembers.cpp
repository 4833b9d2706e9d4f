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

#include "kelui.h"

static void usage(void)
{
    puts("Usage : ");
    puts("        listmembers <object-set>");
    exit(1);
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
    kelui_get_first_object_in_set(Id, objName);
    print_name(objName);
    for (;;) {
        iflg = kelui_get_next_object_in_set(Id, objName);
        if (iflg == 0)
            break;
        print_name(objName);
    }

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

    /* A signal may cut a sleep short; sleep out the rest. */
    unsigned int left = 10;
    while (left > 0)
        left = sleep(left);
    exit(1);
}
