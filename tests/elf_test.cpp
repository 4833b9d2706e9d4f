// SPDX-License-Identifier: MIT
// The built tools need exactly the outside libraries by their unversioned
// names and find them beside themselves, so that the real libraries can be
// dropped in; checked with readelf.
#include <gtest/gtest.h>

#include <stdio.h>

#include <set>
#include <string>

namespace
{

struct Dynamic {
    std::set<std::string> needed;
    std::string soname;
    std::string runpath; // RUNPATH or RPATH; empty when there is none
};

Dynamic read_dynamic(const std::string &file)
{
    Dynamic d;
    std::string command = "readelf -d '" + std::string(TOOLS_DIR) + "/" + file + "'";
    FILE *p = popen(command.c_str(), "r");
    char line[1024];
    while (p != nullptr && fgets(line, sizeof line, p) != nullptr) {
        std::string s = line;
        size_t open = s.find('['), close = s.rfind(']');
        if (open == std::string::npos || close == std::string::npos)
            continue;
        std::string value = s.substr(open + 1, close - open - 1);
        if (s.find("(NEEDED)") != std::string::npos)
            d.needed.insert(value);
        else if (s.find("(SONAME)") != std::string::npos)
            d.soname = value;
        else if (s.find("PATH)") != std::string::npos)
            d.runpath = value;
    }
    if (p != nullptr)
        pclose(p);
    return d;
}

TEST(Elf, ToolsNeedTheOutsideLibrariesAndFindThemBesideThemselves)
{
    struct {
        const char *tool;
        bool kelui;
        const char *runpath;
    } cases[] = {
        {"haltdomain", true, "$ORIGIN"},  {"tunedomain", true, "$ORIGIN"},
        {"listmembers", true, "$ORIGIN"}, {"nametrace", false, "$ORIGIN"},
        {"guichannel", true, ""},
    };
    for (const auto &c : cases) {
        Dynamic d = read_dynamic(c.tool);
        EXPECT_EQ(d.needed.count("libkelui.so"), c.kelui ? 1u : 0u) << c.tool;
        EXPECT_EQ(d.needed.count("libzun.so"), 1u) << c.tool;
        for (const std::string &lib : d.needed)
            EXPECT_TRUE(lib.rfind("libkelui.so", 0) != 0 || lib == "libkelui.so") << lib;
        EXPECT_EQ(d.runpath, c.runpath) << c.tool;
    }
}

TEST(Elf, StandInLibrariesCarryTheUnversionedNames)
{
    EXPECT_EQ(read_dynamic("libkelui.so").soname, "libkelui.so");
    EXPECT_EQ(read_dynamic("libzun.so").soname, "libzun.so");
}

} // namespace
