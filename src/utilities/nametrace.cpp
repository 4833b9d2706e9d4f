// SPDX-License-Identifier: MIT
/*
 * nametrace: switches the debug output of the name server on or off.
 *
 *     nametrace 1 | 0
 *
 * The argument is read as a decimal number the way "%d" reads one: leading
 * white space, an optional sign, digits, and whatever follows ignored.  Any
 * other count of arguments, a number other than 0 or 1, no number at all or
 * one beyond the range of int prints the usage and exits with 2.
 */
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>

#include "toolsupport.h"
#include "zunclient.h"

static void usage(void)
{
    fputs("  usage :  nametrace 1 or 0\n", stdout);
    flush_stdout("nametrace");
    exit(2);
}

/* Reads a leading decimal int from s into *value; 0 when there is none or it does not fit. */
static int read_int(const char *s, int *value)
{
    char *end;

    errno = 0;
    long n = strtol(s, &end, 10);
    if (end == s || errno == ERANGE || n < INT_MIN || n > INT_MAX)
        return 0;
    *value = (int)n;
    return 1;
}

int main(int argc, char *argv[])
{
    int debug;

    if (argc != 2)
        usage();
    if (!read_int(argv[1], &debug) || (debug != 0 && debug != 1))
        usage();

    if (debug == 1)
        ZunClient::sendCommand("QOB_DNS/DEBUG_ON", " ");
    else
        ZunClient::sendCommand("QOB_DNS/DEBUG_OFF", " ");
    return 0;
}
