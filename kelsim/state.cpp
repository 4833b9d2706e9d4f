// SPDX-License-Identifier: MIT
// The stand-in runtime's simulated system: where it lives, how domains,
// object sets and the name server's debug switch are stored (the file
// format), and the transaction that every read or change runs in.  Every change
// is made under the exclusive lock of the state folder and written through
// a temporary file and a rename, so concurrent callers lose no update.
#include "kelsim.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace kelsim
{

std::string state_dir()
{
    const char *dir = getenv("KELSIM_DIR");
    if (dir != nullptr && dir[0] != '\0')
        return resolve_path(dir);
#ifdef _WIN32
    const char *tmp = getenv("TEMP");
    return std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : ".") + "/kelsim";
#else
    const char *runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] != '\0')
        return resolve_path(std::string(runtime) + "/kelsim");
    const char *tmp = getenv("TMPDIR");
    return resolve_path(std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/kelsim-" +
                        std::to_string(getuid()));
#endif
}

static bool is_kept(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '.' || c == '_' || c == '-';
}

std::string encode(const std::string &raw)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string encoded;
    for (unsigned char c : raw) {
        if (is_kept(c)) {
            encoded += (char)c;
        } else {
            encoded += '%';
            encoded += hex[c >> 4];
            encoded += hex[c & 0xf];
        }
    }
    return encoded;
}

static int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool decode(const std::string &encoded, std::string *raw)
{
    raw->clear();
    for (size_t i = 0; i < encoded.size(); i++) {
        unsigned char c = (unsigned char)encoded[i];
        if (c == '%') {
            if (i + 2 >= encoded.size())
                return false;
            int high = hex_value(encoded[i + 1]);
            int low = hex_value(encoded[i + 2]);
            if (high < 0 || low < 0)
                return false;
            *raw += (char)(high * 16 + low);
            i += 2;
        } else if (is_kept(c)) {
            *raw += (char)c;
        } else {
            return false;
        }
    }
    return true;
}

/*
 * The file that stands for a name: "@" and its %XX form while that is well
 * within a file name's 255 bytes, else "#" and a 128-bit digest of the
 * name.  The full name is the first line of the file in both cases.
 */
static std::string file_name(const std::string &name)
{
    const size_t MAX_PLAIN = 128;
    std::string encoded = encode(name);
    if (encoded.size() <= MAX_PLAIN)
        return "@" + encoded;

    // Two 64-bit FNV-1a hashes, of the name and of the name read backwards.
    // The second starts elsewhere, so that a palindrome gives two different halves.
    unsigned long long forward = 0xcbf29ce484222325ULL, backward = 0x84222325cbf29ce4ULL;
    const unsigned long long prime = 0x100000001b3ULL;
    for (size_t i = 0; i < name.size(); i++) {
        forward = (forward ^ (unsigned char)name[i]) * prime;
        backward = (backward ^ (unsigned char)name[name.size() - 1 - i]) * prime;
    }
    char text[40];
    snprintf(text, sizeof text, "#%016llx%016llx", forward, backward);
    return text;
}

static std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

static bool is_stored_file(const std::string &file)
{
    return !file.empty() && (file[0] == '@' || file[0] == '#');
}

typedef std::vector<std::vector<std::string>> rows;

// What the lines of a kind of stored file hold.
struct file_kind {
    size_t fields;        // per line
    const char *bad_line; // why a line with another count is refused
};
static const file_kind DOMAIN_FILE = {2, "not OPTION TAB VALUE"};
static const file_kind SET_FILE = {1, "a TAB in an object name"};

/*
 * A stored file: a first line "@" and the encoded name, then lines of
 * encoded fields separated by TABs.  A file that does not parse is
 * reported with its path and line, and is not used, so that it is never
 * rewritten without its unparsed lines.
 */
static bool parse_stored(const std::string &path, const std::string &text, const file_kind &kind,
                         std::string *name, rows *parsed)
{
    std::vector<std::string> lines = split_lines(text);
    if (!text.empty() && text.back() != '\n')
        return fail(path + ":" + std::to_string(lines.size()), "the last line has no newline");
    if (lines.empty() || lines[0].empty() || lines[0][0] != '@' ||
        !decode(lines[0].substr(1), name))
        return fail(path + ":1", "not a name line (\"@\" and the %XX-encoded name)");
    parsed->clear();
    for (size_t i = 1; i < lines.size(); i++) {
        std::vector<std::string> row;
        size_t start = 0;
        for (;;) {
            size_t tab = lines[i].find('\t', start);
            std::string field;
            size_t n = tab == std::string::npos ? std::string::npos : tab - start;
            if (!decode(lines[i].substr(start, n), &field))
                return fail(path + ":" + std::to_string(i + 1), "a field is not %XX-encoded text");
            row.push_back(field);
            if (tab == std::string::npos)
                break;
            start = tab + 1;
        }
        if (row.size() != kind.fields)
            return fail(path + ":" + std::to_string(i + 1), kind.bad_line);
        parsed->push_back(row);
    }
    return true;
}

