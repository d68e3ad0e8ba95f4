// A fuzz target's own folder under the system's temporary folder, made on
// first use and removed with its files when the process exits.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

class scratch_dir {
public:
    scratch_dir() {
        std::string t = (std::filesystem::temp_directory_path() / "corvane-fuzz-XXXXXX").string();
        path_ = ::mkdtemp(t.data());
    }
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    ~scratch_dir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};
