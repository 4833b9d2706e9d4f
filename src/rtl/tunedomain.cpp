// SPDX-License-Identifier: MIT
/*
 * tunedomain: changes one option of a KEL domain.
 *
 *     tunedomain <domain> <option-id> <value>
 *
 * The library delivers the request after the call returns, so the tool
 * waits half a second before it ends.  A wrong argument count prints the
 * usage and exits with 1 before the library is called.
 */
#include <stdio.h>
#include <stdlib.h>

#include "kelui.h"
#include "toolsupport.h"

static void print_help(void)
{
    puts("Usage : ");
    puts("        tunedomain <domain> <option-id> <value>");
}

int main(int argc, char *argv[])
{
    if (argc != 4) {
        print_help();
        flush_stdout("tunedomain");
        exit(1);
    }

    char *domain = argv[1];
    char *option = argv[2];
    char *value = argv[3];

    kelui_change_option(domain, option, value);
    /* The whole half second, even when a signal of the library's comes. */
    struct timespec delivered = deadline_in(500);
    sleep_until(&delivered);
    exit(0);
}
