// SPDX-License-Identifier: MIT
// Stand-in for the communication library: sendCommand is journalled, and
// the name server's two debug commands switch its recorded debug state.
#include "zunclient.h"

#include "kelsim.h"

#include <string.h>

int ZunClient::sendCommand(const char *name, const char *data)
{
    kelsim::journal("ZunClient::sendCommand", {kelsim::quoted(name), kelsim::quoted(data)});

    const char *debug = nullptr;
    if (strcmp(name, "QOB_DNS/DEBUG_ON") == 0)
        debug = "on";
    else if (strcmp(name, "QOB_DNS/DEBUG_OFF") == 0)
        debug = "off";
    kelsim::state s;
    if (debug == nullptr || !kelsim::open_state(&s, true))
        return 0;
    kelsim::store_debug(s, debug);
    kelsim::close_state(&s);
    return 0;
}
