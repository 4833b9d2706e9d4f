// SPDX-License-Identifier: MIT
// The stand-in runtime under load and against hostile or broken state:
// concurrent changes lose nothing, planted symlinks and FIFOs are refused
// without anything outside the state folder changing or anything
// blocking, any name is stored, and every failure says what went wrong.
#include "tool_harness.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace
{

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// A file outside the state folder that no refused write may touch.
struct Victim {
    std::string path;
    Victim()
    {
        char name[] = "/tmp/keltools-victim-XXXXXX";
        int fd = mkstemp(name);
        close(fd);
        path = name;
        write_file(path, "untouched\n");
    }
    ~Victim()
    {
        unlink(path.c_str());
    }
    bool untouched() const
    {
        return read_file(path) == "untouched\n";
    }
};

std::string show_line(const std::string &domain, const std::string &options = "")
{
    return "  " + quoted(domain) + options + "\n";
}

TEST(KelsimConcurrency, ParallelOptionChangesAreAllKept)
{
    SimulatedSystem sim;
    sim.domain({"DOM", "base", "1"});
    std::vector<ToolProcess> started;
    for (int i = 0; i < 200; i++) {
        std::string n = std::to_string(i);
        started.push_back(sim.start("tunedomain", {"DOM", "opt" + n, "val" + n}));
    }
    for (ToolProcess &p : started)
        EXPECT_EQ(finish(p).status, 0);
    std::string shown = sim.show();
    EXPECT_NE(shown.find("\"base\"=\"1\""), std::string::npos);
    for (int i = 0; i < 200; i++) {
        std::string n = std::to_string(i);
        EXPECT_NE(shown.find("\"opt" + n + "\"=\"val" + n + "\""), std::string::npos) << n;
    }
}

TEST(KelsimConcurrency, AKilledDomainStaysKilled)
{
    SimulatedSystem sim;
    std::vector<ToolProcess> started;
    for (int i = 0; i < 40; i++) {
        std::string dom = "DOM" + std::to_string(i);
        sim.domain({dom, "base", "1"});
        started.push_back(sim.start("tunedomain", {dom, "opt", "val"}));
        started.push_back(sim.start("haltdomain", {dom}));
    }
    for (ToolProcess &p : started)
        EXPECT_EQ(finish(p).status, 0);
    EXPECT_EQ(sim.show(), "domains:\nobject sets:\nname server debug: off\n");
}

TEST(KelsimConcurrency, ParallelSetsAllSucceedAndLeaveOneWholeList)
{
    SimulatedSystem sim;
    std::vector<ToolProcess> started;
    for (int i = 0; i < 20; i++) {
        std::string n = std::to_string(i);
        started.push_back(sim.start("kelsim", {"set", "SET", "a" + n, "b" + n, "c" + n}));
    }
    for (ToolProcess &p : started) {
        ToolRun r = finish(p);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
    }
    std::set<std::string> whole;
    for (int i = 0; i < 20; i++) {
        std::string n = std::to_string(i);
        whole.insert("domains:\nobject sets:\n  \"SET\": \"a" + n + "\" \"b" + n + "\" \"c" + n +
                     "\"\nname server debug: off\n");
    }
    EXPECT_EQ(whole.count(sim.show()), 1u) << sim.show();
}

TEST(KelsimSafety, PlantedSymlinksAreRefusedAndChangeNothingOutside)
{
    struct Case {
        const char *planted; // where the symlink goes, relative to the state folder
        const char *tool;
        std::vector<std::string> args;
        const char *message;
    };
    const Case cases[] = {
        {"journal", "haltdomain", {"DOM"}, "journal: a symbolic link; refused"},
        {"journal", "nametrace", {"1"}, "journal: a symbolic link; refused"},
        {"domains/@DOM", "tunedomain", {"DOM", "opt", "val"}, "@DOM: a symbolic link; refused"},
        {"domains/@DOM", "kelsim", {"show"}, "@DOM: a symbolic link; refused"},
        {"nameserver-debug", "kelsim", {"show"}, "nameserver-debug: a symbolic link; refused"},
        {"lock", "tunedomain", {"DOM", "opt", "val"}, "lock: a symbolic link; refused"},
        {"domains", "kelsim", {"show"}, "domains: a symbolic link, not a folder; refused"},
    };
    for (const Case &c : cases) {
        SimulatedSystem sim;
        Victim victim;
        std::string planted = sim.dir() + "/" + c.planted;
        unlink(planted.c_str());
        rmdir(planted.c_str());
        ASSERT_EQ(symlink(victim.path.c_str(), planted.c_str()), 0);
        ToolRun r = sim.run(c.tool, c.args);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.planted << ": " << r.err;
        EXPECT_EQ(r.err.rfind("kelsim: ", 0), 0u) << r.err;
        EXPECT_TRUE(victim.untouched()) << c.planted;
    }

    // The names that writers once shared are never written through.
    SimulatedSystem sim;
    Victim victim;
    sim.domain({"DOM"});
    for (const char *old : {"domains/@DOM.new", "nameserver-debug.new"})
        ASSERT_EQ(symlink(victim.path.c_str(), (sim.dir() + "/" + old).c_str()), 0);
    EXPECT_EQ(sim.run("tunedomain", {"DOM", "opt", "val"}).err, "");
    EXPECT_EQ(sim.run("nametrace", {"1"}).err, "");
    // A file of another name in the state's root: init leaves the folder alone.
    EXPECT_EQ(sim.run("kelsim", {"init"}).err,
              "kelsim: " + sim.dir() +
                  ": holds what is not the state's: \"nameserver-debug.new\"; nothing was removed\n");
    EXPECT_TRUE(victim.untouched());
}

TEST(KelsimSafety, TheStateFolderItselfMustBePrivate)
{
    SimulatedSystem sim;
    std::string link = sim.dir() + "-link";
    ASSERT_EQ(symlink(sim.dir().c_str(), link.c_str()), 0);
    // However it is spelt, the folder is reached through the link.
    std::string relative = std::filesystem::path(link).lexically_relative(std::filesystem::current_path()).string();
    for (const std::string &dir : {link, link + "/", link + "/.", link + "//.", link + "/./",
                                   sim.dir() + "/../" + std::filesystem::path(link).filename().string(),
                                   relative, relative + "/."}) {
        ToolRun r = sim.run("kelsim", {"domain", "DOM"}, {"KELSIM_DIR=" + dir});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "kelsim: " + link + ": a symbolic link, not a folder; refused\n");
        r = sim.run("haltdomain", {"DOM"}, {"KELSIM_DIR=" + dir});
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.err.find("a symbolic link"), std::string::npos) << dir;
        EXPECT_EQ(sim.run("kelsim", {"path"}, {"KELSIM_DIR=" + dir}).out, link + "\n") << dir;
    }
    // A link on the way to the folder is not the folder: ".." leaves where the link leads.
    std::filesystem::create_directory(sim.dir() + "/sub");
    std::string via = link + "/sub/..";
    EXPECT_EQ(sim.run("kelsim", {"path"}, {"KELSIM_DIR=" + via}).out, sim.dir() + "\n");
    EXPECT_EQ(sim.run("kelsim", {"show"}, {"KELSIM_DIR=" + via}).status, 0);
    unlink(link.c_str());
    EXPECT_TRUE(sim.journal().empty()) << "nothing journalled through a link";

    chmod(sim.dir().c_str(), 0777);
    ToolRun r = sim.run("kelsim", {"show"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "kelsim: " + sim.dir() +
                  ": writable by group or others; chmod go-w it or use another folder\n");
    EXPECT_NE(sim.run("tunedomain", {"DOM", "o", "v"}).err.find("writable by group or others"),
              std::string::npos);
    EXPECT_FALSE(sim.run("haltdomain", {"DOM"}).err.empty());
    chmod(sim.dir().c_str(), 0700);
    EXPECT_TRUE(sim.journal().empty()) << "nothing journalled in a refused folder";
}

