// SPDX-License-Identifier: MIT
// Runs the built tools against the stand-in runtime, each test in a fresh
// simulated system of its own, and reads back what they did.
#ifndef TOOL_HARNESS_H
#define TOOL_HARNESS_H

#include <string>
#include <vector>

struct ToolRun {
    int status;      // exit status, or 128 + signal
    std::string out; // standard output, byte for byte
    std::string err; // standard error
    double ended;    // CLOCK_MONOTONIC seconds when the process was reaped
    int pid;
};

// Where a tool's standard output goes.
enum class Stdout {
    captured,    // a file, read back into ToolRun::out
    closed,      // descriptor 1 closed
    full,        // /dev/full: every write fails with ENOSPC
    reader_gone, // a pipe without a reader, SIGPIPE ignored: EPIPE
    terminal,    // a pseudo-terminal in raw mode, read back into ToolRun::out
    discarded,   // /dev/null
    all_closed,  // descriptors 0, 1 and 2 closed: nothing read, nothing said
};

// A started tool: its process and the files that receive its output.  It
// owns them: a process that is never finished is killed and reaped.
class ToolProcess
{
  public:
    ToolProcess(int pid, int out, int err, bool terminal = false)
        : pid(pid), out(out), err(err), terminal(terminal)
    {
    }
    ToolProcess(ToolProcess &&other) noexcept;
    ToolProcess(const ToolProcess &) = delete;
    ToolProcess &operator=(const ToolProcess &) = delete;
    ~ToolProcess();

    int pid;
    int out; // -1 when standard output is not captured
    int err;
    bool terminal; // out is a terminal's master side, read as the tool writes
};

// Waits for a started tool and collects what it did.
ToolRun finish(ToolProcess &p);
// Waits for all of them, each reaped as it ends so that ToolRun::ended is true.
std::vector<ToolRun> finish_all(std::vector<ToolProcess> &started);

struct JournalRecord {
    double time; // CLOCK_MONOTONIC seconds
    std::string call;
    std::string fields; // the rest of the record, after the call's name
};

class SimulatedSystem
{
  public:
    SimulatedSystem();
    ~SimulatedSystem();

    void domain(const std::vector<std::string> &name_and_options) const;
    void set(const std::vector<std::string> &name_and_objects) const;
    std::string show() const;
    std::vector<JournalRecord> journal() const;
    const std::string &dir() const
    {
        return dir_;
    }

    // Runs build/bin/<tool> with the arguments; extra_env entries are
    // NAME=VALUE, and one for KELSIM_DIR takes the place of this system's.
    ToolRun run(const std::string &tool, const std::vector<std::string> &args,
                const std::vector<std::string> &extra_env = {},
                Stdout out = Stdout::captured) const;

    // Runs any program in this system, standard output captured.
    ToolRun run_program(const std::string &path, const std::vector<std::string> &args,
                        const std::vector<std::string> &extra_env = {}) const;

    // Starts build/bin/<tool> without waiting for it; finish() waits and
    // collects it, so that many tools can run at once.
    ToolProcess start(const std::string &tool, const std::vector<std::string> &args,
                      const std::vector<std::string> &extra_env = {},
                      Stdout out = Stdout::captured) const;
    ToolProcess start_program(const std::string &path, const std::vector<std::string> &args,
                              const std::vector<std::string> &extra_env = {},
                              Stdout mode = Stdout::captured) const;

  private:
    std::string dir_;
};

// One run of a tool against a misbehaving library or a broken standard
// output, and what the tool must do all the same.
struct FaultCase {
    std::string what; // named in a failure
    std::vector<std::string> args;
    std::vector<std::string> env; // KELSIM_FAULTS=... and other variables
    Stdout out;
    int status;
    std::string expect_out; // the whole standard output, where captured
    std::string expect_err; // the whole standard error
    double min_seconds, max_seconds;
    bool out_is_prefix = false; // the output only begins with expect_out
};

// Runs every case at once in the system, each with the library's own file
// opened at load as well, and checks each; that file must then hold
// nothing but the library's lines, on descriptors above 2.
void check_fault_cases(const SimulatedSystem &sim, const std::string &tool,
                       const std::vector<FaultCase> &cases);

// A journal field for a string: quoted KEL text.
std::string quoted(const std::string &raw);

double monotonic_now();

#endif
