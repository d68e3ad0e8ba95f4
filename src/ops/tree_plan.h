// Putting a whole edited tree back: one plan for every changed file, so that
// a file that shrinks leaves room for one that grows, files grow in place
// where they can, and only those that cannot move (with --relocate).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ops/placement.h"

// A file of the disc whose host file differs from it.
struct tree_change {
    dir_lookup found;          // its record
    std::string path;          // on the disc
    std::uint64_t new_size = 0;
    bool movable = true;       // Form 1 sectors only: it may move
    replace_plan plan;         // filled by the planner
};

// Plans every change within the room the others leave: first the files that
// keep or shrink their sectors, then those that grow, in place wherever
// they can (again each time a move frees sectors), and with `relocate` the
// rest move, lowest first, one at a time. False after naming each file that
// finds no room and what blocks it; nothing is written either way.
bool plan_tree_changes(run_output& run, int fd_bin, std::vector<tree_change>& changes, bool relocate,
                       const std::string& track_after);
