// A list of files to put back, kept anywhere on the host: a line each, the
// file's path on the disc, a tab, the host file that holds what it should
// hold. Lines starting with '#' and blank lines say nothing; a line may end
// in CR LF.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "ops/extract.h"

struct list_line {
    std::size_t number = 0;  // from 1
    std::string disc, host;
};

// A line that cannot be taken, and why.
struct list_problem {
    std::size_t number = 0;
    std::string why;
};

struct file_list {
    std::vector<list_line> lines;
    std::vector<list_problem> problems;
};

// The lines of the list's text, each with a disc path and a host path.
file_list parse_file_list(std::string_view text);

// The files of `tree` a disc path names: from the root, its leading '/' and
// the version (";1") of its last part optional, '\\' as good as '/'. Empty when none does; two or
// more when it leaves the version out and the disc has several.
std::vector<std::size_t> disc_files_named(const tree_plan& tree, std::string_view path);
