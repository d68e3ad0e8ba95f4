// The file list of -s --file-list: its lines, and the disc files a path names.
#include <gtest/gtest.h>

#include "ops/file_list.h"

namespace {

TEST(FileList, LinesCommentsAndLineEnds) {
    const file_list list = parse_file_list(
        "# a comment\tnot a line\r\n"
        "\n"
        "/A.TXT;1\ta.txt\r\n"
        "B.TXT\tdir/b b.txt\twith a tab\n"
        "\r\n"
        "no tab here\n"
        "\tno disc path\n"
        "C.TXT\t\r\n"
        "D.TXT\td.txt");  // the last line without its line end
    ASSERT_EQ(list.lines.size(), 3U);
    EXPECT_EQ(list.lines[0].number, 3U);
    EXPECT_EQ(list.lines[0].disc, "/A.TXT;1");
    EXPECT_EQ(list.lines[0].host, "a.txt");
    EXPECT_EQ(list.lines[1].host, "dir/b b.txt\twith a tab");
    EXPECT_EQ(list.lines[2].number, 9U);
    EXPECT_EQ(list.lines[2].host, "d.txt");
    ASSERT_EQ(list.problems.size(), 3U);
    EXPECT_EQ(list.problems[0].number, 6U);
    EXPECT_EQ(list.problems[1].number, 7U);
    EXPECT_EQ(list.problems[2].number, 8U);
    EXPECT_EQ(parse_file_list(std::string_view("A\ta\0b", 5)).problems.size(), 1U);
}

TEST(FileList, DiscPathsWithAndWithoutTheirVersion) {
    tree_plan tree;
    const auto add = [&](const char* path, bool directory) {
        tree_entry e;
        e.path = path;
        e.record.is_directory = directory;
        tree.entries.push_back(e);
    };
    add("/DATA", true);
    add("/DATA/A.BIN;1", false);
    add("/B.TXT;1", false);
    add("/B.TXT;2", false);
    add("/C;1", false);
    using v = std::vector<std::size_t>;
    EXPECT_EQ(disc_files_named(tree, "/DATA/A.BIN;1"), v{1});
    EXPECT_EQ(disc_files_named(tree, "DATA/A.BIN"), v{1});
    EXPECT_EQ(disc_files_named(tree, "\\DATA\\A.BIN;1"), v{1});  // as Windows writes it
    EXPECT_EQ(disc_files_named(tree, "B.TXT;2"), v{3});
    EXPECT_EQ(disc_files_named(tree, "B.TXT"), (v{2, 3}));  // which one is the user's to say
    EXPECT_EQ(disc_files_named(tree, "C"), v{4});
    EXPECT_EQ(disc_files_named(tree, "DATA"), v{});  // a directory is no file
    EXPECT_EQ(disc_files_named(tree, "A.BIN"), v{});  // nor a name outside its directory
    EXPECT_EQ(disc_files_named(tree, "DATA;1/A.BIN"), v{});
}

}  // namespace
