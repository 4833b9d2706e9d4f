// SPDX-License-Identifier: MIT
#include "tool_harness.h"

#include "stdout_capture.h"

#include "textcodec.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

double monotonic_now()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

std::string quoted(const std::string &raw)
{
    int n = raw_text_to_kel(nullptr, raw.c_str(), 0);
    std::string kel((size_t)n + 1, '\0');
    raw_text_to_kel(&kel[0], raw.c_str(), n);
    kel.resize((size_t)n);
    return '"' + kel + '"';
}

SimulatedSystem::SimulatedSystem()
{
    char path[] = "/tmp/keltools-sim-XXXXXX";
    if (mkdtemp(path) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    dir_ = path;
    if (run("kelsim", {"init"}).status != 0)
        throw std::runtime_error("kelsim init failed");
}

SimulatedSystem::~SimulatedSystem()
{
    std::error_code error;
    std::filesystem::remove_all(dir_, error);
    if (error)
        fprintf(stderr, "could not remove %s: %s\n", dir_.c_str(), error.message().c_str());
}

void SimulatedSystem::domain(const std::vector<std::string> &name_and_options) const
{
    std::vector<std::string> args = {"domain"};
    args.insert(args.end(), name_and_options.begin(), name_and_options.end());
    if (run("kelsim", args).status != 0)
        throw std::runtime_error("kelsim domain failed");
}

void SimulatedSystem::set(const std::vector<std::string> &name_and_objects) const
{
    std::vector<std::string> args = {"set"};
    args.insert(args.end(), name_and_objects.begin(), name_and_objects.end());
    if (run("kelsim", args).status != 0)
        throw std::runtime_error("kelsim set failed");
}

std::string SimulatedSystem::show() const
{
    return run("kelsim", {"show"}).out;
}

std::vector<JournalRecord> SimulatedSystem::journal() const
{
    std::vector<JournalRecord> records;
    std::ifstream in(dir_ + "/journal", std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        JournalRecord r;
        size_t a = line.find(' ');
        size_t b = line.find(' ', a + 1);
        r.time = strtod(line.substr(0, a).c_str(), nullptr);
        r.call = line.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
        r.fields = b == std::string::npos ? "" : line.substr(b + 1);
        records.push_back(r);
    }
    return records;
}

ToolRun SimulatedSystem::run(const std::string &tool, const std::vector<std::string> &args,
                             const std::vector<std::string> &extra_env, Stdout out) const
{
    ToolProcess p = start(tool, args, extra_env, out);
    return finish(p);
}

ToolRun SimulatedSystem::run_program(const std::string &path, const std::vector<std::string> &args,
                                     const std::vector<std::string> &extra_env) const
{
    ToolProcess p = start_program(path, args, extra_env);
    return finish(p);
}

ToolProcess SimulatedSystem::start(const std::string &tool, const std::vector<std::string> &args,
                                   const std::vector<std::string> &extra_env, Stdout out) const
{
    return start_program(std::string(TOOLS_DIR) + "/" + tool, args, extra_env, out);
}

// A pseudo-terminal in raw mode, so that its output arrives as written:
// its master side into *master, its slave side returned.
static int open_terminal(int *master)
{
    *master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (*master < 0 || grantpt(*master) != 0 || unlockpt(*master) != 0)
        throw std::runtime_error("no pseudo-terminal");
    int slave = open(ptsname(*master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios raw;
    if (slave < 0 || tcgetattr(slave, &raw) != 0)
        throw std::runtime_error("cannot open the pseudo-terminal");
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    return slave;
}

// What a terminal's master side receives until its last slave is closed.
static std::string read_terminal(int master)
{
    std::string text;
    char buf[4096];
    ssize_t got;
    while ((got = read(master, buf, sizeof buf)) > 0 || (got < 0 && errno == EINTR)) {
        if (got > 0)
            text.append(buf, (size_t)got);
    }
    return text; // EIO: every slave is closed
}

// The descriptor that becomes a tool's standard output, or -1 for none;
// for a terminal, *master gets its other side.
static int stdout_for(Stdout mode, int captured, int *master)
{
    int pipe_ends[2];
    switch (mode) {
    case Stdout::captured:
        return captured;
    case Stdout::closed:
    case Stdout::all_closed:
        return -1;
    case Stdout::terminal:
        return open_terminal(master);
    case Stdout::discarded:
        return open("/dev/null", O_WRONLY | O_CLOEXEC);
    case Stdout::full:
        return open("/dev/full", O_WRONLY | O_CLOEXEC);
    case Stdout::reader_gone:
        // The reader is gone before the tool starts: every write fails.
        if (pipe2(pipe_ends, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        close(pipe_ends[0]);
        return pipe_ends[1];
    }
    return -1;
}

ToolProcess SimulatedSystem::start_program(const std::string &path,
                                           const std::vector<std::string> &args,
                                           const std::vector<std::string> &extra_env,
                                           Stdout mode) const
{
    // Not inherited by the tools started after this one.
    char out_path[] = "/tmp/keltools-out-XXXXXX";
    char err_path[] = "/tmp/keltools-err-XXXXXX";
    int out = mkostemp(out_path, O_CLOEXEC);
    int err = mkostemp(err_path, O_CLOEXEC);
    if (out < 0 || err < 0)
        throw std::runtime_error("mkstemp failed");
    unlink(out_path);
    unlink(err_path);

    // This system's folder and a few variables of the test's own, each
    // replaced by an extra_env entry of the same name.
    std::vector<std::string> env = {"KELSIM_DIR=" + dir_, "PATH=/usr/bin:/bin"};
    for (const char *keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LLVM_PROFILE_FILE", "HOME",
                             "TMPDIR"}) {
        if (const char *value = getenv(keep))
            env.push_back(std::string(keep) + "=" + value);
    }
    for (const std::string &extra : extra_env) {
        std::string name = extra.substr(0, extra.find('=') + 1);
        for (auto e = env.begin(); e != env.end();)
            e = e->rfind(name, 0) == 0 ? env.erase(e) : e + 1;
        env.push_back(extra);
    }

    std::vector<char *> argv = {const_cast<char *>(path.c_str())};
    argv.reserve(args.size() + 2);
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char *> envp;
    envp.reserve(env.size() + 1);
    for (const std::string &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);

    int master = -1;
    int tool_out = stdout_for(mode, out, &master);
    if (mode != Stdout::captured) {
        close(out);
        out = master;
    }
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (tool_out >= 0)
            dup2(tool_out, STDOUT_FILENO);
        else
            close(STDOUT_FILENO);
        if (mode == Stdout::all_closed) {
            close(STDIN_FILENO);
            close(STDERR_FILENO);
        } else {
            dup2(err, STDERR_FILENO);
        }
        if (mode == Stdout::reader_gone)
            signal(SIGPIPE, SIG_IGN); // kept across execve
        execve(path.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    if (tool_out >= 0 && tool_out != out)
        close(tool_out);
    if (pid < 0)
        throw std::runtime_error("fork failed");
    return ToolProcess(pid, out, err, mode == Stdout::terminal);
}

ToolProcess::ToolProcess(ToolProcess &&other) noexcept
    : pid(other.pid), out(other.out), err(other.err), terminal(other.terminal)
{
    other.pid = -1;
    other.out = -1;
    other.err = -1;
}

ToolProcess::~ToolProcess()
{
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    if (out >= 0)
        close(out);
    if (err >= 0)
        close(err);
}

// Under ThreadSanitizer a process takes a few tenths of a second to start
// and to end, outside the tool's own deadlines; the bounds of a run,
// taken from outside, allow for it there.
#if defined(__SANITIZE_THREAD__)
#define UNDER_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define UNDER_THREAD_SANITIZER 1
#endif
#endif
#ifdef UNDER_THREAD_SANITIZER
static const double START_AND_EXIT_SLACK = 0.5;
#else
static const double START_AND_EXIT_SLACK = 0.0;
#endif

// A sanitizer's report in what a tool said is a failure of the test,
// whether or not the test looks at standard error.
static void no_sanitizer_report(const ToolRun &r)
{
    for (const char *report : {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                               "runtime error: "}) {
        if (r.err.find(report) != std::string::npos)
            ADD_FAILURE() << "process " << r.pid << " reported: " << r.err;
    }
}

ToolRun finish(ToolProcess &p)
{
    int status = 0;
    ToolRun r;
    // A terminal holds little: it is read while the tool writes, until the tool is gone.
    if (p.terminal)
        r.out = read_terminal(p.out);
    waitpid(p.pid, &status, 0);
    r.ended = monotonic_now();
    r.pid = p.pid;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (!p.terminal)
        r.out = p.out >= 0 ? read_whole_file(p.out) : "";
    r.err = read_whole_file(p.err);
    p.pid = -1;
    no_sanitizer_report(r);
    return r;
}

std::vector<ToolRun> finish_all(std::vector<ToolProcess> &started)
{
    std::vector<ToolRun> runs(started.size());
    for (size_t left = started.size(); left > 0; left--) {
        int status = 0;
        pid_t pid = waitpid(-1, &status, 0);
        double ended = monotonic_now();
        for (size_t i = 0; i < started.size(); i++) {
            if (started[i].pid != pid)
                continue;
            ToolProcess &p = started[i];
            ToolRun &r = runs[i];
            r.ended = ended;
            r.pid = pid;
            r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            // What a terminal holds, read after the end: a few kilobytes at most.
            r.out = p.terminal ? read_terminal(p.out) : p.out >= 0 ? read_whole_file(p.out) : "";
            r.err = read_whole_file(p.err);
            p.pid = -1;
            no_sanitizer_report(r);
        }
    }
    return runs;
}

void check_fault_cases(const SimulatedSystem &sim, const std::string &tool,
                       const std::vector<FaultCase> &cases)
{
    std::vector<ToolProcess> started;
    std::vector<double> start_times;
    for (const FaultCase &c : cases) {
        std::vector<std::string> env = c.env;
        std::string faults = "KELSIM_FAULTS=file-at-load";
        for (auto e = env.begin(); e != env.end(); ++e) {
            if (e->rfind("KELSIM_FAULTS=", 0) == 0) {
                faults = *e + ",file-at-load";
                env.erase(e);
                break;
            }
        }
        env.push_back(faults);
        start_times.push_back(monotonic_now());
        started.push_back(sim.start(tool, c.args, env, c.out));
    }
    std::vector<ToolRun> runs = finish_all(started);
    for (size_t i = 0; i < cases.size(); i++) {
        const FaultCase &c = cases[i];
        const ToolRun &r = runs[i];
        double took = r.ended - start_times[i];
        EXPECT_EQ(r.status, c.status) << c.what;
        std::string out = c.out_is_prefix ? r.out.substr(0, c.expect_out.size()) : r.out;
        if (c.out == Stdout::captured) {
            EXPECT_EQ(out, c.expect_out) << c.what;
        }
        EXPECT_EQ(r.err, c.expect_err) << c.what;
        EXPECT_GE(took, c.min_seconds) << c.what;
        EXPECT_LE(took, c.max_seconds + START_AND_EXIT_SLACK) << c.what;
    }

    std::ifstream log(sim.dir() + "/library.log");
    std::string line;
    size_t lines = 0;
    while (std::getline(log, line)) {
        const std::string loaded = "libzun.so: loaded, log on descriptor ";
        ASSERT_EQ(line.rfind(loaded, 0), 0u) << "not the library's: " << line;
        EXPECT_GT(strtol(line.c_str() + loaded.size(), nullptr, 10), 2) << "a standard descriptor was lent";
        lines++;
    }
    EXPECT_EQ(lines, cases.size()) << "one line from each run";
}
