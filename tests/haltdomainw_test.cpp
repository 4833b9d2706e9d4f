// SPDX-License-Identifier: MIT
// haltdomainw, the Windows console build of haltdomain: its image checked
// with objdump and nm, and the program run under wine against the stand-in
// keluirtl.dll built beside it.  Where this host cannot run 32-bit x86
// code, the runs of the 32-bit build are skipped and the same sources,
// built for 64-bit Windows, run under wine64 instead.
#include "tool_harness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace
{

const std::string EXE = std::string(WINDOWS_BIN) + "/haltdomainw.exe";

std::string command_output(const std::string &command)
{
    std::string text;
    FILE *p = popen(command.c_str(), "r");
    char buf[4096];
    size_t got;
    while (p != nullptr && (got = fread(buf, 1, sizeof buf, p)) > 0)
        text.append(buf, got);
    if (p != nullptr)
        pclose(p);
    return text;
}

// The DLL names of the import table, each with the names imported from it.
std::vector<std::pair<std::string, std::string>> imports()
{
    std::vector<std::pair<std::string, std::string>> dlls;
    std::string dump = command_output("i686-w64-mingw32-objdump -p '" + EXE + "'");
    size_t at = 0;
    while ((at = dump.find("DLL Name: ", at)) != std::string::npos) {
        size_t end = dump.find('\n', at);
        size_t next = dump.find("DLL Name: ", end);
        dlls.emplace_back(dump.substr(at + 10, end - at - 10), dump.substr(end, next - end));
        at = end;
    }
    return dlls;
}

TEST(HaltDomainW, IsA32BitConsoleProgramImportingKeluiKillByName)
{
    std::string dump = command_output("i686-w64-mingw32-objdump -p '" + EXE + "'");
    EXPECT_NE(dump.find("file format pei-i386"), std::string::npos);
    EXPECT_NE(dump.find("(PE32)"), std::string::npos);
    EXPECT_NE(dump.find("(Windows CUI)"), std::string::npos);

    bool kelui_kill_by_name = false;
    for (const auto &dll : imports()) {
        if (strcasecmp(dll.first.c_str(), "keluirtl.dll") == 0) {
            // A named import shows its hint and name; an ordinal import has no name.
            kelui_kill_by_name = dll.second.find(" kelui_kill\n") != std::string::npos;
            continue;
        }
        bool system = false;
        for (const char *own : {"KERNEL32.dll", "msvcrt.dll", "USER32.dll", "ADVAPI32.dll"})
            system = system || strcasecmp(dll.first.c_str(), own) == 0;
        system = system || dll.first.rfind("api-ms-win-", 0) == 0;
        EXPECT_TRUE(system) << "imports " << dll.first;
    }
    EXPECT_TRUE(kelui_kill_by_name);
}

TEST(HaltDomainW, CarriesTheWholeTextCodec)
{
    std::string symbols = command_output("i686-w64-mingw32-nm '" + EXE + "'");
    for (const char *f : {"escape_c_char", "escape_kel_char", "decode_escape_sequence",
                          "decode_octal_escape", "decode_hex_escape", "append_bounded",
                          "c_text_to_kel", "kel_text_to_raw", "raw_text_to_kel"}) {
        EXPECT_NE(symbols.find(std::string(" T _") + f + "\n"), std::string::npos) << f;
    }
}

// A build of haltdomainw to run under wine: the shipped 32-bit one, or the
// same sources built for 64-bit Windows, which checks them on hosts that
// cannot run 32-bit x86 code.
struct WindowsBuild {
    std::string exe;
    const char *wine;       // the wine loader for its processor
    const char *wineprefix; // a prefix of the build's own
};

// Runs a program of wine's in a build's prefix with one argument, its
// output thrown away: a server that stays must not hold the test's own
// output.
int wine_program(const WindowsBuild &build, const std::string &program, const char *arg)
{
    std::string prefix = std::string("WINEPREFIX=") + build.wineprefix;
    char *argv[] = {const_cast<char *>(program.c_str()), const_cast<char *>(arg), nullptr};
    char *envp[] = {const_cast<char *>(prefix.c_str()), const_cast<char *>("PATH=/usr/bin:/bin"),
                    const_cast<char *>("WINEDEBUG=-all"), const_cast<char *>("WINEDLLOVERRIDES=mscoree,mshtml="),
                    nullptr};
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        execve(argv[0], argv, envp);
        _exit(127);
    }
    int status = -1;
    if (pid > 0)
        waitpid(pid, &status, 0);
    return status;
}

int wineserver(const WindowsBuild &build, const char *option)
{
    std::string wine = build.wine;
    return wine_program(build, wine.substr(0, wine.rfind('/') + 1) + "wineserver", option);
}

