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

    // Without the libraries the loader refuses to start it, as its manual page says.
    ToolRun alone = sim.run("guichannel", {});
    EXPECT_EQ(alone.status, 127);
    EXPECT_EQ(alone.out, "");
    EXPECT_NE(alone.err.find("libkelui.so"), std::string::npos) << alone.err;
}

} // namespace

namespace
{

TEST(GuiChannel, ANameThatDoesNotArriveIsAFailure)
{
    SimulatedSystem sim;
    const std::string libs = std::string("LD_LIBRARY_PATH=") + TOOLS_DIR;
    const std::string prefix = "VODARE/SERVER/CMNDS/" + this_host() + "/";
    std::vector<FaultCase> cases = {
        {"a 1 ms heartbeat", {}, {libs, "KELSIM_FAULTS=heartbeat=1"}, Stdout::captured, 0, prefix, "", 0, 1.0, true},
        {"stdout full", {}, {libs}, Stdout::full, 1, "", "guichannel: write error: No space left on device\n", 0,
         1.0},
        {"stdout closed", {}, {libs}, Stdout::closed, 1, "", "guichannel: write error: Bad file descriptor\n", 0, 1.0},
        {"descriptors 0 to 2 closed", {}, {libs}, Stdout::all_closed, 1, "", "", 0, 1.0},
        {"the reader gone", {}, {libs}, Stdout::reader_gone, 1, "", "guichannel: write error: Broken pipe\n", 0, 1.0},
    };
    check_fault_cases(sim, "guichannel", cases);
}

} // namespace
