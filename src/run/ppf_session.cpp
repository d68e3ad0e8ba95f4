#include "run/ppf_session.h"

#include <cstdio>

#include "format/ppf_layout.h"

bool fits_ppf2(run_output& run, const run_settings& s, std::uint64_t image_size) {
    if (!s.file_ppf || image_size <= UINT32_MAX) return true;
    std::fprintf(run.out, "Image of %llu bytes is beyond the 4 GiB a PPF 2.0 file can describe -- refused\n",
                 static_cast<unsigned long long>(image_size));
    return false;
}


bool ppf_session::start(run_output& run, const run_settings& s,
                        const std::vector<platform::file_info>& inputs, std::vector<std::uint8_t> diz) {
    const auto& target = ppf_target(s);
    if (!target) return true;
    target_ = *target;
    // The run's own output must not land in the PPF file either.
    std::vector<platform::file_info> outputs;
    for (std::FILE* stream : {run.out, run.err})
        if (platform::file_info o; platform::query(stream, o)) outputs.push_back(o);
    if (!ppf_.create_temporary(run, target_, inputs, outputs)) return false;
    records_ = s.file_ppf3 ? ppf3_records(s.mode_undo != 0, std::move(diz)) : ppf2_records();
    return true;
}

bool ppf_session::begin(run_output& run, int fd_bin, std::uint64_t image_size,
                        const std::optional<std::string>& description) {
    return records_->begin(run, ppf_, fd_bin, image_size, description);
}

bool ppf_session::sectors(run_output& run, std::span<const std::uint8_t> old_bytes,
                          std::span<const std::uint8_t> new_bytes, std::uint64_t first) {
    return records_->sectors(run, ppf_, old_bytes, new_bytes, first);
}

bool ppf_session::finish(run_output& run) {
    if (!records_->end(run, ppf_)) return false;
    if (records_->records() == 0) {
        std::fprintf(run.out, "PPF file '%s' would hold no record: the run changes no byte -- refused\n",
                     target_.c_str());
        return false;
    }
    return ppf_.commit(run);
}

bool load_diz(run_state& run, std::vector<std::uint8_t>& diz) {
    const auto& path = run.settings.file_diz;
    if (!path) return true;
    const unique_fd fd = platform::open_read(*path);
    platform::file_info info;
    if (!fd.valid() || !platform::query(fd.get(), info)) {
        report_errno(run, "Failed to open file_id.diz file");
        return false;
    }
    if (!info.regular || info.size > MAX_DIZ) {
        std::fprintf(run.out, "file_id.diz file '%s' is not a regular file of at most %zu bytes -- refused\n",
                     path->c_str(), MAX_DIZ);
        return false;
    }
    if (info.size == 0) {
        std::fprintf(run.out, "file_id.diz file '%s' is empty: there is no text to carry -- refused\n",
                     path->c_str());
        return false;
    }
    diz.resize(static_cast<std::size_t>(info.size));
    if (read_full(fd.get(), diz) == diz.size()) return true;
    report_errno(run, "Failed to read file_id.diz file");
    return false;
}


std::uint64_t ppf_size_bound(const run_settings& s, std::uint64_t sectors) {
    if (s.file_ppf) return PPF2_HEADER_SIZE + PPF2_SECTOR_SIZE * sectors;
    // PPF 3.0: a record head for every 255 bytes, and the bytes twice with undo data.
    const std::uint64_t record_bytes = SECTOR_SIZE * (s.mode_undo ? 2 : 1) + 10 * PPF3_RECORD_HEAD;
    if (s.file_ppf3) return PPF2_HEADER_SIZE + MAX_DIZ + 36 + record_bytes * sectors;
    return 0;
}
