// SPDX-License-Identifier: MIT
// nametrace against the stand-in runtime.
#include "tool_harness.h"

#include <gtest/gtest.h>

namespace
{

const char USAGE[] = "  usage :  nametrace 1 or 0\n";

TEST(NameTrace, ReadsTheArgumentAsANumber)
{
    struct {
        std::vector<std::string> args;
        const char *command; // null: usage, status 2, nothing sent
    } cases[] = {
        {{"1"}, "QOB_DNS/DEBUG_ON"},
        {{"+1"}, "QOB_DNS/DEBUG_ON"},
        {{"1x"}, "QOB_DNS/DEBUG_ON"},
        {{" 1"}, "QOB_DNS/DEBUG_ON"},
        {{"\t\n01"}, "QOB_DNS/DEBUG_ON"},
        {{"0"}, "QOB_DNS/DEBUG_OFF"},
        {{"-0"}, "QOB_DNS/DEBUG_OFF"},
        {{"0x1"}, "QOB_DNS/DEBUG_OFF"},
        {{"000"}, "QOB_DNS/DEBUG_OFF"},
        {{"2"}, nullptr},
        {{"-1"}, nullptr},
        {{"on"}, nullptr},
        {{""}, nullptr},
        {{"+"}, nullptr},
        {{"- 1"}, nullptr},
        {{"x1"}, nullptr},
        {{"4294967297"}, nullptr}, // 2^32 + 1: beyond int, not 1
        {{"4294967296"}, nullptr}, // 2^32: beyond int, not 0
        {{"-18446744073709551616"}, nullptr},
        {{"99999999999999999999999"}, nullptr},
        {{}, nullptr},
        {{"1", "0"}, nullptr},
    };
    for (const auto &c : cases) {
        std::string what = c.args.empty() ? "no argument" : "\"" + c.args[0] + "\"";
        SimulatedSystem sim;
        ToolRun r = sim.run("nametrace", c.args);
        auto journal = sim.journal();
        if (c.command == nullptr) {
            EXPECT_EQ(r.status, 2) << what;
            EXPECT_EQ(r.out, USAGE) << what;
            EXPECT_TRUE(journal.empty()) << what;
            continue;
        }
        EXPECT_EQ(r.status, 0) << what;
        EXPECT_EQ(r.out, "") << what;
        ASSERT_EQ(journal.size(), 1u) << what;
        EXPECT_EQ(journal[0].call, "ZunClient::sendCommand");
        EXPECT_EQ(journal[0].fields, quoted(c.command) + " \" \"") << what;
    }
}

TEST(NameTrace, SwitchesTheNameServersDebugState)
{
    SimulatedSystem sim;
    EXPECT_EQ(sim.run("nametrace", {"1"}).status, 0);
    EXPECT_NE(sim.show().find("name server debug: on\n"), std::string::npos);
    EXPECT_EQ(sim.run("nametrace", {"0"}).status, 0);
    EXPECT_NE(sim.show().find("name server debug: off\n"), std::string::npos);
}

} // namespace

namespace
{

// Written out by hand, not with the codec: a codec fault cannot hide here.
TEST(NameTrace, JournalsTheCommandAsKelText)
{
    SimulatedSystem sim;
    sim.run("nametrace", {"1"});
    sim.run("nametrace", {"0"});
    auto journal = sim.journal();
    ASSERT_EQ(journal.size(), 2u);
    EXPECT_EQ(journal[0].fields, "\"QOB_DNS\\057DEBUG_ON\" \" \"");
    EXPECT_EQ(journal[1].fields, "\"QOB_DNS\\057DEBUG_OFF\" \" \"");
}

TEST(NameTrace, KeepsItsPromisesUnderFaults)
{
    SimulatedSystem sim;
    std::vector<FaultCase> cases = {
        {"a call that takes 300 ms", {"1"}, {"KELSIM_FAULTS=block=ZunClient::sendCommand:300"}, Stdout::captured,
         0, "", "", 0.3, 1.0},
        {"a 1 ms heartbeat", {"0"}, {"KELSIM_FAULTS=heartbeat=1"}, Stdout::captured, 0, "", "", 0, 1.0},
        {"descriptors 0 to 2 closed", {"1"}, {}, Stdout::all_closed, 0, "", "", 0, 1.0},
        {"usage, stdout full", {"2"}, {}, Stdout::full, 2, "", "nametrace: write error: No space left on device\n",
         0, 1.0},
        {"usage, stdout closed", {}, {}, Stdout::closed, 2, "", "nametrace: write error: Bad file descriptor\n", 0,
         1.0},
        {"usage, the reader gone", {"on"}, {}, Stdout::reader_gone, 2, "", "nametrace: write error: Broken pipe\n",
         0, 1.0},
    };
    check_fault_cases(sim, "nametrace", cases);
}

} // namespace