// Reads the stored file of a name.
static lookup load_stored(const folder &f, const std::string &name, const file_kind &kind,
                          rows *parsed)
{
    std::string file = file_name(name);
    std::string text, stored_name;
    lookup read = read_file(f, file, &text);
    if (read != lookup::found)
        return read;
    if (!parse_stored(join(f.path, file), text, kind, &stored_name, parsed))
        return lookup::failed;
    if (stored_name != name) {
        fail(join(f.path, file), "holds another name with the same digest");
        return lookup::failed;
    }
    return lookup::found;
}

static bool store_stored(const folder &f, const std::string &name, const rows &stored)
{
    std::string text = "@" + encode(name) + "\n";
    for (const auto &row : stored) {
        for (size_t i = 0; i < row.size(); i++)
            text += (i > 0 ? "\t" : "") + encode(row[i]);
        text += "\n";
    }
    return write_file(f, file_name(name), text);
}

// Every stored file of a folder, parsed, sorted by name.
static bool load_all(const folder &f, const file_kind &kind,
                     std::vector<std::pair<std::string, rows>> *all)
{
    std::vector<std::string> files;
    if (!list_files(f, &files))
        return false;
    all->clear();
    for (const std::string &file : files) {
        if (!is_stored_file(file))
            continue;
        std::string text, name;
        rows parsed;
        lookup read = read_file(f, file, &text);
        if (read == lookup::absent)
            continue; // removed since it was listed
        if (read == lookup::failed)
            return false;
        if (!parse_stored(join(f.path, file), text, kind, &name, &parsed))
            return false;
        all->emplace_back(name, parsed);
    }
    std::sort(all->begin(), all->end());
    return true;
}

static domain as_domain(const std::string &name, const rows &stored)
{
    domain d{name, {}};
    for (const auto &row : stored)
        d.options.emplace_back(row[0], row[1]);
    return d;
}

static object_set as_set(const std::string &name, const rows &stored)
{
    object_set set{name, {}};
    for (const auto &row : stored)
        set.objects.push_back(row[0]);
    return set;
}

lookup load_domain(const state_folders &s, const std::string &name, domain *d)
{
    rows stored;
    lookup loaded = load_stored(s.domains, name, DOMAIN_FILE, &stored);
    if (loaded == lookup::found)
        *d = as_domain(name, stored);
    return loaded;
}

bool store_domain(const state_folders &s, const domain &d)
{
    rows stored;
    for (const auto &o : d.options)
        stored.push_back({o.first, o.second});
    return store_stored(s.domains, d.name, stored);
}

lookup remove_domain(const state_folders &s, const std::string &name)
{
    // Loaded first: a file of another name with the same digest stays.
    domain d;
    lookup loaded = load_domain(s, name, &d);
    if (loaded != lookup::found)
        return loaded;
    return remove_file(s.domains, file_name(name));
}

lookup load_set(const state_folders &s, const std::string &name, object_set *set)
{
    rows stored;
    lookup loaded = load_stored(s.sets, name, SET_FILE, &stored);
    if (loaded == lookup::found)
        *set = as_set(name, stored);
    return loaded;
}

bool store_set(const state_folders &s, const object_set &set)
{
    rows stored;
    for (const std::string &o : set.objects)
        stored.push_back({o});
    return store_stored(s.sets, set.name, stored);
}

bool load_domains(const state_folders &s, std::vector<domain> *all)
{
    std::vector<std::pair<std::string, rows>> stored;
    if (!load_all(s.domains, DOMAIN_FILE, &stored))
        return false;
    all->clear();
    for (const auto &st : stored)
        all->push_back(as_domain(st.first, st.second));
    return true;
}

bool load_sets(const state_folders &s, std::vector<object_set> *all)
{
    std::vector<std::pair<std::string, rows>> stored;
    if (!load_all(s.sets, SET_FILE, &stored))
        return false;
    all->clear();
    for (const auto &st : stored)
        all->push_back(as_set(st.first, st.second));
    return true;
}

bool load_debug(const state_folders &s, std::string *value)
{
    std::string path = join(s.root.path, "nameserver-debug");
    std::string text;
    lookup read = read_file(s.root, "nameserver-debug", &text);
    if (read == lookup::absent)
        return fail(path, "missing (run kelsim init)");
    if (read == lookup::failed)
        return false;
    if (text != "on\n" && text != "off\n")
        return fail(path + ":1", "neither \"on\" nor \"off\"");
    *value = text.substr(0, text.size() - 1);
    return true;
}

bool store_debug(const state_folders &s, const std::string &value)
{
    return write_file(s.root, "nameserver-debug", value + "\n");
}

