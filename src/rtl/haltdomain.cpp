// SPDX-License-Identifier: MIT
/*
 * haltdomain: asks the KEL user-interface library to kill a domain.
 *
 *     haltdomain <domain>
 *
 * Only the first argument is read.  The exit status is 0 whatever the
 * library made of the request; without an argument the tool prints its
 * usage and exits with 1 before the library is called.
 */
#include <stdio.h>
#include <stdlib.h>

#include "kelui.h"
#include "toolsupport.h"

static void usage(void)
{
    puts("Usage : ");
    puts("        haltdomain <domain>");
    flush_stdout("haltdomain");
    exit(1);
}

int main(int argc, char *argv[])
{
    if (argc < 2)
        usage();

    kelui_kill(argv[1]);
    return 0;
}
