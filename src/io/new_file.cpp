#include "io/new_file.h"

#include <cerrno>

namespace {

// The permission bits of a new file, before the umask.
constexpr unsigned NEW_FILE_MODE = 0666;

}  // namespace

new_file::~new_file() {
    if (temp_.empty()) return;
    (void)fd_.close();  // a file still open cannot be removed everywhere
    (void)platform::remove_file(temp_);
}

bool new_file::failed(run_output& run, const char* step, const char* after) {
    const std::string message = std::string("Failed to ") + step + " " + noun_ + " '" + shown_ + "'" + after;
    report_errno(run, message.c_str());
    return false;
}

bool new_file::admit(run_output& run, const std::string& path, const std::vector<kept_file>& kept,
                     const std::string& shown) {
    path_ = path;
    shown_ = shown.empty() ? path : shown;
    auto refuse = [&](const char* why) {
        std::fprintf(run.out, "%s '%s' %s -- refused\n", noun_.c_str(), shown_.c_str(), why);
        return false;
    };
    if (platform::is_link(path)) return refuse("is a symbolic link");
    existed_ = platform::query(path, existing_);
    if (!existed_) return true;
    for (const kept_file& k : kept)
        if (platform::same_file(k.info, existing_)) return refuse(k.why);
    if (!existing_.regular) return refuse("is not a regular file");
    return true;
}

bool new_file::create(run_output& run) {
    const std::string temp = platform::unique_name(platform::folder_of(path_), ".corvane-");
    fd_ = platform::create_exclusive(temp, NEW_FILE_MODE);
    if (!fd_.valid()) return failed(run, "create");
    temp_ = temp;  // from here on the destructor removes it
    if (existed_ && !platform::set_mode(fd_.get(), existing_.mode)) return failed(run, "create");
    return true;
}

bool new_file::commit(run_output& run, unique_fd& held) {
    if (!platform::sync_file(fd_.get())) return failed(run, "sync");
    if (!fd_.close()) return failed(run, "close");
    bool renamed = false;
    const bool ok = platform::replace_file(temp_, path_, !existed_, renamed, held);
    if (renamed) temp_.clear();
    if (!ok) return renamed ? failed(run, "sync the folder of") : failed(run, "put", " in place");
    return true;
}
