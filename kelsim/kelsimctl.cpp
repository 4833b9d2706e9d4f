// kelsim: sets up and shows the simulated KEL system that the stand-in
// libraries act on (see kelsim.h for the state directory).
#include "kelsim.h"

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

static int usage()
{
    fputs("usage: kelsim init                           empty simulated system\n"
          "       kelsim domain NAME [OPTION VALUE]...  a running domain and its options\n"
          "       kelsim set NAME [OBJECT]...           an object set\n"
          "       kelsim show                           the state, names as KEL text\n"
          "The state directory is $KELSIM_DIR (default $TMPDIR/kelsim or /tmp/kelsim).\n",
          stderr);
    return 2;
}

static bool make_dir(const std::string &path)
{
    if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST)
        return true;
    perror(path.c_str());
    return false;
}

// The file names of a folder of the state, sorted.
static std::vector<std::string> entries(const std::string &dir)
{
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return names;
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] == '@')
            names.push_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

// A stored name as the journal shows it: quoted KEL text.
static std::string shown(const std::string &stored)
{
    return kelsim::quoted(kelsim::decode(stored).c_str());
}

static int init()
{
    std::string dir = kelsim::state_dir();
    for (const char *sub : {"", "/domains", "/sets"}) {
        if (!make_dir(dir + sub))
            return 1;
    }
    for (const char *sub : {"/domains", "/sets"}) {
        for (const std::string &e : entries(dir + sub))
            unlink((dir + sub + "/" + e).c_str());
    }
    unlink((dir + "/journal").c_str());
    return kelsim::write_file(dir + "/nameserver-debug", "off\n") ? 0 : 1;
}

static int domain(int argc, char *argv[])
{
    if (argc < 1 || argc % 2 != 1)
        return usage();
    std::string text;
    for (int i = 1; i + 1 < argc; i += 2)
        text += kelsim::encode(argv[i]) + "\t" + kelsim::encode(argv[i + 1]) + "\n";
    return kelsim::write_file(kelsim::name_path("domains", argv[0]), text) ? 0 : 1;
}

static int set(int argc, char *argv[])
{
    if (argc < 1)
        return usage();
    std::string text;
    for (int i = 1; i < argc; i++)
        text += kelsim::encode(argv[i]) + "\n";
    return kelsim::write_file(kelsim::name_path("sets", argv[0]), text) ? 0 : 1;
}

static int show()
{
    std::string dir = kelsim::state_dir();
    std::string text;

    printf("domains:\n");
    for (const std::string &e : entries(dir + "/domains")) {
        printf("  %s", shown(e.substr(1)).c_str());
        kelsim::read_file(dir + "/domains/" + e, &text);
        for (const std::string &line : kelsim::split_lines(text)) {
            size_t tab = line.find('\t');
            if (tab != std::string::npos)
                printf("  %s=%s", shown(line.substr(0, tab)).c_str(),
                       shown(line.substr(tab + 1)).c_str());
        }
        printf("\n");
    }
    printf("object sets:\n");
    for (const std::string &e : entries(dir + "/sets")) {
        printf("  %s:", shown(e.substr(1)).c_str());
        kelsim::read_file(dir + "/sets/" + e, &text);
        for (const std::string &line : kelsim::split_lines(text))
            printf(" %s", shown(line).c_str());
        printf("\n");
    }
    if (!kelsim::read_file(dir + "/nameserver-debug", &text))
        text = "off\n";
    printf("name server debug: %s", text.c_str());
    return 0;
}

int main(int argc, char *argv[])
{
    if (argc < 2)
        return usage();
    std::string command = argv[1];
    if (command == "init" && argc == 2)
        return init();
    if (command == "domain")
        return domain(argc - 2, argv + 2);
    if (command == "set")
        return set(argc - 2, argv + 2);
    if (command == "show" && argc == 2)
        return show();
    return usage();
}
