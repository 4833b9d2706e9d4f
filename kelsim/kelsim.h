// SPDX-License-Identifier: MIT
// The stand-in KEL runtime's shared core: where the simulated system keeps
// its state, how it is stored and changed, and how calls are journalled.
//
// State folder: $KELSIM_DIR, else $XDG_RUNTIME_DIR/kelsim, else
// ${TMPDIR:-/tmp}/kelsim-<uid>, made absolute, with "." components and
// repeated slashes dropped and ".." resolved on the folders it names.  It
// must be a real folder (not a symlink), owned by the user and writable
// by no one else; kelsim init creates it with mode 0700.
//   kelsim-state       what kelsim init writes first: the mark of a state
//                      folder, the one kind of folder that init empties
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

// Every function that returns bool, or a lookup, has printed one line
// "kelsim: ..." on standard error when it fails; a missing file or name
// (lookup::absent) is no failure.
// what, a path or a name from outside, is written as named() shows it.
bool fail(const std::string &what, const std::string &why);
// fail() with strerror(errno) as the reason.
bool fail_errno(const std::string &what);

// What a look-up found.
enum class lookup { found, absent, failed };

// ---- Files (files.cpp; the POSIX half in files_posix.cpp, the Windows
// half in files_windows.cpp, each with the same interface) ----

// An open folder of the state.  On POSIX, its files are reached through
// its descriptor only.
struct folder {
    std::string path;
    int fd = -1;
};

// An open, checked state folder; with create a missing one is made (0700).
// A refused folder is reported once per process: a library opens it on
// every call, and one line says why.
bool open_root(const std::string &path, bool create, folder *f);
lookup open_subfolder(const folder &parent, const char *name, bool create, folder *sub);
void close_folder(folder *f);

// Regular files only: a symlink, FIFO or device is refused, never waited on.
lookup read_file(const folder &f, const std::string &name, std::string *text);
// Replaces a file through a temporary file and a rename.
bool write_file(const folder &f, const std::string &name, const std::string &text);
lookup remove_file(const folder &f, const std::string &name);
bool append_file(const folder &f, const std::string &name, const std::string &text);
// A descriptor open for appending to a regular file, or -1.
int open_for_append(const folder &f, const std::string &name);
bool list_files(const folder &f, std::vector<std::string> *names);
std::string join(const std::string &folder_path, const std::string &name);
// The absolute path that a written one names: "." components and repeated
// slashes dropped, ".." resolved on the folders that precede it (so that
// "real/../link" is "link" however "real" is reached); the last component
// is left for the caller to open without following it.
std::string resolve_path(const std::string &written);
// A name for a temporary file that no stored name and no other temporary
// file of this process can take (O_EXCL keeps other processes' apart).
std::string temporary_name();

struct state_lock {
    int fd = -1;
    void *handle = nullptr;
};
bool lock_state(const folder &root, bool exclusive, state_lock *l);
void unlock_state(state_lock *l);

// ---- The simulated system (state.cpp) ----

std::string state_dir();

// The folders of the state, open for one transaction.
struct state_folders {
    folder root, domains, sets;
};

// One transaction on the state: the folders are open and the lock held
// from construction to destruction, whichever way the caller leaves.
class transaction
{
  public:
    enum mode {
        read,   // the shared lock
        change, // the exclusive lock
        create, // the exclusive lock, the folders made where missing
    };
    explicit transaction(mode m);
    ~transaction();
    transaction(const transaction &) = delete;
    transaction &operator=(const transaction &) = delete;

    // False when the state could not be opened (and that was said).
    explicit operator bool() const
    {
        return open_;
    }
    const state_folders &folders() const
    {
        return folders_;
    }

  private:
    state_folders folders_;
    state_lock lock_;
    bool open_ = false;
};

// Creates the state folder if need be and empties the simulated system:
// a folder that holds anything but a state of kelsim init's is refused,
// with what it holds, and nothing in it is removed.
bool init_state();

struct domain {
    std::string name;
    std::vector<std::pair<std::string, std::string>> options;
};

struct object_set {
    std::string name;
    std::vector<std::string> objects;
};

lookup load_domain(const state_folders &s, const std::string &name, domain *d);
bool store_domain(const state_folders &s, const domain &d);
lookup remove_domain(const state_folders &s, const std::string &name);
lookup load_set(const state_folders &s, const std::string &name, object_set *set);
bool store_set(const state_folders &s, const object_set &set);
// Every domain and set, sorted by name.
bool load_domains(const state_folders &s, std::vector<domain> *all);
bool load_sets(const state_folders &s, std::vector<object_set> *all);
bool load_debug(const state_folders &s, std::string *value);
bool store_debug(const state_folders &s, const std::string &value);

// The %XX form of a string, and back; decode fails on anything else.
std::string encode(const std::string &raw);
bool decode(const std::string &encoded, std::string *raw);

// A string as KEL text, so that every byte is visible and no raw blank,
// quote, TAB or newline is left: the journal's form.
std::string to_kel(const std::string &raw);

// Journal fields: a quoted string, or a number.
std::string quoted(const char *s);
std::string number(long n);

// A path or value from outside as a message names it: as it is when every
// byte is printable 7-bit text other than a quote or backslash, else
// quoted as the journal quotes, so that no byte of it acts on a terminal.
std::string named(const std::string &s);

// Appends "<monotonic seconds> <call> <fields...>" as one record, in one
// write, so that records of concurrent processes never interleave.
void journal(const char *call, const std::vector<std::string> &fields);

// ---- Staged faults (faults.cpp; the list is in $KELSIM_FAULTS) ----

enum class callback_fault { none, never, twice, concurrent, inside };

struct faults {
    callback_fault callback = callback_fault::none;
    int callback_ms = 100; // callback-after=MS, else $KELSIM_CALLBACK_MS, else 100
    int object_ms = 0;     // $KELSIM_OBJECT_MS: how long each call for an object takes
    bool endless_set = false;
    bool unterminated_names = false;
    bool file_at_load = false;
    bool block_at_exit = false;
    int heartbeat_ms = 0;                             // 0: none
    std::vector<std::pair<std::string, int>> blocks; // a call, and milliseconds or -1 for ever
    std::vector<std::pair<std::string, std::string>> refused; // what was refused, and why
};

// The faults of $KELSIM_FAULTS and the delays, read once per process.
const faults &staged_faults();
// Blocks for ever, or for a while, when the call's block is staged.
void block_if_staged(const char *call);
// The faults of a library's loading (what was refused said, heartbeat,
// its own file) and unloading.
void stage_faults_at_load(const char *library);
void stage_faults_at_exit();

// Whether a call of a looping fault is journalled: the first 1,000 are,
// then one a second, with the count so far (a record "journal-thinned").
bool journal_looping(const char *call, int id);

// Sleeps ms milliseconds, resumed after signals.
void sleep_ms(int ms);

} // namespace kelsim

#endif