// Debian's wine stops a prefix's server as soon as its last program ends,
// and a program that starts while the server stops fails ("wine client
// error:0: recvmsg: Connection reset by peer").  A test keeps one server
// of its own running from its first run to its end.
class WineServer
{
  public:
    explicit WineServer(const WindowsBuild &build) : build_(build)
    {
        // A prefix folder that wine finds empty is set up at the first run.
        mkdir(build.wineprefix, 0700);
        wineserver(build, "-k"); // one left by an earlier test, if any
        wineserver(build, "-w");
        // The set-up of a prefix goes on in programs of its own after the
        // first run has ended, and one stopped by the -k above is taken up
        // again at the next start: it is run to its end here, so that no
        // run of the test meets it.
        wine_program(build, build.wine, "wineboot");
        wineserver(build, "-w");
        EXPECT_EQ(wineserver(build, "-p"), 0) << "no persistent wine server";
    }
    ~WineServer()
    {
        wineserver(build_, "-k");
        wineserver(build_, "-w");
    }
    WineServer(const WineServer &) = delete;
    WineServer &operator=(const WineServer &) = delete;

  private:
    const WindowsBuild &build_;
};

// Starts a Windows build of haltdomainw under wine against the stand-in.
ToolProcess start_under_wine(const WindowsBuild &build, const SimulatedSystem &sim,
                             const std::vector<std::string> &args, const std::vector<std::string> &env = {})
{
    std::vector<std::string> wine_args = {build.exe};
    wine_args.insert(wine_args.end(), args.begin(), args.end());
    // No Mono or Gecko: a new prefix must not ask for them.
    std::vector<std::string> wine_env = {std::string("WINEPREFIX=") + build.wineprefix, "WINEDEBUG=-all",
                                         "WINEDLLOVERRIDES=mscoree,mshtml=",
                                         std::string("WINELOADER=") + build.wine};
    wine_env.insert(wine_env.end(), env.begin(), env.end());
    return sim.start_program(build.wine, wine_args, wine_env);
}

// haltdomainw says something, on one stream or the other, whenever it
// fails: a run that failed without a word is wine's failure to start it
// (seen once in many runs, on a loaded machine), and is run once more.
ToolRun run_under_wine(const WindowsBuild &build, const SimulatedSystem &sim,
                       const std::vector<std::string> &args, const std::vector<std::string> &env = {})
{
    ToolProcess p = start_under_wine(build, sim, args, env);
    ToolRun r = finish(p);
    if (r.status != 0 && r.out.empty() && r.err.empty()) {
        fprintf(stderr, "wine ended with %d and no output: run again\n", r.status);
        ToolProcess again = start_under_wine(build, sim, args, env);
        r = finish(again);
    }
    return r;
}

void passes_the_first_argument_unchanged(const WindowsBuild &build)
{
    WineServer server(build);
    // The arguments of haltdomain's own tests that a Windows command line
    // can carry: plain 7-bit text, and not beyond its 32767 characters.
    const std::string names[] = {
        "DOM",   "two words",   " lead",      "a/b", "a|b",       "%s%n%x",
        "\"q\"", "back\\slash", "trailing\\", "",    "tab\there", std::string(30000, 'k'),
    };
    for (const std::string &name : names) {
        SimulatedSystem sim;
        sim.domain({"DOM"});
        ToolRun r = run_under_wine(build, sim, {name, "extra"});
        EXPECT_EQ(r.status, 0) << name << ": " << r.err;
        EXPECT_EQ(r.out, "") << name;
        auto journal = sim.journal();
        ASSERT_EQ(journal.size(), 1u) << name;
        EXPECT_EQ(journal[0].call, "kelui_kill");
        EXPECT_EQ(journal[0].fields, quoted(name));
        if (name == "DOM") {
            EXPECT_EQ(sim.show(), "domains:\nobject sets:\nname server debug: off\n");
        }
    }
}

void without_an_argument_prints_usage(const WindowsBuild &build)
{
    WineServer server(build);
    SimulatedSystem sim;
    ToolRun r = run_under_wine(build, sim, {});
    EXPECT_EQ(r.status, 1) << r.err;
    // Standard output is in text mode on Windows: lines end with CR LF.
    EXPECT_EQ(r.out, "Usage : \r\n        haltdomain <domain>\r\n") << r.err;
    EXPECT_TRUE(sim.journal().empty());
}

