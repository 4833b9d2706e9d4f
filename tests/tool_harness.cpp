// SPDX-License-Identifier: MIT
#include "tool_harness.h"

#include "stdout_capture.h"

#include "textcodec.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

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
    std::string command = "rm -rf '" + dir_ + "'";
    if (system(command.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", dir_.c_str());
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
                             const std::vector<std::string> &extra_env) const
{
    return run_program(std::string(TOOLS_DIR) + "/" + tool, args, extra_env);
}

ToolRun SimulatedSystem::run_program(const std::string &path, const std::vector<std::string> &args,
                                     const std::vector<std::string> &extra_env) const
{
    return finish(start_program(path, args, extra_env));
}

ToolProcess SimulatedSystem::start(const std::string &tool, const std::vector<std::string> &args,
                                   const std::vector<std::string> &extra_env) const
{
    return start_program(std::string(TOOLS_DIR) + "/" + tool, args, extra_env);
}

ToolProcess SimulatedSystem::start_program(const std::string &path,
                                           const std::vector<std::string> &args,
                                           const std::vector<std::string> &extra_env) const
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
    for (const char *keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "HOME", "TMPDIR"}) {
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
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (const std::string &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);

    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        execve(path.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    if (pid < 0)
        throw std::runtime_error("fork failed");
    return ToolProcess{pid, out, err};
}

ToolRun finish(ToolProcess p)
{
    int status = 0;
    waitpid(p.pid, &status, 0);
    ToolRun r;
    r.ended = monotonic_now();
    r.pid = p.pid;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = read_whole_file(p.out);
    r.err = read_whole_file(p.err);
    close(p.out);
    close(p.err);
    return r;
}
