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

// A started tool: its process and the file that receives its standard output.
struct ToolProcess {
    int pid;
    int out;
    int err;
};

// Waits for a started tool and collects what it did.
ToolRun finish(ToolProcess p);

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
                const std::vector<std::string> &extra_env = {}) const;

    // Runs any program in this system, standard output captured.
    ToolRun run_program(const std::string &path, const std::vector<std::string> &args,
                        const std::vector<std::string> &extra_env = {}) const;

    // Starts build/bin/<tool> without waiting for it; finish() waits and
    // collects it, so that many tools can run at once.
    ToolProcess start(const std::string &tool, const std::vector<std::string> &args,
                      const std::vector<std::string> &extra_env = {}) const;
    ToolProcess start_program(const std::string &path, const std::vector<std::string> &args,
                              const std::vector<std::string> &extra_env = {}) const;

  private:
    std::string dir_;
};

// A journal field for a string: quoted KEL text.
std::string quoted(const std::string &raw);

double monotonic_now();

#endif