TEST(KelsimSafety, AFolderOfAnotherUserIsRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "giving a folder to another user needs root";
    SimulatedSystem sim;
    Victim victim;
    // Another user's folder, open to all, with a journal that points at our file.
    ASSERT_EQ(symlink(victim.path.c_str(), (sim.dir() + "/journal").c_str()), 0);
    ASSERT_EQ(chown(sim.dir().c_str(), 65534, 65534), 0);
    chmod(sim.dir().c_str(), 0777);
    ToolRun r = sim.run("haltdomain", {"DOM"});
    EXPECT_EQ(r.err, "kelsim: " + sim.dir() + ": owned by another user (uid 65534)\n");
    r = sim.run("tunedomain", {"DOM", "opt", "val"});
    EXPECT_NE(r.err.find("owned by another user"), std::string::npos);
    EXPECT_TRUE(victim.untouched());
    chmod(sim.dir().c_str(), 0700);
    ASSERT_EQ(chown(sim.dir().c_str(), 0, 0), 0);
}

TEST(KelsimSafety, FifosAreRefusedWithoutWaiting)
{
    struct Case {
        const char *fifo;
        const char *tool;
        std::vector<std::string> args;
    };
    const Case cases[] = {
        {"journal", "haltdomain", {"DOM"}},
        {"journal", "listmembers", {"NOSET"}},
        {"domains/@DOM", "kelsim", {"show"}},
        {"domains/@DOM", "tunedomain", {"DOM", "opt", "val"}},
        {"sets/@SET", "listmembers", {"SET"}},
    };
    for (const Case &c : cases) {
        SimulatedSystem sim;
        ASSERT_EQ(mkfifo((sim.dir() + "/" + c.fifo).c_str(), 0600), 0);
        double started = monotonic_now();
        // listmembers waits out its 10 s for a set it cannot read; the rest end at once.
        ToolProcess p = sim.start(c.tool, c.args);
        if (std::string(c.tool) == "listmembers") {
            usleep(300000);
            kill(p.pid, SIGTERM);
        }
        ToolRun r = finish(p);
        EXPECT_LT(r.ended - started, 2.0) << c.fifo << " " << c.tool;
        EXPECT_NE(r.err.find(std::string(c.fifo) + ": not a regular file"), std::string::npos)
            << c.fifo << " " << c.tool << ": " << r.err;
    }
}

