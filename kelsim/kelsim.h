// The stand-in KEL runtime's shared core: where the simulated system keeps
// its state, how names become file names and how calls are journalled.
//
// State directory ($KELSIM_DIR, default <tmp>/kelsim):
//   journal            one record per library call, appended
//   domains/@NAME      a running domain; one line per option: OPTION TAB VALUE
//   sets/@NAME         an object set; one object name per line
//   nameserver-debug   "on" or "off"
// Names and values are stored with every byte outside [A-Za-z0-9._-] written
// as %XX, and file names are "@" and such a name, so that no name can leave
// its folder and any byte survives.
#ifndef KELSIM_H
#define KELSIM_H

#include <string>
#include <vector>

namespace kelsim
{

// The state directory, without a trailing slash.
std::string state_dir();

// The path of the file that stands for a name in a folder of the state.
std::string name_path(const char *folder, const std::string &name);

// The %XX form of a name, and back.
std::string encode(const std::string &raw);
std::string decode(const std::string &encoded);

// A string as KEL text, so that every byte is visible and no raw blank,
// quote, TAB or newline is left: the journal's form.
std::string to_kel(const std::string &raw);

// Journal fields: a quoted string, or a number.
std::string quoted(const char *s);
std::string number(long n);

// Appends "<monotonic seconds> <call> <fields...>" as one record, in one
// write, so that records of concurrent processes never interleave.
void journal(const char *call, const std::vector<std::string> &fields);

// Whole-file reads and writes; false when the file cannot be read or written.
bool read_file(const std::string &path, std::string *text);
bool write_file(const std::string &path, const std::string &text);

std::vector<std::string> split_lines(const std::string &text);

// Runs fn(arg) on a detached thread of its own.
void start_thread(void (*fn)(void *), void *arg);
void sleep_ms(int ms);

} // namespace kelsim

#endif
