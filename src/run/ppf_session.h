// The PPF file of a run that writes one (-p or -P): its file_id.diz text,
// the refusals of its size, and the session that fills it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "format/ppf_writer.h"
#include "run/patch_session.h"
#include "run/settings.h"

// Refuses, before the run's first write, an image too large for a PPF 2.0
// file (when -p is given). Prints why and returns false.
bool fits_ppf2(run_output& run, const run_settings& s, std::uint64_t image_size);

// An upper bound of the bytes the run's PPF file (-p or -P, with or without
// undo data and a file_id.diz text) takes for `sectors` rewritten sectors;
// 0 without one.
std::uint64_t ppf_size_bound(const run_settings& s, std::uint64_t sectors);

// The PPF file of a run that writes one (-p or -P): created as a temporary
// beside its target, filled by the run's records, put in place by finish().
class ppf_session : public patch_session {
public:
    // Creates the temporary for the settings' target, refusing a target that
    // is one of `inputs` or the run's own standard output or error. With no
    // target in the settings it does nothing and active() stays false. False
    // after saying why not.
    [[nodiscard]] bool start(run_output& run, const run_settings& s,
                             const std::vector<platform::file_info>& inputs,
                             std::vector<std::uint8_t> diz = {});

    // Writes the header, from the image as it is now. False after reporting
    // a failed write.
    [[nodiscard]] bool begin(run_output& run, int fd_bin, std::uint64_t image_size,
                             const std::optional<std::string>& description) override;

    bool active() const { return records_ != nullptr; }
    ppf_file& file() { return ppf_; }
    ppf_records& records() { return *records_; }

    // Appends the sectors from `first` on, as the image holds them and as
    // the run makes them. False after reporting a failed write.
    [[nodiscard]] bool sectors(run_output& run, std::span<const std::uint8_t> old_bytes,
                               std::span<const std::uint8_t> new_bytes, std::uint64_t first) override;

    // Ends the file and puts it in place; a file that would hold no record
    // is refused ("would hold no record: the run changes no byte"), and so
    // is, without --force, one whose records all stand in the PPF file it
    // would replace when that file holds more (the complete patch of an
    // interrupted run). False after saying why not.
    [[nodiscard]] bool finish(run_output& run, std::uint64_t image_size = 0) override;

private:
    bool keeps_whole_patch(run_output& run);

    bool force_ = false;
    ppf_file ppf_;
    std::unique_ptr<ppf_records> records_;
    std::string target_;
};

// After "Interrupted" in a run's write pass: the PPF file (written before
// the image, when `ppf_written`) is whole, and the same command finishes
// the image, given another PPF file name.
void print_finish_hint(run_output& run, const run_settings& s, bool ppf_written);

// The file_id.diz text of a PPF 3.0 file (--diz): 1 to 3072 bytes. False
// after saying why not.
bool load_diz(run_state& run, std::vector<std::uint8_t>& diz);
