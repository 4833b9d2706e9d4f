// Stand-in for the communication library: sendCommand is journalled, and
// the name server's two debug commands switch its recorded debug state.
#include "zunclient.h"

#include "kelsim.h"

#include <string.h>

int ZunClient::sendCommand(const char *name, const char *data)
{
    kelsim::journal("ZunClient::sendCommand", {kelsim::quoted(name), kelsim::quoted(data)});

    std::string path = kelsim::state_dir() + "/nameserver-debug";
    if (strcmp(name, "QOB_DNS/DEBUG_ON") == 0)
        kelsim::write_file(path, "on\n");
    else if (strcmp(name, "QOB_DNS/DEBUG_OFF") == 0)
        kelsim::write_file(path, "off\n");
    return 0;
}
