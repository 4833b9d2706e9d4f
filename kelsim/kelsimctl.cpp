// SPDX-License-Identifier: MIT
// kelsim: sets up and shows the simulated KEL system that the stand-in
// libraries act on (see kelsim.h for the state folder).  Failures are
// reported on standard error with what failed and why, output that does
// not reach standard output included; the status is 1 for a failure and 2
// for a wrong command line.
#include "kelsim.h"
#include "toolsupport.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#ifndef KELTOOLS_VERSION
#define KELTOOLS_VERSION "unknown"
#endif

static const char USAGE[] =
    "usage: kelsim init                           an empty simulated system\n"
    "       kelsim domain NAME [OPTION VALUE]...  a running domain and its options\n"
    "       kelsim set NAME [OBJECT]...           an object set\n"
    "       kelsim show                           the state, names as KEL text\n"
    "       kelsim path                           the state folder in use\n"
    "       kelsim --help | --version\n"
    "--help or --version anywhere before a -- prints this or the version;\n"
    "names after -- are taken as they are.  The state folder is $KELSIM_DIR,\n"
    "else $XDG_RUNTIME_DIR/kelsim, else ${TMPDIR:-/tmp}/kelsim-UID.  The\n"
    "libraries stage the faults listed in $KELSIM_FAULTS (see kelsim(1)).\n";

static int usage_error(const char *what)
{
    fprintf(stderr, "kelsim: %s\n", what);
    fputs(USAGE, stderr);
    return 2;
}

// Runs change(folders) as one transaction under the exclusive lock.
template <class F> static int change(F &&f)
{
    kelsim::transaction t(kelsim::transaction::change);
    return t && f(t.folders()) ? 0 : 1;
}

static int domain(int argc, char *argv[])
{
    if (argc < 1)
        return usage_error("domain: no domain name");
    if (argc % 2 != 1)
        return usage_error("domain: an option without a value");
    kelsim::domain d{argv[0], {}};
    for (int i = 1; i + 1 < argc; i += 2)
        d.options.emplace_back(argv[i], argv[i + 1]);
    return change([&](const kelsim::state_folders &s) { return kelsim::store_domain(s, d); });
}

static int set(int argc, char *argv[])
{
    if (argc < 1)
        return usage_error("set: no set name");
    kelsim::object_set objects{argv[0], std::vector<std::string>(argv + 1, argv + argc)};
    return change([&](const kelsim::state_folders &s) { return kelsim::store_set(s, objects); });
}

static std::string shown(const std::string &raw)
{
    return kelsim::quoted(raw.c_str());
}

static int show()
{
    std::vector<kelsim::domain> domains;
    std::vector<kelsim::object_set> sets;
    std::string debug;
    {
        kelsim::transaction t(kelsim::transaction::read);
        if (!t || !kelsim::load_domains(t.folders(), &domains) ||
            !kelsim::load_sets(t.folders(), &sets) || !kelsim::load_debug(t.folders(), &debug))
            return 1;
    }

    std::string text = "domains:\n";
    for (const auto &d : domains) {
        text += "  " + shown(d.name);
        for (const auto &o : d.options)
            text += "  " + shown(o.first) + "=" + shown(o.second);
        text += "\n";
    }
    text += "object sets:\n";
    for (const auto &set : sets) {
        text += "  " + shown(set.name) + ":";
        for (const std::string &o : set.objects)
            text += " " + shown(o);
        text += "\n";
    }
    text += "name server debug: " + debug + "\n";
    // Written in one go, past the buffer: a failure is known here, with its reason.
    if (fwrite(text.data(), 1, text.size(), stdout) != text.size()) {
        write_error("kelsim", errno);
        clearerr(stdout);
        return 1;
    }
    return 0;
}

// The state folder as the libraries use it; on a terminal, quoted if a
// byte of it would act on the terminal.
static int path()
{
    std::string dir = kelsim::state_dir();
    puts(isatty(STDOUT_FILENO) ? kelsim::named(dir).c_str() : dir.c_str());
    return 0;
}

static int command(int argc, char *argv[])
{
    // --help and --version anywhere before a "--", which itself is dropped:
    // what follows it is names, whatever they look like.
    std::vector<char *> args;
    bool help = false, version = false, names = false;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (!names && arg == "--")
            names = true;
        else if (!names && arg == "--help")
            help = true;
        else if (!names && arg == "--version")
            version = true;
        else
            args.push_back(argv[i]);
    }
    if (help) {
        fputs(USAGE, stdout);
        return 0;
    }
    if (version) {
        puts("kelsim (keltools) " KELTOOLS_VERSION);
        return 0;
    }
    if (args.empty())
        return usage_error("no command");
    std::string command = args[0];
    int n = (int)args.size() - 1;
    char **rest = args.data() + 1;
    if (command == "init" && n == 0)
        return kelsim::init_state() ? 0 : 1;
    if (command == "path" && n == 0)
        return path();
    if (command == "show" && n == 0)
        return show();
    if (command == "domain")
        return domain(n, rest);
    if (command == "set")
        return set(n, rest);
    if (command == "init" || command == "show" || command == "path")
        return usage_error((command + ": takes no arguments").c_str());
    return usage_error(("unknown command: " + kelsim::named(command)).c_str());
}

int main(int argc, char *argv[])
{
    int status = command(argc, argv);
    // What did not reach standard output is a failure like any other.
    if (flush_stdout("kelsim") != 0)
        return 1;
    return status;
}
