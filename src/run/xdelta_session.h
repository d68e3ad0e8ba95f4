// The xdelta (VCDIFF) file of a writing run's change (--xdelta): the image
// before the run is its source, the image after it its target. What the run
// leaves as it is becomes copies of the image where it lies; each sector
// the run rewrites is coded by the sector matcher against the image (its
// own place, or where a moved file's sector was). Written under a temporary
// name and put in place once whole, before the image's first write.
#pragma once

#include <memory>
#include <vector>

#include "format/vcdiff_writer.h"
#include "io/new_file.h"
#include "run/patch_session.h"

class sector_matcher;
class step_coder;

class xdelta_session : public patch_session {
public:
    xdelta_session();
    ~xdelta_session() override;

    // Judges the settings' --xdelta target (a symbolic link, one of `inputs`
    // or the run's own output is refused) and creates its temporary. False
    // after saying why not.
    [[nodiscard]] bool start(run_output& run, const run_settings& s, const std::vector<platform::file_info>& inputs);

    // Reads the image whole for the CRC-32 the file's header carries.
    [[nodiscard]] bool begin(run_output& run, int fd_bin, std::uint64_t image_size,
                             const std::optional<std::string>& description) override;
    [[nodiscard]] bool sectors(run_output& run, std::span<const std::uint8_t> old_bytes,
                               std::span<const std::uint8_t> new_bytes, std::uint64_t first) override;
    // A file of a run that changes no byte is refused ("would hold no
    // change: the run changes no byte").
    [[nodiscard]] bool finish(run_output& run, std::uint64_t image_size) override;

private:
    bool copy_image(run_output& run, std::uint64_t end);
    bool drain(run_output& run, bool all);

    new_file file_{"xdelta file"};
    std::string target_;
    int fd_ = -1;
    std::uint64_t image_size_ = 0;
    std::unique_ptr<vcdiff_writer> writer_;
    std::unique_ptr<sector_matcher> matcher_;
    std::unique_ptr<step_coder> coder_;  // after the writer it codes into
    std::uint64_t at_ = 0;       // target bytes coded so far
    std::uint64_t written_ = 0;  // bytes of the file written so far
    bool changes_ = false;
    std::vector<std::uint8_t> chunk_, tail_;
};
