// SPDX-License-Identifier: MIT
// listmembers against the stand-in runtime, which calls back from a thread
// of its own.
#include "tool_harness.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <filesystem>

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

// Written out by hand, not with the codec: a codec fault cannot hide here.
TEST(ListMembers, JournalsTheSetAndItsNamesAsKelText)
{
    SimulatedSystem sim;
    sim.set({"a/b", "x|y", "it's"});
    EXPECT_EQ(sim.run("listmembers", {"a/b"}).status, 0);
    auto journal = sim.journal();
    ASSERT_EQ(journal.size(), 5u);
    EXPECT_EQ(journal[0].fields, "\"a\\057b\" 12345");
    EXPECT_EQ(journal[2].fields, "1 -> 1 \"x\\174y\"");
    EXPECT_EQ(journal[3].fields, "1 -> 1 \"it\\'s\"");
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

// On a terminal no byte of a name acts on it: each control, raw or
// encoded, and each byte of anything that is not UTF-8 shows as '?'.
// Into a pipe the same names go out byte for byte.
TEST(ListMembers, OnATerminalControlsShowAsQuestionMarks)
{
    const struct {
        const char *name, *shown;
    } cases[] = {
        {"\x1b]0;pwned\a", "?]0;pwned?"},
        {"one\ntwo", "one?two"},
        {"cr\rtab\t", "cr?tab?"},
        {"del\x7f", "del?"},
        {"csi\x9b" "31m", "csi?31m"},             // C1, raw
        {"csi\xc2\x9b" "31m", "csi??31m"},        // C1, UTF-8 encoded
        {"\xc2\x80 \xc2\x9f", "?? ??"},           // the first and last C1
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"\xc2\xa0\xef\xbf\xbd\xf4\x8f\xbf\xbf", "\xc2\xa0\xef\xbf\xbd\xf4\x8f\xbf\xbf"},
        {"over\xc0\xaflong\xe0\x80\x80", "over??long???"},
        {"surrogate\xed\xa0\x80", "surrogate???"},
        {"beyond\xf4\x90\x80\x80", "beyond????"},
        {"cut\xe2\x82", "cut??"},
        {"lone\x80\xbf\xfe\xff", "lone????"},
        {"\xe2\x82x\xf0\x9f\x98", "??x???"},
    };
    SimulatedSystem sim;
    std::vector<std::string> set = {"S"};
    std::string shown, raw;
    for (const auto &c : cases) {
        set.push_back(c.name);
        shown += std::string(c.shown) + "\n";
        raw += std::string(c.name) + "\n";
    }
    sim.set(set);
    ToolRun r = sim.run("listmembers", {"S"}, {}, Stdout::terminal);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, shown);
    r = sim.run("listmembers", {"S"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, raw);

    // 32 bytes and no terminator: a sequence cut at the end of the buffer shows as '?'.
    sim.set({"U", std::string(30, 'u') + "\xe2\x82\xac"});
    r = sim.run("listmembers", {"U"}, {"KELSIM_FAULTS=unterminated-names"}, Stdout::terminal);
    EXPECT_EQ(r.out, std::string(30, 'u') + "??\n");
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

// A callback that comes as the time-out ends: exactly one of the two flows
// ends the process, so every run either lists the whole set once, in
// order, with 0, or prints nothing and ends with 1.  Several runs at once
// on both sides of 10 s, with a set big enough that listing takes a while.
TEST(ListMembersSlow, ACallbackAtTheTimeOutIsNeitherCutNorTorn)
{
    SimulatedSystem sim;
    std::vector<std::string> set = {"BIG"};
    std::string whole;
    for (int i = 0; i < 10000; i++) {
        char name[16];
        snprintf(name, sizeof name, "name%05d", i);
        set.push_back(name);
        whole += std::string(name) + "\n";
    }
    sim.set(set);

    const int delays_ms[] = {9000, 9700, 9850, 9900, 9925, 9950, 9960, 9970, 9980,
                             9990, 9995, 10000, 10005, 10010, 10050, 10300};
    std::vector<ToolProcess> started;
    for (int ms : delays_ms)
        started.push_back(sim.start("listmembers", {"BIG"}, {"KELSIM_CALLBACK_MS=" + std::to_string(ms)}));
    int listed = 0, timed_out = 0;
    for (size_t i = 0; i < started.size(); i++) {
        ToolRun r = finish(started[i]);
        if (r.status == 0) {
            EXPECT_TRUE(r.out == whole) << delays_ms[i] << " ms: " << r.out.size() << " bytes";
            listed++;
        } else {
            EXPECT_EQ(r.status, 1) << delays_ms[i] << " ms";
            EXPECT_EQ(r.out, "") << delays_ms[i] << " ms";
            timed_out++;
        }
    }
    EXPECT_GT(listed, 0) << "the early callbacks list the set";
    EXPECT_GT(timed_out, 0) << "the late callbacks come after the time-out";
}

// A listing that begun in time but never ends (a library call that hangs)
// is given up 5 seconds after the time-out, with 1.
TEST(ListMembersSlow, GivesUpOnAListingThatHangs)
{
    SimulatedSystem sim;
    sim.set({"SET", "one", "two"});
    double started = monotonic_now();
    ToolRun r = sim.run("listmembers", {"SET"}, {"KELSIM_OBJECT_MS=60000"});
    double took = r.ended - started;
    EXPECT_EQ(r.status, 1);
    EXPECT_GE(took, 15.0);
    EXPECT_LT(took, 17.0);
}

} // namespace

