// SPDX-License-Identifier: MIT
// The stand-in runtime's simulated system: where it lives, and how domains,
// object sets and the name server's debug switch are stored.  Every change
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
    if (dir != nullptr && dir[0] != '\0') {
        // A trailing slash would make the folder's own symlink be followed.
        std::string path = dir;
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();
        return path;
    }
#ifdef _WIN32
    const char *tmp = getenv("TEMP");
    return std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : ".") + "/kelsim";
#else
    const char *runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] != '\0')
        return std::string(runtime) + "/kelsim";
    const char *tmp = getenv("TMPDIR");
    return std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/kelsim-" +
           std::to_string(getuid());
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

static bool is_stored_file(const std::string &file)
{
    return !file.empty() && (file[0] == '@' || file[0] == '#');
}

typedef std::vector<std::vector<std::string>> rows;

/*
 * A stored file: a first line "@" and the encoded name, then lines of
 * `fields` encoded fields separated by TABs.  A file that does not parse
 * is reported with its path and line, and is not used, so that it is
 * never rewritten without its unparsed lines.
 */
static bool parse_stored(const std::string &path, const std::string &text, size_t fields,
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
        if (row.size() != fields)
            return fail(path + ":" + std::to_string(i + 1),
                        fields == 2 ? "not OPTION TAB VALUE" : "a TAB in an object name");
        parsed->push_back(row);
    }
    return true;
}

// Reads the stored file of a name; *found is false when there is none.
static bool load_stored(const folder &f, const std::string &name, size_t fields, rows *parsed,
                        bool *found)
{
    std::string file = file_name(name);
    std::string text, stored_name;
    bool absent;
    *found = false;
    if (!read_file(f, file, &text, &absent))
        return absent;
    if (!parse_stored(join(f.path, file), text, fields, &stored_name, parsed))
        return false;
    if (stored_name != name)
        return fail(join(f.path, file), "holds another name with the same digest");
    *found = true;
    return true;
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
static bool load_all(const folder &f, size_t fields, std::vector<std::pair<std::string, rows>> *all)
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
        bool absent;
        if (!read_file(f, file, &text, &absent)) {
            if (absent)
                continue;
            return false;
        }
        if (!parse_stored(join(f.path, file), text, fields, &name, &parsed))
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

bool load_domain(const state &s, const std::string &name, domain *d, bool *found)
{
    rows stored;
    if (!load_stored(s.domains, name, 2, &stored, found) || !*found)
        return false;
    *d = as_domain(name, stored);
    return true;
}

bool store_domain(const state &s, const domain &d)
{
    rows stored;
    for (const auto &o : d.options)
        stored.push_back({o.first, o.second});
    return store_stored(s.domains, d.name, stored);
}

bool remove_domain(const state &s, const std::string &name, bool *found)
{
    domain d;
    bool absent;
    if (!load_domain(s, name, &d, found) || !*found)
        return false;
    if (remove_file(s.domains, file_name(name), &absent))
        return true;
    *found = !absent;
    return false;
}

bool load_set(const state &s, const std::string &name, object_set *set, bool *found)
{
    rows stored;
    if (!load_stored(s.sets, name, 1, &stored, found) || !*found)
        return false;
    *set = as_set(name, stored);
    return true;
}

bool store_set(const state &s, const object_set &set)
{
    rows stored;
    for (const std::string &o : set.objects)
        stored.push_back({o});
    return store_stored(s.sets, set.name, stored);
}

bool load_domains(const state &s, std::vector<domain> *all)
{
    std::vector<std::pair<std::string, rows>> stored;
    if (!load_all(s.domains, 2, &stored))
        return false;
    all->clear();
    for (const auto &st : stored)
        all->push_back(as_domain(st.first, st.second));
    return true;
}

bool load_sets(const state &s, std::vector<object_set> *all)
{
    std::vector<std::pair<std::string, rows>> stored;
    if (!load_all(s.sets, 1, &stored))
        return false;
    all->clear();
    for (const auto &st : stored)
        all->push_back(as_set(st.first, st.second));
    return true;
}

bool load_debug(const state &s, std::string *value)
{
    std::string path = join(s.root.path, "nameserver-debug");
    std::string text;
    bool absent;
    if (!read_file(s.root, "nameserver-debug", &text, &absent))
        return absent && fail(path, "missing (run kelsim init)");
    if (text != "on\n" && text != "off\n")
        return fail(path + ":1", "neither \"on\" nor \"off\"");
    *value = text.substr(0, text.size() - 1);
    return true;
}

bool store_debug(const state &s, const std::string &value)
{
    return write_file(s.root, "nameserver-debug", value + "\n");
}

bool open_state(state *s, bool exclusive)
{
    bool absent = false;
    if (!open_root(state_dir(), false, &s->root))
        return false;
    if (lock_state(s->root, exclusive, &s->lock) &&
        open_subfolder(s->root, "domains", false, &s->domains, &absent) &&
        open_subfolder(s->root, "sets", false, &s->sets, &absent))
        return true;
    if (absent)
        fail(s->root.path, "not an initialised state folder (run kelsim init)");
    close_state(s);
    return false;
}

void close_state(state *s)
{
    close_folder(&s->sets);
    close_folder(&s->domains);
    unlock_state(&s->lock);
    close_folder(&s->root);
}

// Removes every stored and temporary file of a folder of the state.
static bool empty_folder(const folder &f)
{
    std::vector<std::string> files;
    if (!list_files(f, &files))
        return false;
    for (const std::string &file : files) {
        bool absent;
        if ((is_stored_file(file) || file.rfind(".tmp-", 0) == 0) &&
            !remove_file(f, file, &absent) && !absent)
            return false;
    }
    return true;
}

bool init_state()
{
    state s;
    bool absent = false, ok = false;
    if (!open_root(state_dir(), true, &s.root))
        return false;
    if (lock_state(s.root, true, &s.lock) &&
        open_subfolder(s.root, "domains", true, &s.domains, &absent) &&
        open_subfolder(s.root, "sets", true, &s.sets, &absent) && empty_folder(s.domains) &&
        empty_folder(s.sets) && empty_folder(s.root))
        ok = (remove_file(s.root, "journal", &absent) || absent) && store_debug(s, "off");
    close_state(&s);
    return ok;
}

} // namespace kelsim
