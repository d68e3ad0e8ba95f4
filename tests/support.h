// Test support: running the tool (built binary or in-process), scratch
// directories and the texts every run starts with.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "image_maker.h"

namespace support {

struct result {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs a program found on PATH (argv[0] included) and collects its output.
// `file_size_limit`, when nonzero, caps the size of files the program may
// write (RLIMIT_FSIZE, with SIGXFSZ ignored so writes fail with EFBIG).
result run_command(const std::vector<std::string>& argv, std::uint64_t file_size_limit = 0);

// Runs the built corvane binary with `args` (no argv[0]).
result run_binary(const std::vector<std::string>& args, std::uint64_t file_size_limit = 0);

// Runs the tool's core in this process with `args`.
result run_inprocess(const std::vector<std::string>& args);

// Banner and version line, as every run prints them first.
std::string banner();
std::string usage();

// The lines a run prints after parsing, before opening anything.
std::string files_block(const std::string& patch, const std::string& bin,
                        const std::string& orig = "", const std::string& ppf = "");

// One patched sector's trace line.
std::string patch_trace(std::uint32_t sector, std::size_t count);

std::string halt();

// Trace lines of a patch run of `size` bytes starting at image offset `offset`.
std::string patch_traces(std::uint64_t offset, std::uint64_t size);

// What a correct patch run makes of `image`: `patch` laid into the user data
// from `offset` on, every touched sector rebuilt by the reference coder.
fixture::bytes expected_patch(fixture::bytes image, std::uint64_t offset,
                              const fixture::bytes& patch);

// Applies a PPF 2.0 file to `image` (header checked, every chunk laid over the
// image). Nothing when the file is malformed or a chunk falls outside the image.
std::optional<fixture::bytes> apply_ppf(const fixture::bytes& ppf, fixture::bytes image);

// A fresh scratch directory, removed when the object goes.
class scratch {
public:
    scratch();
    ~scratch();
    scratch(const scratch&) = delete;
    scratch& operator=(const scratch&) = delete;
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    std::string write(const std::string& name, std::span<const std::uint8_t> data) const;
    std::string write(const std::string& name, const std::string& text) const;

private:
    std::string dir_;
};

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace support
