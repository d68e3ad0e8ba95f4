#include "ops/file_list.h"

#include <algorithm>

namespace {

// The path without its last part's version.
std::string_view without_version(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    const std::size_t semicolon = path.rfind(';');
    if (semicolon == std::string_view::npos || (slash != std::string_view::npos && semicolon < slash)) return path;
    return path.substr(0, semicolon);
}

}  // namespace

file_list parse_file_list(std::string_view text) {
    file_list list;
    std::size_t number = 0;
    while (!text.empty()) {
        ++number;
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line.front() == '#') continue;
        const std::size_t tab = line.find('\t');
        if (line.find('\0') != std::string_view::npos) {
            list.problems.push_back({number, "a NUL byte in the line"});
        } else if (tab == std::string_view::npos) {
            list.problems.push_back({number, "no tab between a disc path and a host path"});
        } else if (tab == 0 || tab + 1 == line.size()) {
            list.problems.push_back({number, tab == 0 ? "no disc path before the tab" : "no host path after the tab"});
        } else {
            list.lines.push_back({number, std::string(line.substr(0, tab)), std::string(line.substr(tab + 1))});
        }
    }
    return list;
}

std::vector<std::size_t> disc_files_named(const tree_plan& tree, std::string_view path) {
    // Backslashes, as Windows writes paths, part the names too: no name on
    // the disc holds one.
    std::string wanted(1, '/');
    wanted.append(path.starts_with('/') || path.starts_with('\\') ? path.substr(1) : path);
    std::replace(wanted.begin(), wanted.end(), '\\', '/');
    std::vector<std::size_t> exact, any_version;
    for (std::size_t i = 0; i < tree.entries.size(); ++i) {
        const tree_entry& e = tree.entries[i];
        if (e.record.is_directory) continue;
        if (e.path == wanted) exact.push_back(i);
        if (without_version(e.path) == wanted) any_version.push_back(i);
    }
    return exact.empty() ? any_version : exact;
}
