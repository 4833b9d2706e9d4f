// SPDX-License-Identifier: MIT
// haltdomain against the stand-in runtime.
#include "tool_harness.h"

#include <gtest/gtest.h>

namespace
{

TEST(HaltDomain, PassesTheFirstArgumentUnchanged)
{
    const std::string names[] = {
        "DOM",   "two words",   " lead",
        "a/b",   "a|b",         "%s%n%x",
        "\"q\"", "back\\slash", "\xc3\xa9\x80\xff",
        "",      "tab\there",   std::string(size_t{100} * 1024, 'k'),
    };
    for (const std::string &name : names) {
        SimulatedSystem sim;
        ToolRun r = sim.run("haltdomain", {name, "extra"});
        EXPECT_EQ(r.status, 0) << name;
        EXPECT_EQ(r.out, "") << name;
        auto journal = sim.journal();
        ASSERT_EQ(journal.size(), 1u) << name;
        EXPECT_EQ(journal[0].call, "kelui_kill");
        EXPECT_EQ(journal[0].fields, quoted(name)) << "the extra argument is ignored";
    }
}

// Written out by hand, not with the codec: a codec fault cannot hide here.
TEST(HaltDomain, JournalsTheNameAsKelText)
{
    SimulatedSystem sim;
    sim.run("haltdomain", {"a/b \"q\"\tx"});
    auto journal = sim.journal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0].fields, "\"a\\057b \\042q\\042\\tx\"");
}

TEST(HaltDomain, KillsOnlyTheNamedDomain)
{
    SimulatedSystem sim;
    sim.domain({"DOM"});
    sim.domain({"KEEP"});
    EXPECT_EQ(sim.run("haltdomain", {"DOM"}).status, 0);
    EXPECT_EQ(sim.show(), "domains:\n  \"KEEP\"\nobject sets:\nname server debug: off\n");

    // A domain that is not running: the request is still made, and the status is 0.
    ToolRun r = sim.run("haltdomain", {"DOM"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(sim.journal().size(), 2u);
}

TEST(HaltDomain, NamesNeverReachOutsideTheState)
{
    SimulatedSystem sim;
    sim.set({"SET", "a"});
    for (const char *name : {"..", "../sets/@SET", "/", "../journal"}) {
        sim.domain({name});
        EXPECT_EQ(sim.run("haltdomain", {name}).status, 0) << name;
    }
    EXPECT_EQ(sim.show(), "domains:\nobject sets:\n  \"SET\": \"a\"\nname server debug: off\n");
    EXPECT_EQ(sim.journal().size(), 4u);
}

TEST(HaltDomain, WithoutAnArgumentPrintsUsage)
{
    SimulatedSystem sim;
    ToolRun r = sim.run("haltdomain", {});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Usage : \n        haltdomain <domain>\n");
    EXPECT_TRUE(sim.journal().empty());
}

} // namespace

namespace
{

TEST(HaltDomain, KeepsItsPromisesUnderFaults)
{
    SimulatedSystem sim;
    std::vector<FaultCase> cases = {
        {"a call that takes 300 ms", {"DOM"}, {"KELSIM_FAULTS=block=kelui_kill:300"}, Stdout::captured, 0, "", "",
         0.3, 1.0},
        {"a 1 ms heartbeat", {"DOM"}, {"KELSIM_FAULTS=heartbeat=1"}, Stdout::captured, 0, "", "", 0, 1.0},
        {"stdout closed, nothing to print", {"DOM"}, {}, Stdout::closed, 0, "", "", 0, 1.0},
        {"descriptors 0 to 2 closed", {"DOM"}, {}, Stdout::all_closed, 0, "", "", 0, 1.0},
        {"usage, stdout full", {}, {}, Stdout::full, 1, "", "haltdomain: write error: No space left on device\n", 0,
         1.0},
        {"usage, stdout closed", {}, {}, Stdout::closed, 1, "", "haltdomain: write error: Bad file descriptor\n", 0,
         1.0},
        {"usage, the reader gone", {}, {}, Stdout::reader_gone, 1, "", "haltdomain: write error: Broken pipe\n", 0,
         1.0},
    };
    check_fault_cases(sim, "haltdomain", cases);
}

} // namespace
