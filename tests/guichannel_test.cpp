// SPDX-License-Identifier: MIT
// guichannel: the GUI server's command service name for this host and process.
#include "tool_harness.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace
{

std::string this_host()
{
    char name[256] = "";
    gethostname(name, sizeof name - 1);
    return name;
}

TEST(GuiChannel, PrintsTheServiceNameOfThisHostAndProcess)
{
    SimulatedSystem sim;
    // guichannel carries no run path: it finds its libraries through the environment.
    const std::vector<std::string> env = {std::string("LD_LIBRARY_PATH=") + TOOLS_DIR};
    ToolRun first = sim.run("guichannel", {}, env);
    ToolRun second = sim.run("guichannel", {"ignored", "arguments"}, env);

    for (const ToolRun &r : {first, second}) {
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "VODARE/SERVER/CMNDS/" + this_host() + "/" + std::to_string(r.pid));
    }
    EXPECT_NE(first.out, second.out);
    EXPECT_TRUE(sim.journal().empty());
}

} // namespace
