#include "run/form2_data.h"

std::optional<int> open_xa_data(run_state& run, int fd_bin, const data_run& d, const data_file& input,
                                const char* what, std::optional<xa_data>& xa, bool form1_plain) {
    const run_settings& s = run.settings;
    if (!d.found || d.found->record.is_directory) return std::nullopt;
    const std::string name = printable_name(d.found->record.name);
    const xa_file_facts file = scan_xa_file(fd_bin, d.found->record);
    if (file.kind == file_kind::form1) {
        if (!s.mode_raw2336 || form1_plain) return std::nullopt;
        std::fprintf(run.out,
                     "'%s' is a Form 1 file: --raw2336 takes the 2336-byte sectors of Form 2 or interleaved "
                     "files only -- refused\n",
                     name.c_str());
        return error_exit(run);
    }
    xa_input in;
    const unsigned long long size = input.info.size;
    switch (read_xa_input(input.fd.get(), input.info.size, s.mode_raw2336 != 0, in)) {
        case input_verdict::ok: xa = xa_data{file, in}; return std::nullopt;
        case input_verdict::plain:
            std::fprintf(run.out,
                         "'%s' is %s (%s): give its sectors as RIFF-CDXA or, with --raw2336, as 2336-byte "
                         "sectors -- refused\n",
                         name.c_str(), names_of(file.kind).file, names_of(file.kind).sectors);
            break;
        case input_verdict::partial:
            if (s.mode_raw2336)
                std::fprintf(run.out, "%s file of %llu bytes is not whole 2336-byte sectors -- refused\n", what,
                             size);
            else
                std::fprintf(run.out,
                             "%s file of %llu bytes is not a 44-byte RIFF-CDXA header and whole 2352-byte "
                             "sectors -- refused\n",
                             what, size);
            break;
        case input_verdict::damaged:
            std::fprintf(run.out, "%s file's RIFF-CDXA header does not match its %llu bytes -- refused\n", what,
                         size);
            break;
    }
    return error_exit(run);
}
