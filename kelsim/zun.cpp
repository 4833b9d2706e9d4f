// SPDX-License-Identifier: MIT
// Stand-in for the communication library: sendCommand is journalled, and
// the name server's two debug commands switch its recorded debug state.
// The faults of a library's loading and unloading are staged here.
#include "zunclient.h"

#include "kelsim.h"

#include <string.h>

int ZunClient::sendCommand(const char *name, const char *data)
{
    kelsim::journal("ZunClient::sendCommand", {kelsim::quoted(name), kelsim::quoted(data)});
    kelsim::block_if_staged("ZunClient::sendCommand");

    const char *debug = nullptr;
    if (strcmp(name, "QOB_DNS/DEBUG_ON") == 0)
        debug = "on";
    else if (strcmp(name, "QOB_DNS/DEBUG_OFF") == 0)
        debug = "off";
    if (debug == nullptr)
        return 0;
    kelsim::transaction t(kelsim::transaction::change);
    if (t)
        kelsim::store_debug(t.folders(), debug);
    return 0;
}

// Every Linux tool loads this library, so the faults of a library's loading
// and unloading are staged here, once per process.
__attribute__((constructor)) static void loaded()
{
    kelsim::stage_faults_at_load("libzun.so");
}

__attribute__((destructor)) static void unloaded()
{
    kelsim::stage_faults_at_exit();
}