transaction::transaction(mode m)
{
    bool create = m == transaction::create;
    if (!open_root(state_dir(), create, &folders_.root))
        return;
    if (!lock_state(folders_.root, m != transaction::read, &lock_))
        return;
    lookup domains = open_subfolder(folders_.root, "domains", create, &folders_.domains);
    lookup sets = domains == lookup::found
                      ? open_subfolder(folders_.root, "sets", create, &folders_.sets)
                      : lookup::failed;
    if (domains == lookup::absent || sets == lookup::absent)
        fail(folders_.root.path, "not an initialised state folder (run kelsim init)");
    open_ = domains == lookup::found && sets == lookup::found;
}

transaction::~transaction()
{
    close_folder(&folders_.sets);
    close_folder(&folders_.domains);
    unlock_state(&lock_);
    close_folder(&folders_.root);
}

static bool is_temporary(const std::string &file)
{
    return file.rfind(".tmp-", 0) == 0;
}

// What kelsim init writes into a state folder before anything else.
static const char STATE_MARK[] = "kelsim-state";
static const char STATE_MARK_TEXT[] = "A state folder of the KEL stand-in; kelsim init empties it.\n";

// The files of the state's root; domains and sets hold stored files.
static bool is_root_file(const std::string &file)
{
    for (const char *own : {STATE_MARK, "lock", "journal", "library.log", "nameserver-debug", "domains", "sets"}) {
        if (file == own)
            return true;
    }
    return is_temporary(file);
}

// "a", "b", "sets/c" and 2 more: what a refusal names.
static std::string some_of(const std::vector<std::string> &names)
{
    const size_t SHOWN = 5;
    std::string text;
    for (size_t i = 0; i < names.size() && i < SHOWN; i++)
        text += (i == 0 ? "" : ", ") + names[i];
    if (names.size() > SHOWN)
        text += " and " + std::to_string(names.size() - SHOWN) + " more";
    return text;
}

/*
 * Whether init may empty the folder: it is empty, or it holds the mark
 * and nothing but the state's own files.  Otherwise says what it holds
 * that is not the state's.
 */
static bool holds_only_the_state(const folder &root)
{
    std::vector<std::string> files;
    if (!list_files(root, &files))
        return false;
    if (files.empty())
        return true;

    std::string mark;
    lookup marked = read_file(root, STATE_MARK, &mark);
    if (marked == lookup::failed)
        return false;
    std::vector<std::string> foreign;
    if (marked == lookup::absent || mark != STATE_MARK_TEXT) {
        for (const std::string &file : files)
            foreign.push_back(quoted(file.c_str()));
        std::sort(foreign.begin(), foreign.end());
        return fail(root.path, "not empty, and not a state folder of kelsim init's (no " +
                                   std::string(STATE_MARK) + "): it holds " + some_of(foreign) +
                                   "; nothing was removed");
    }
    for (const std::string &file : files) {
        if (!is_root_file(file))
            foreign.push_back(quoted(file.c_str()));
    }
    for (const char *name : {"domains", "sets"}) {
        folder sub;
        lookup opened = open_subfolder(root, name, false, &sub);
        if (opened == lookup::failed)
            return false;
        std::vector<std::string> stored;
        bool listed = opened == lookup::absent || list_files(sub, &stored);
        close_folder(&sub);
        if (!listed)
            return false;
        for (const std::string &file : stored) {
            if (!is_stored_file(file) && !is_temporary(file))
                foreign.push_back(std::string(name) + "/" + quoted(file.c_str()));
        }
    }
    if (foreign.empty())
        return true;
    std::sort(foreign.begin(), foreign.end());
    return fail(root.path, "holds what is not the state's: " + some_of(foreign) + "; nothing was removed");
}

// Removes every file of a folder of the state that keep() does not keep.
template <class Keep> static bool empty_folder(const folder &f, Keep keep)
{
    std::vector<std::string> files;
    if (!list_files(f, &files))
        return false;
    for (const std::string &file : files) {
        if (!keep(file) && remove_file(f, file) == lookup::failed)
            return false;
    }
    return true;
}

bool init_state()
{
    {
        // Looked at, and marked, before the lock file is made in it: a
        // folder of someone's own files is left as it was.
        folder root;
        if (!open_root(state_dir(), true, &root))
            return false;
        bool ours = holds_only_the_state(root) && write_file(root, STATE_MARK, STATE_MARK_TEXT);
        close_folder(&root);
        if (!ours)
            return false;
    }
    transaction t(transaction::create);
    if (!t)
        return false;
    const state_folders &s = t.folders();
    // Decided again under the lock, so that only the state's own files go.
    auto own_stored = [](const std::string &) { return false; };
    auto kept_in_root = [](const std::string &file) {
        return file != "journal" && file != "library.log" && !is_temporary(file);
    };
    return holds_only_the_state(s.root) && empty_folder(s.domains, own_stored) &&
           empty_folder(s.sets, own_stored) && empty_folder(s.root, kept_in_root) &&
           store_debug(s, "off");
}

} // namespace kelsim
