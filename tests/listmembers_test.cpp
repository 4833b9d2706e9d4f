// listmembers against the stand-in runtime, which calls back from a thread
// of its own.
#include "tool_harness.h"

#include <gtest/gtest.h>

namespace
{

TEST(ListMembers, PrintsTheSetInOrder)
{
    SimulatedSystem sim;
    sim.set({"SET", "alpha", "beta", "gamma delta"});
    ToolRun r = sim.run("listmembers", {"SET", "ignored"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "alpha\nbeta\ngamma delta\n");
    auto journal = sim.journal();
    ASSERT_FALSE(journal.empty());
    EXPECT_EQ(journal[0].call, "kelui_book_objectsetchange");
    EXPECT_EQ(journal[0].fields, "\"SET\" 12345");
}

TEST(ListMembers, PrintsNamesAsDataUpToTheirFullLength)
{
    const std::string name31 = "abcdefghijklmnopqrstuvwxyz01234";
    const std::string name40 = name31 + "567890123";
    SimulatedSystem sim;
    sim.set({"a/b|%s", name31, "%s%n%d", "", name40, "\t\xc3\xa9"});
    ToolRun r = sim.run("listmembers", {"a/b|%s"});
    EXPECT_EQ(r.status, 0);
    // The library cuts names to 31 characters; the tool prints what it gets.
    EXPECT_EQ(r.out, name31 + "\n%s%n%d\n\n" + name31 + "\n\t\xc3\xa9\n");
}

TEST(ListMembers, AnEmptySetPrintsAnEmptyLine)
{
    SimulatedSystem sim;
    sim.set({"EMPTY"});
    ToolRun r = sim.run("listmembers", {"EMPTY"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\n");
}

TEST(ListMembers, WaitsForALateCallback)
{
    SimulatedSystem sim;
    sim.set({"SET", "one"});
    double started = monotonic_now();
    ToolRun r = sim.run("listmembers", {"SET"}, {"KELSIM_CALLBACK_MS=2000"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "one\n");
    EXPECT_GE(r.ended - started, 2.0);
}

TEST(ListMembers, WithoutAnArgumentPrintsUsage)
{
    SimulatedSystem sim;
    ToolRun r = sim.run("listmembers", {});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Usage : \n        listmembers <object-set>\n");
    EXPECT_TRUE(sim.journal().empty());
}

TEST(ListMembersSlow, GivesUpAfterTenSeconds)
{
    SimulatedSystem sim;
    double started = monotonic_now();
    ToolRun r = sim.run("listmembers", {"NOSUCHSET"});
    double took = r.ended - started;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_GE(took, 10.0);
    EXPECT_LT(took, 12.0);
    EXPECT_EQ(sim.journal().size(), 1u) << "booked, never called back";
}

} // namespace