TEST(KelsimNames, AnyNameIsStoredChangedAndKilled)
{
    std::string every_byte;
    for (int c = 1; c < 256; c++)
        every_byte += (char)c;
    const std::string names[] = {
        "",
        "/",
        "..",
        ".",
        every_byte,
        "line\nbreak",
        "%ZZ",
        "@DOM",
        ".tmp-1-0",
        std::string(250, 'n'),
        std::string(251, 'n'),
        std::string(300, 'n'),
        std::string(84, '/'),
        std::string(100000, 'x'),
    };
    for (const std::string &name : names) {
        SimulatedSystem sim;
        sim.domain({"A", "k", "a"});
        sim.domain({"A.new", "k", "b"});
        sim.domain({name, "k", "1"});
        EXPECT_EQ(sim.run("tunedomain", {name, "opt", "val"}).err, "") << name.size();
        std::string shown = sim.show();
        EXPECT_NE(shown.find(show_line(name, "  \"k\"=\"1\"  \"opt\"=\"val\"")), std::string::npos)
            << name.size() << ": " << shown.substr(0, 300);

        EXPECT_EQ(sim.run("haltdomain", {name}).err, "") << name.size();
        EXPECT_EQ(sim.show(), "domains:\n" + show_line("A", "  \"k\"=\"a\"") +
                                  show_line("A.new", "  \"k\"=\"b\"") +
                                  "object sets:\nname server debug: off\n")
            << name.size();

        sim.set({name, "one", name});
        EXPECT_EQ(sim.run("listmembers", {name}).status, 0) << name.size();
    }
}