namespace
{

const char ENOSPC_ERR[] = "listmembers: write error: No space left on device\n";
const char EBADF_ERR[] = "listmembers: write error: Bad file descriptor\n";
const char EPIPE_ERR[] = "listmembers: write error: Broken pipe\n";
const char ABC[] = "a\nb\nc\n";

std::string numbered_set(SimulatedSystem &sim, const char *name, int n)
{
    std::vector<std::string> set = {name};
    std::string whole;
    for (int i = 0; i < n; i++) {
        set.push_back("object" + std::to_string(i));
        whole += set.back() + "\n";
    }
    sim.set(set);
    return whole;
}

// Every way the library may call back, every way standard output may fail:
// the listing comes out whole with 0, or the tool says what was lost and
// ends with 1.
TEST(ListMembers, KeepsItsPromisesUnderFaults)
{
    SimulatedSystem sim;
    sim.set({"S", "a", "b", "c"});
    std::string big = numbered_set(sim, "BIG", 20000);
    const std::string dots(31, '.');
    std::vector<FaultCase> cases = {
        {"called back twice", {"S"}, {"KELSIM_FAULTS=callback-twice"}, Stdout::captured, 0, ABC, "", 0.1, 2},
        {"two callbacks at once", {"S"}, {"KELSIM_FAULTS=callback-concurrent"}, Stdout::captured, 0, ABC, "", 0.1, 2},
        {"called back inside the booking", {"S"}, {"KELSIM_FAULTS=callback-inside"}, Stdout::captured, 0, ABC, "", 0.1, 2},
        {"called back after 300 ms", {"S"}, {"KELSIM_FAULTS=callback-after=300"}, Stdout::captured, 0, ABC, "", 0.3, 2},
        {"names of 32 bytes, no NUL", {"S"}, {"KELSIM_FAULTS=unterminated-names"}, Stdout::captured, 0,
         "a" + dots + "\nb" + dots + "\nc" + dots + "\n", "", 0.1, 2},
        {"a 5 ms heartbeat", {"BIG"}, {"KELSIM_FAULTS=heartbeat=5"}, Stdout::captured, 0, big, "", 0.1, 8},
        {"stdout full", {"S"}, {}, Stdout::full, 1, "", ENOSPC_ERR, 0.1, 2},
        {"stdout full, 20000 names", {"BIG"}, {}, Stdout::full, 1, "", ENOSPC_ERR, 0.1, 8},
        {"stdout closed", {"S"}, {}, Stdout::closed, 1, "", EBADF_ERR, 0.1, 2},
        {"descriptors 0 to 2 closed", {"S"}, {}, Stdout::all_closed, 1, "", "", 0.1, 2},
        {"the reader gone", {"BIG"}, {}, Stdout::reader_gone, 1, "", EPIPE_ERR, 0.1, 8},
        {"usage, stdout full", {}, {}, Stdout::full, 1, "", ENOSPC_ERR, 0, 2},
    };
    // A delay that is no number of milliseconds is said, and the default used.
    for (const char *bad : {"abc", "-5", "99999999999999999999", "86400001", "1e3", " 5", "+5", "5ms"}) {
        cases.push_back({std::string("KELSIM_CALLBACK_MS=") + bad, {"S"}, {std::string("KELSIM_CALLBACK_MS=") + bad},
                         Stdout::captured, 0, ABC,
                         "kelsim: KELSIM_CALLBACK_MS: not a number of milliseconds from 0 to 86400000: " +
                             quoted(bad) + "; the default 100 is used\n",
                         0.1, 2});
    }
    cases.push_back({"KELSIM_OBJECT_MS=x", {"S"}, {"KELSIM_OBJECT_MS=x"}, Stdout::captured, 0, ABC,
                     "kelsim: KELSIM_OBJECT_MS: not a number of milliseconds from 0 to 86400000: \"x\"; "
                     "the default 0 is used\n",
                     0.1, 2});
    check_fault_cases(sim, "listmembers", cases);
}

// Every deadline holds wherever the library keeps the tool: 10 s for a
// callback that never comes, 15 s for the whole run.
TEST(ListMembersSlow, KeepsItsBoundsUnderFaults)
{
    SimulatedSystem sim;
    sim.set({"S", "a", "b", "c"});
    std::vector<FaultCase> cases = {
        {"never called back, 50 ms heartbeat", {"S"}, {"KELSIM_FAULTS=callback-never,heartbeat=50"},
         Stdout::captured, 1, "", "", 9.9, 10.5},
        {"called back at 8 s, 300 ms heartbeat", {"S"}, {"KELSIM_FAULTS=callback-after=8000,heartbeat=300"},
         Stdout::captured, 0, ABC, "", 8.0, 9.0},
        {"a booking that never returns", {"S"}, {"KELSIM_FAULTS=block=kelui_book_objectsetchange"},
         Stdout::captured, 1, "", "", 10.0, 10.5},
        {"a listing inside the booking that hangs", {"S"},
         {"KELSIM_FAULTS=callback-inside,block=kelui_get_next_object_in_set"}, Stdout::captured, 1, "", "",
         15.0, 15.5},
        {"a set without end", {"S"}, {"KELSIM_FAULTS=endless-set", "KELSIM_OBJECT_MS=1"}, Stdout::captured, 1,
         "a\nb\nc\na\nb\nc\n", "", 15.0, 15.5, true},
        {"exit hangs after the listing", {"S"}, {"KELSIM_FAULTS=block-at-exit"}, Stdout::captured, 0, ABC, "",
         15.0, 15.5},
        {"exit hangs after the time-out", {"S"}, {"KELSIM_FAULTS=block-at-exit,callback-never"},
         Stdout::captured, 1, "", "", 15.0, 15.5},
        {"exit hangs after the usage", {}, {"KELSIM_FAULTS=block-at-exit"}, Stdout::captured, 1,
         "Usage : \n        listmembers <object-set>\n", "", 15.0, 15.5},
    };
    check_fault_cases(sim, "listmembers", cases);
}

} // namespace

