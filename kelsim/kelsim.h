// SPDX-License-Identifier: MIT
// The stand-in KEL runtime's shared core: where the simulated system keeps
// its state, how it is stored and changed, and how calls are journalled.
//
// State folder: $KELSIM_DIR, else $XDG_RUNTIME_DIR/kelsim, else
// ${TMPDIR:-/tmp}/kelsim-<uid>.  It must be a real folder (not a symlink),
// owned by the user and writable by no one else; kelsim init creates it
// with mode 0700.
//   lock               taken shared to read, exclusive for every change
//   journal            one record per library call, appended
//   domains/<file>     a running domain: its name, then OPTION TAB VALUE lines
//   sets/<file>        an object set: its name, then one object per line
//   nameserver-debug   "on" or "off"
// A stored file starts with a line "@" and the name; names, options, values
// and objects are written with every byte outside [A-Za-z0-9._-] as %XX.
// The file of a name is "@" and that form when it is short, else "#" and a
// digest of the name.  Temporary files start with ".tmp-", so no stored
// name can collide with one.
#ifndef KELSIM_H
#define KELSIM_H

#include <string>
#include <utility>
#include <vector>

namespace kelsim
{

// Every function that returns bool has printed one line "kelsim: ..." on
// standard error when it returns false, except where *absent or *found is
// set: a missing file or name is no failure.
bool fail(const std::string &what, const std::string &why);

// ---- Files (files.cpp) ----

// An open folder of the state.  On POSIX, its files are reached through
// its descriptor only.
struct folder {
    std::string path;
    int fd = -1;
};

// An open, checked state folder; with create a missing one is made (0700).
bool open_root(const std::string &path, bool create, folder *f);
bool open_subfolder(const folder &parent, const char *name, bool create, folder *sub,
                    bool *absent);
void close_folder(folder *f);

// Regular files only: a symlink, FIFO or device is refused, never waited on.
bool read_file(const folder &f, const std::string &name, std::string *text, bool *absent);
// Replaces a file through a temporary file and a rename.
bool write_file(const folder &f, const std::string &name, const std::string &text);
bool remove_file(const folder &f, const std::string &name, bool *absent);
bool append_file(const folder &f, const std::string &name, const std::string &text);
bool list_files(const folder &f, std::vector<std::string> *names);
// A descriptor open for appending to a regular file (POSIX), or -1.
int open_for_append(const folder &f, const std::string &name);
std::string join(const std::string &folder_path, const std::string &name);

struct state_lock {
    int fd = -1;
    void *handle = nullptr;
};
bool lock_state(const folder &root, bool exclusive, state_lock *l);
void unlock_state(state_lock *l);

// ---- The simulated system (state.cpp) ----

std::string state_dir();

// The state opened for one transaction, under the lock until close_state.
struct state {
    folder root, domains, sets;
    state_lock lock;
};

// Opens an initialised state: shared to read, exclusive to change it.
bool open_state(state *s, bool exclusive);
void close_state(state *s);
// Creates the state folder if need be and empties the simulated system.
bool init_state();

struct domain {
    std::string name;
    std::vector<std::pair<std::string, std::string>> options;
};

struct object_set {
    std::string name;
    std::vector<std::string> objects;
};

bool load_domain(const state &s, const std::string &name, domain *d, bool *found);
bool store_domain(const state &s, const domain &d);
bool remove_domain(const state &s, const std::string &name, bool *found);
bool load_set(const state &s, const std::string &name, object_set *set, bool *found);
bool store_set(const state &s, const object_set &set);
// Every domain and set, sorted by name.
bool load_domains(const state &s, std::vector<domain> *all);
bool load_sets(const state &s, std::vector<object_set> *all);
bool load_debug(const state &s, std::string *value);
bool store_debug(const state &s, const std::string &value);

// The %XX form of a string, and back; decode fails on anything else.
std::string encode(const std::string &raw);
bool decode(const std::string &encoded, std::string *raw);

// A string as KEL text, so that every byte is visible and no raw blank,
// quote, TAB or newline is left: the journal's form.
std::string to_kel(const std::string &raw);

// Journal fields: a quoted string, or a number.
std::string quoted(const char *s);
std::string number(long n);

// Appends "<monotonic seconds> <call> <fields...>" as one record, in one
// write, so that records of concurrent processes never interleave.
void journal(const char *call, const std::vector<std::string> &fields);

// ---- Staged faults (faults.cpp; the list is in $KELSIM_FAULTS) ----

enum class callback_fault { none, never, twice, concurrent, inside };

struct faults {
    callback_fault callback = callback_fault::none;
    int callback_ms = -1; // -1: $KELSIM_CALLBACK_MS or its default
    bool endless_set = false;
    bool unterminated_names = false;
    bool file_at_load = false;
    bool block_at_exit = false;
    int heartbeat_ms = 0;                             // 0: none
    std::vector<std::pair<std::string, int>> blocks; // a call, and milliseconds or -1 for ever
    std::vector<std::string> refused;                // items that are no fault
};

// The faults of $KELSIM_FAULTS, read once per process.
const faults &staged_faults();
// Blocks for ever, or for a while, when the call's block is staged.
void block_if_staged(const char *call);
// The faults of a library's loading (heartbeat, its own file) and unloading.
void stage_faults_at_load(const char *library);
void stage_faults_at_exit();

std::vector<std::string> split_lines(const std::string &text);

// Runs fn(arg) on a detached thread of its own.
void start_thread(void (*fn)(void *), void *arg);
void sleep_ms(int ms);

} // namespace kelsim

#endif