// A name's file keeps letters, digits, '.', '_' and '-' as they are and
// writes every other byte as %XX, while that is at most 128 bytes; a
// longer form is a digest.  The bytes at each end of the kept ranges.
TEST(KelsimNames, FileNamesKeepOnlyLettersDigitsAndThreeMarks)
{
    const struct {
        std::string name, file;
    } cases[] = {
        {"azAZ09._-", "@azAZ09._-"},
        {"`{@[/:", "@%60%7B%40%5B%2F%3A"},
        {",+~ %", "@%2C%2B%7E%20%25"},
        {std::string("\x01\x7f\x80\xff", 4), "@%01%7F%80%FF"},
        {std::string(128, 'n'), "@" + std::string(128, 'n')},
        {std::string(42, '/') + "ab", "@" + [] {
             std::string f;
             for (int i = 0; i < 42; i++)
                 f += "%2F";
             return f;
         }() + "ab"},
        {std::string(129, 'n'), "#"},
        {std::string(43, '/'), "#"},
    };
    for (const auto &c : cases) {
        SimulatedSystem sim;
        sim.domain({c.name, "k", "v"});
        std::vector<std::string> files;
        for (const auto &entry : std::filesystem::directory_iterator(sim.dir() + "/domains"))
            files.push_back(entry.path().filename().string());
        ASSERT_EQ(files.size(), 1u) << c.file;
        if (c.file == "#") {
            EXPECT_EQ(files[0].size(), 33u) << files[0];
            EXPECT_EQ(files[0].find_first_not_of("0123456789abcdef", 1), std::string::npos) << files[0];
            EXPECT_EQ(files[0][0], '#');
        } else {
            EXPECT_EQ(files[0], c.file);
        }
    }
}