namespace
{

// A set without end is listed for 15 s as fast as the library serves it;
// the journal keeps the first 1,000 calls and then one record a second.
TEST(ListMembersSlow, ASetWithoutEndJournalsABoundedAmount)
{
    SimulatedSystem sim;
    sim.set({"S", "a", "b", "c"});
    ToolRun r = sim.run("listmembers", {"S"}, {"KELSIM_FAULTS=endless-set"}, Stdout::discarded);
    EXPECT_EQ(r.status, 1);
    uintmax_t size = 0;
    for (const auto &e : std::filesystem::recursive_directory_iterator(sim.dir()))
        size += e.is_regular_file() ? e.file_size() : 0;
    EXPECT_LT(size, 10u << 20) << "bytes in the state folder";

    auto journal = sim.journal();
    ASSERT_GT(journal.size(), 1002u);
    EXPECT_LT(journal.size(), 1030u);
    EXPECT_EQ(journal[1000].call, "kelui_get_next_object_in_set");
    EXPECT_EQ(journal[1000].fields, "1 -> 1 \"c\"");
    long last = 0;
    for (size_t i = 1002; i < journal.size(); i++) {
        ASSERT_EQ(journal[i].call, "journal-thinned") << i;
        EXPECT_EQ(journal[i].fields.rfind("\"kelui_get_next_object_in_set\" 1 ", 0), 0u);
        long count = strtol(journal[i].fields.c_str() + journal[i].fields.rfind(' '), nullptr, 10);
        EXPECT_GT(count, last);
        last = count;
        if (i > 1002) {
            EXPECT_GE(journal[i].time - journal[i - 1].time, 0.99); // stamped just after the choice
        }
    }
    EXPECT_GT(last, 100000) << "the listing itself goes on";
}

} // namespace
