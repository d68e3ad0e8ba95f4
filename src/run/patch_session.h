// The patch a writing run writes of its own change (-p, -P or --xdelta):
// filled, before the image's first write, with every sector the run
// rewrites, in ascending order, as the image holds it and as the run makes
// it; put in place once whole.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "run/settings.h"

class patch_session {
public:
    virtual ~patch_session() = default;

    // Starts the patch from the image as it is now (`image_size` bytes on
    // `fd_bin`). False after reporting a failed read or write.
    [[nodiscard]] virtual bool begin(run_output& run, int fd_bin, std::uint64_t image_size,
                                     const std::optional<std::string>& description) = 0;
    // The sectors from `first` on, as the image holds them and as the run
    // makes them. False after reporting a failure.
    [[nodiscard]] virtual bool sectors(run_output& run, std::span<const std::uint8_t> old_bytes,
                                       std::span<const std::uint8_t> new_bytes, std::uint64_t first) = 0;
    // Ends the patch of an image that will be `image_size` bytes long and
    // puts it in place. False after saying why not.
    [[nodiscard]] virtual bool finish(run_output& run, std::uint64_t image_size) = 0;
};

// The patch file the run writes (-p, -P or --xdelta), if any, and its noun
// in reports ("PPF file", "xdelta file").
inline const std::optional<std::string>& patch_target(const run_settings& s) {
    return s.file_xdelta ? s.file_xdelta : ppf_target(s);
}
inline const char* patch_noun(const run_settings& s) { return s.file_xdelta ? "xdelta file" : "PPF file"; }