// The faults that the Windows DLL stages: what it cannot stage is said, a
// call that takes a while makes the run that much longer, the library's
// own file is opened at load, and a block at exit holds the process.
void keeps_to_the_faults(const WindowsBuild &build)
{
    WineServer server(build);
    SimulatedSystem sim;
    sim.domain({"DOM"});
    // The faster of two plain runs: the first may still be setting up wine.
    double plain_took = 1e9;
    for (int run = 0; run < 2; run++) {
        double started = monotonic_now();
        ToolRun plain = run_under_wine(build, sim, {"DOM"});
        plain_took = std::min(plain_took, plain.ended - started);
        EXPECT_EQ(plain.status, 0) << plain.err;
    }

    // Standard error is in text mode on Windows: lines end with CR LF.
    ToolRun r = run_under_wine(build, sim, {"DOM"},
                               {"KELSIM_FAULTS=no-such-fault,heartbeat=5,file-at-load", "KELSIM_CALLBACK_MS=x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "kelsim: KELSIM_CALLBACK_MS: not a number of milliseconds from 0 to 86400000: \"x\"; "
                     "the default 100 is used\r\n"
                     "kelsim: KELSIM_FAULTS: not a fault: \"no-such-fault\"; ignored\r\n"
                     "kelsim: KELSIM_FAULTS: not staged on Windows: \"heartbeat=5\"; ignored\r\n");
    std::string log;
    FILE *f = fopen((sim.dir() + "/library.log").c_str(), "rb");
    char buf[256];
    size_t got = f != nullptr ? fread(buf, 1, sizeof buf, f) : 0;
    if (f != nullptr)
        fclose(f);
    log.assign(buf, got);
    EXPECT_EQ(log.rfind("keluirtl.dll: loaded, log on descriptor ", 0), 0u) << log;

    double started = monotonic_now();
    r = run_under_wine(build, sim, {"DOM"}, {"KELSIM_FAULTS=block=kelui_kill:2000"});
    double blocked_took = r.ended - started;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    // A new prefix may keep wine busy over the first runs: one more plain
    // run, now that it is set up, so the bound is not taken from those.
    started = monotonic_now();
    ToolRun plain = run_under_wine(build, sim, {"DOM"});
    plain_took = std::min(plain_took, plain.ended - started);
    EXPECT_EQ(plain.status, 0) << plain.err;
    EXPECT_GE(blocked_took, plain_took + 1.9);
    EXPECT_LE(blocked_took, plain_took + 3.0);

    // Wine may take seconds to start the program: the hold is timed from
    // the call, once the journal has it.
    size_t calls = sim.journal().size();
    ToolProcess held = start_under_wine(build, sim, {"DOM"}, {"KELSIM_FAULTS=block-at-exit"});
    double deadline = monotonic_now() + 20;
    while (sim.journal().size() == calls && monotonic_now() < deadline &&
           waitpid(held.pid, nullptr, WNOHANG) == 0)
        usleep(50000);
    ASSERT_EQ(sim.journal().size(), calls + 1) << "the call was not made";
    usleep(1500000);
    EXPECT_EQ(waitpid(held.pid, nullptr, WNOHANG), 0) << "ended despite a block at exit";
}

const WindowsBuild PE32 = {EXE, WINE32, WINEPREFIX "32"};

// Skips the test, with the probe's reason, where 32-bit code cannot run.
#define SKIP_WITHOUT_I386()                                                                        \
    do {                                                                                           \
        std::string probe = command_output("sh '" PROBE_I386 "' '" WINE32 "'");                    \
        if (probe != "yes\n")                                                                      \
            GTEST_SKIP() << "32-bit build not run: " << probe;                                     \
    } while (0)

TEST(HaltDomainW, PassesTheFirstArgumentUnchangedUnderWine)
{
    SKIP_WITHOUT_I386();
    passes_the_first_argument_unchanged(PE32);
}

TEST(HaltDomainW, WithoutAnArgumentPrintsUsageUnderWine)
{
    SKIP_WITHOUT_I386();
    without_an_argument_prints_usage(PE32);
}

#ifdef WINDOWS64_BIN
const WindowsBuild PE32_PLUS = {std::string(WINDOWS64_BIN) + "/haltdomainw.exe", WINE64,
                                WINEPREFIX "64"};
#endif

// The faults under the shipped build where this host runs it, else under
// the 64-bit build of the same sources.
TEST(HaltDomainW, KeepsToTheStandInsFaultsUnderWine)
{
    std::string probe = command_output("sh '" PROBE_I386 "' '" WINE32 "'");
    if (probe == "yes\n") {
        keeps_to_the_faults(PE32);
        return;
    }
#ifdef WINDOWS64_BIN
    keeps_to_the_faults(PE32_PLUS);
#else
    GTEST_SKIP() << "32-bit build not run, and no 64-bit build given: " << probe;
#endif
}

#ifdef WINDOWS64_BIN

TEST(HaltDomainW64, PassesTheFirstArgumentUnchangedUnderWine64)
{
    passes_the_first_argument_unchanged(PE32_PLUS);
}

TEST(HaltDomainW64, WithoutAnArgumentPrintsUsageUnderWine64)
{
    without_an_argument_prints_usage(PE32_PLUS);
}
#endif

} // namespace
