// SPDX-License-Identifier: MIT
// tunedomain against the stand-in runtime.
#include "tool_harness.h"

#include <gtest/gtest.h>

namespace
{

const char USAGE[] = "Usage : \n        tunedomain <domain> <option-id> <value>\n";

TEST(TuneDomain, WrongArgumentCountPrintsUsage)
{
    const std::vector<std::string> arglists[] = {
        {},
        {"DOM"},
        {"DOM", "OPT"},
        {"DOM", "OPT", "VAL", "MORE"},
    };
    for (const auto &args : arglists) {
        SimulatedSystem sim;
        ToolRun r = sim.run("tunedomain", args);
        EXPECT_EQ(r.status, 1) << args.size() << " arguments";
        EXPECT_EQ(r.out, USAGE) << args.size() << " arguments";
        EXPECT_TRUE(sim.journal().empty()) << args.size() << " arguments";
    }
}

TEST(TuneDomain, PassesTheThreeArgumentsUnchanged)
{
    const std::vector<std::string> arglists[] = {
        {"DOM", "OPT", "VAL"},
        {"DOM", "OPT", ""},
        {"my dom", "a/b|c", "%s %d \\n"},
        {"\xe2\x82\xac", "\x01\x7f", std::string(size_t{100} * 1024, 'v')},
    };
    for (const auto &args : arglists) {
        SimulatedSystem sim;
        ToolRun r = sim.run("tunedomain", args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        auto journal = sim.journal();
        ASSERT_EQ(journal.size(), 1u);
        EXPECT_EQ(journal[0].call, "kelui_change_option");
        EXPECT_EQ(journal[0].fields,
                  quoted(args[0]) + " " + quoted(args[1]) + " " + quoted(args[2]));
    }
}

// Written out by hand, not with the codec: a codec fault cannot hide here.
TEST(TuneDomain, JournalsTheArgumentsAsKelText)
{
    SimulatedSystem sim;
    sim.run("tunedomain", {"D|1", "o'", "v\\"});
    auto journal = sim.journal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0].fields, "\"D\\1741\" \"o\\'\" \"v\\\\\"");
}

TEST(TuneDomain, ChangesTheOptionAndLivesHalfASecondAfterTheCall)
{
    SimulatedSystem sim;
    sim.domain({"DOM", "maxload", "10"});
    ToolRun r = sim.run("tunedomain", {"DOM", "maxload", "20"});
    EXPECT_EQ(r.status, 0);
    auto journal = sim.journal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_GE(r.ended - journal[0].time, 0.5);
    EXPECT_EQ(sim.show(), "domains:\n  \"DOM\"  \"maxload\"=\"20\"\nobject sets:\n"
                          "name server debug: off\n");

    // An unknown domain is the library's business: the status is still 0.
    EXPECT_EQ(sim.run("tunedomain", {"NONE", "maxload", "1"}).status, 0);
}

} // namespace

namespace
{

// The half second holds under a library's heartbeat and after a slow call;
// a usage text that is lost is said so, with the usage's own status.
TEST(TuneDomain, KeepsItsPromisesUnderFaults)
{
    SimulatedSystem sim;
    sim.domain({"DOM"});
    const std::vector<std::string> args = {"DOM", "opt", "val"};
    std::vector<FaultCase> cases = {
        {"a 50 ms heartbeat", args, {"KELSIM_FAULTS=heartbeat=50"}, Stdout::captured, 0, "", "", 0.5, 1.0},
        {"a 1 ms heartbeat", args, {"KELSIM_FAULTS=heartbeat=1"}, Stdout::captured, 0, "", "", 0.5, 1.0},
        {"a call that takes 300 ms", args, {"KELSIM_FAULTS=block=kelui_change_option:300"}, Stdout::captured,
         0, "", "", 0.8, 1.3},
        {"stdout closed, nothing to print", args, {}, Stdout::closed, 0, "", "", 0.5, 1.0},
        {"descriptors 0 to 2 closed", args, {}, Stdout::all_closed, 0, "", "", 0.5, 1.0},
        {"usage, stdout full", {}, {}, Stdout::full, 1, "", "tunedomain: write error: No space left on device\n", 0,
         0.5},
        {"usage, stdout closed", {}, {}, Stdout::closed, 1, "", "tunedomain: write error: Bad file descriptor\n",
         0, 0.5},
        {"usage, the reader gone", {}, {}, Stdout::reader_gone, 1, "", "tunedomain: write error: Broken pipe\n", 0,
         0.5},
    };
    check_fault_cases(sim, "tunedomain", cases);

    // Each change was delivered, and the tool lived half a second after each call returned.
    EXPECT_EQ(sim.show(), "domains:\n  \"DOM\"  \"opt\"=\"val\"\nobject sets:\nname server debug: off\n");
}

} // namespace
