#include "ops/tree_plan.h"

#include <algorithm>

namespace {

bool owned_by(const claim& c, const replace_plan& plan) {
    return std::any_of(plan.records.begin(), plan.records.end(),
                       [&](const placed_record& r) { return c.owner == file_owner(r); });
}

// The room as the change leaves it: its claims where and as long as it now
// is, and the sectors it gave up.
void take_room(shared_room& room, const tree_change& c) {
    const std::uint64_t first = c.found.record.extent;
    const std::uint64_t had = user_data_sectors(c.found.record.data_length);
    const std::uint64_t needs = user_data_sectors(c.plan.new_size);
    std::vector<claim>& claims = room.map.claims;
    if (const auto& m = c.plan.moved) {
        std::string owner;
        for (const claim& k : claims)
            if (owned_by(k, c.plan)) owner = k.owner;
        std::erase_if(claims, [&](const claim& k) { return owned_by(k, c.plan); });
        claims.push_back({m->new_first, m->new_sectors, owner});
        room.freed.emplace_back(first, first + had);
        room.grown = room.grown || m->grows;
        return;
    }
    for (claim& k : claims)
        if (k.first == first && owned_by(k, c.plan)) k.count = needs;
    if (needs < had) room.freed.emplace_back(first + needs, first + had);
}

bool grows(const tree_change& c) {
    return user_data_sectors(c.plan.new_size) > user_data_sectors(c.found.record.data_length);
}

}  // namespace

bool plan_tree_changes(run_output& run, int fd_bin, std::vector<tree_change>& changes, bool relocate,
                       const std::string& track_after) {
    shared_room room{map_disc(fd_bin), {}, false, false};
    bool placed = true;
    std::vector<tree_change*> pending;
    for (tree_change& c : changes) {
        c.plan = {};
        c.plan.new_size = c.new_size;
        if (grows(c)) {
            pending.push_back(&c);
            continue;
        }
        if (plan_replacement(run, fd_bin, c.found, c.new_size, c.plan, false, track_after, room)) take_room(room, c);
        else placed = false;
    }
    std::stable_sort(pending.begin(), pending.end(),
                     [](const tree_change* a, const tree_change* b) { return a->found.record.extent < b->found.record.extent; });
    // In place wherever it fits, each time again once a move has given up
    // sectors; then the lowest file that can move, moves.
    auto try_place = [&](tree_change& c, bool move, bool quiet) {
        c.plan = {};
        room.quiet = quiet;
        if (!plan_replacement(run, fd_bin, c.found, c.new_size, c.plan, move, track_after, room)) return false;
        take_room(room, c);
        return true;
    };
    while (!pending.empty()) {
        const std::size_t before = pending.size();
        std::erase_if(pending, [&](tree_change* c) { return try_place(*c, false, true); });
        if (pending.size() != before) continue;
        if (!relocate) break;
        const auto mover = std::find_if(pending.begin(), pending.end(), [](const tree_change* c) { return c->movable; });
        if (mover == pending.end()) break;
        if (!try_place(**mover, true, false)) placed = false;
        pending.erase(mover);
    }
    // What blocks each file left, said aloud.
    for (tree_change* c : pending) {
        (void)try_place(*c, false, false);
        if (relocate && !c->movable)
            std::fprintf(run.out, "'%s' holds Form 2 sectors: it cannot move\n", c->path.c_str());
        placed = false;
    }
    room.quiet = false;
    return placed;
}
