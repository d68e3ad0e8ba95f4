// The path rules of the platform layer, by which a cue sheet's files are
// looked for in the sheet's folder: the folder part of a path, and whether a
// path needs no folder before it. The Windows build runs its own table
// under wine.
#include <gtest/gtest.h>

#include "platform/platform.h"

namespace {

struct path_rule {
    const char* path;
    const char* folder;
    bool absolute;
};

#ifdef _WIN32
// Either slash, a drive letter (alone: that drive's current folder), a
// server's share.
constexpr path_rule RULES[] = {
    {"x.cue", "", false},
    {"d\\x.cue", "d\\", false},
    {"..\\d/e\\x.cue", "..\\d/e\\", false},
    {"C:\\d\\x.cue", "C:\\d\\", true},
    {"c:/x.cue", "c:/", true},
    {"C:x.cue", "C:", true},
    {"\\d\\x.cue", "\\d\\", true},
    {"/d/x.cue", "/d/", true},
    {"\\\\server\\share\\x.cue", "\\\\server\\share\\", true},
};
#else
// Only `/` separates: a backslash or a colon is part of a name.
constexpr path_rule RULES[] = {
    {"x.cue", "", false},
    {"d/x.cue", "d/", false},
    {"../d/e/x.cue", "../d/e/", false},
    {"/d/x.cue", "/d/", true},
    {"//x.cue", "//", true},
    {"d\\x.cue", "", false},
    {"C:x.cue", "", false},
};
#endif

TEST(PathRules, FolderAndAbsolute) {
    for (const path_rule& r : RULES) {
        EXPECT_EQ(platform::folder_of(r.path), r.folder) << r.path;
        EXPECT_EQ(platform::is_absolute(r.path), r.absolute) << r.path;
    }
}

}  // namespace