// Where the state folder cannot be made, the reason is the system's own.
TEST(KelsimCommands, AFolderThatCannotBeMadeSaysWhy)
{
    // A pseudo file system refuses new folders even to root.
    const std::string path = "/sys/keltools-test-folder";
    errno = 0;
    if (mkdir(path.c_str(), 0700) == 0) {
        rmdir(path.c_str());
        GTEST_SKIP() << path << " could be made on this host";
    }
    const std::string why = strerror(errno);
    SimulatedSystem sim;
    ToolRun r = sim.run("kelsim", {"init"}, {"KELSIM_DIR=" + path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kelsim: " + path + ": " + why + "\n");
}

TEST(KelsimCommands, EveryFailureSaysWhatWentWrong)
{
    SimulatedSystem sim;
    const std::vector<std::string> helps[] = {
        {"--help"}, {"--help", "x"}, {"domain", "D", "--help"}, {"bogus", "--help"}, {"--version", "--help"},
    };
    ToolRun r;
    for (const auto &args : helps) {
        r = sim.run("kelsim", args);
        EXPECT_EQ(r.status, 0) << args[0];
        EXPECT_EQ(r.out.rfind("usage: kelsim init", 0), 0u) << args[0];
        EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(sim.run("kelsim", {"set", "--version"}).out, "kelsim (keltools) 1.1.0\n");
    // After "--" every argument is a name.
    EXPECT_EQ(sim.run("kelsim", {"set", "S", "--", "--help", "--"}).status, 0);
    EXPECT_EQ(sim.show(), "domains:\nobject sets:\n  \"S\": \"--help\" \"--\"\nname server debug: off\n");

    const std::vector<std::string> wrong[] = {
        {}, {"bogus"}, {"init", "x"}, {"show", "x"}, {"domain"}, {"domain", "D", "opt"}, {"set"},
    };
    for (const auto &args : wrong) {
        r = sim.run("kelsim", args);
        EXPECT_EQ(r.status, 2) << args.size();
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("\nusage: kelsim init"), std::string::npos) << r.err;
    }

    r = sim.run("kelsim", {"path"});
    EXPECT_EQ(r.out, sim.dir() + "\n");
    r = sim.run("kelsim", {"path"}, {"KELSIM_DIR=" + sim.dir() + "//./domains/../"});
    EXPECT_EQ(r.out, sim.dir() + "\n");

    // What names a path or a value from outside is quoted where a byte of it would act on a terminal.
    r = sim.run("kelsim", {"\x1b[2J"});
    EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), "kelsim: unknown command: \"\\033[2J\"\n");
    std::string hostile = sim.dir() + "/a\nb\x1b]0;x\a";
    r = sim.run("kelsim", {"show"}, {"KELSIM_DIR=" + hostile});
    EXPECT_EQ(r.err, "kelsim: " + ::quoted(hostile) + ": the state folder does not exist (run kelsim init)\n");
    r = sim.run("haltdomain", {"DOM"}, {"KELSIM_DIR=" + hostile, "KELSIM_FAULTS=no\x1b[2J"});
    EXPECT_EQ(r.err, "kelsim: KELSIM_FAULTS: not a fault: \"no\\033[2J\"; ignored\n"
                     "kelsim: " + ::quoted(hostile) + ": the state folder does not exist (run kelsim init)\n");

    // A folder that was never initialised, and one that is missing.
    char fresh[] = "/tmp/keltools-fresh-XXXXXX";
    ASSERT_NE(mkdtemp(fresh), nullptr);
    for (const char *command : {"show", "domain", "set"}) {
        r = sim.run("kelsim", {command, "NAME"}, {std::string("KELSIM_DIR=") + fresh});
        if (std::string(command) == "show")
            r = sim.run("kelsim", {command}, {std::string("KELSIM_DIR=") + fresh});
        EXPECT_EQ(r.status, 1) << command;
        EXPECT_EQ(r.err, std::string("kelsim: ") + fresh +
                             ": not an initialised state folder (run kelsim init)\n")
            << command;
    }
    std::string missing = std::string(fresh) + "/missing";
    r = sim.run("kelsim", {"set", "S"}, {"KELSIM_DIR=" + missing});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kelsim: " + missing + ": the state folder does not exist (run kelsim init)\n");

    // init creates a missing folder privately, but not over a file where a folder belongs.
    EXPECT_EQ(sim.run("kelsim", {"init"}, {"KELSIM_DIR=" + missing}).status, 0);
    struct stat st;
    ASSERT_EQ(stat(missing.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    std::filesystem::remove_all(missing + "/domains");
    write_file(missing + "/domains", "a file\n");
    r = sim.run("kelsim", {"init"}, {"KELSIM_DIR=" + missing});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kelsim: " + missing + "/domains: not a folder\n");
    std::filesystem::remove_all(fresh);

    // A read-only folder.
    if (geteuid() != 0) {
        chmod(sim.dir().c_str(), 0500);
        r = sim.run("kelsim", {"domain", "D"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("Permission denied"), std::string::npos) << r.err;
        chmod(sim.dir().c_str(), 0700);
    }
}

TEST(KelsimCommands, OutputThatDoesNotArriveIsAFailure)
{
    SimulatedSystem sim;
    // A state bigger than any stdio buffer, so that writes fail before the last flush.
    std::vector<std::string> set = {"BIG"};
    for (int i = 0; i < 5000; i++)
        set.push_back("object" + std::to_string(i));
    sim.set(set);
    const struct {
        Stdout out;
        const char *err;
    } outs[] = {
        {Stdout::full, "kelsim: write error: No space left on device\n"},
        {Stdout::closed, "kelsim: write error: Bad file descriptor\n"},
        {Stdout::reader_gone, "kelsim: write error: Broken pipe\n"},
    };
    for (const char *command : {"show", "path", "--help", "--version"}) {
        for (const auto &o : outs) {
            ToolRun r = sim.run("kelsim", {command}, {}, o.out);
            EXPECT_EQ(r.status, 1) << command << " " << o.err;
            EXPECT_EQ(r.err, o.err) << command;
        }
    }
}

TEST(KelsimCommands, AStateFileThatDoesNotParseIsReportedAndKept)
{
    const struct {
        const char *text;
        const char *where;
    } cases[] = {
        {"@DOM\nmaxload\t10\nnotab\n", ":3: not OPTION TAB VALUE"},
        {"@DOM\nmaxload\t%ZZ\n", ":2: a field is not %XX-encoded text"},
        {"DOM\n", ":1: not a name line"},
        {"@DOM\nmaxload\t10", ":2: the last line has no newline"},
    };
    for (const auto &c : cases) {
        SimulatedSystem sim;
        std::string path = sim.dir() + "/domains/@DOM";
        write_file(path, c.text);
        ToolRun r = sim.run("tunedomain", {"DOM", "maxload", "20"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err.rfind("kelsim: " + path + c.where, 0), 0u) << r.err;
        r = sim.run("kelsim", {"show"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.rfind("kelsim: " + path + c.where, 0), 0u) << r.err;
        EXPECT_EQ(read_file(path), c.text) << "rewritten";
    }
}

TEST(KelsimCommands, TheDefaultFolderIsPrivateToTheUser)
{
    char tmp[] = "/tmp/keltools-default-XXXXXX";
    ASSERT_NE(mkdtemp(tmp), nullptr);
    SimulatedSystem sim;
    const std::vector<std::string> env = {"KELSIM_DIR=", std::string("TMPDIR=") + tmp};
    std::string expected = std::string(tmp) + "/kelsim-" + std::to_string(getuid());
    EXPECT_EQ(sim.run("kelsim", {"path"}, env).out, expected + "\n");
    EXPECT_EQ(sim.run("kelsim", {"path"}, {"KELSIM_DIR=", "XDG_RUNTIME_DIR=/run/user/7"}).out,
              "/run/user/7/kelsim\n");
    EXPECT_EQ(sim.run("kelsim", {"init"}, env).status, 0);
    struct stat st;
    ASSERT_EQ(lstat(expected.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    std::filesystem::remove_all(tmp);
}

} // namespace

namespace
{

// Files of someone's own in a folder: what init must leave as it is.
std::map<std::string, std::string> tree(const std::string &dir)
{
    std::map<std::string, std::string> files;
    for (const auto &e : std::filesystem::recursive_directory_iterator(dir)) {
        std::string name = e.path().string().substr(dir.size());
        files[name] = e.is_regular_file() ? read_file(e.path().string()) : "<folder>";
    }
    return files;
}

TEST(KelsimInit, EmptiesOnlyAStateOfItsOwn)
{
    SimulatedSystem sim;
    char own[] = "/tmp/keltools-own-XXXXXX";
    ASSERT_NE(mkdtemp(own), nullptr);
    const std::string dir = own;
    for (const char *name : {"journal", "@todo", "#ideas", "lock"})
        write_file(dir + "/" + name, std::string("mine: ") + name + "\n");
    std::filesystem::create_directory(dir + "/sets");
    write_file(dir + "/sets/@plan", "@plan\nmine\n");
    const auto before = tree(dir);
    ToolRun r = sim.run("kelsim", {"init"}, {"KELSIM_DIR=" + dir});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kelsim: " + dir +
                         ": not empty, and not a state folder of kelsim init's (no kelsim-state): it holds "
                         "\"#ideas\", \"@todo\", \"journal\", \"lock\", \"sets\"; nothing was removed\n");
    EXPECT_EQ(tree(dir), before);
    std::filesystem::remove_all(dir);

    // Its own state, emptied, but for files of someone else's in it.
    sim.domain({"DOM", "k", "v"});
    sim.set({"SET", "a"});
    EXPECT_EQ(sim.run("haltdomain", {"X"}).status, 0);
    write_file(sim.dir() + "/notes", "mine\n");
    write_file(sim.dir() + "/sets/notes", "mine\n");
    const auto marked = tree(sim.dir());
    r = sim.run("kelsim", {"init"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kelsim: " + sim.dir() +
                         ": holds what is not the state's: \"notes\", sets/\"notes\"; nothing was removed\n");
    EXPECT_EQ(tree(sim.dir()), marked);
    unlink((sim.dir() + "/notes").c_str());
    unlink((sim.dir() + "/sets/notes").c_str());
    r = sim.run("kelsim", {"init"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(sim.show(), "domains:\nobject sets:\nname server debug: off\n");
    EXPECT_TRUE(sim.journal().empty());
}

} // namespace
