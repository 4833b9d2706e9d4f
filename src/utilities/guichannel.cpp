// SPDX-License-Identifier: MIT
/*
 * guichannel: prints the name of the KEL GUI server's command service for
 * this host and this process, with no newline:
 *
 *     VODARE/SERVER/CMNDS/<host name>/<process id>
 *
 * Arguments are ignored.  When the host name cannot be read the tool prints
 * nothing and exits with 1; so it does, after a line on standard error,
 * when the name does not reach standard output.
 */
#include <stdio.h>
#include <unistd.h>

#include "toolsupport.h"

int main(void)
{
    int pid;
    char hostname[256];
    int flg;
    char cpid[10];
    char serviceName[512];

    pid = getpid();
    flg = gethostname(hostname, 255);
    if (flg != 0)
        return 1;
    hostname[255] = '\0'; /* a truncated name need not be terminated */

    snprintf(cpid, sizeof cpid, "%d", pid);
    snprintf(serviceName, sizeof serviceName, "VODARE/SERVER/CMNDS/%s/%s", hostname, cpid);
    fputs(serviceName, stdout);
    if (flush_stdout("guichannel") != 0)
        return 1;
    return 0;
}
