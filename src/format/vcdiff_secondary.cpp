// The secondary decompressors of VCDIFF sections. xdelta3 compresses each
// kind of section (data, instructions, addresses) as one stream across the
// windows: LZMA as an .xz stream without a check, flushed at the end of
// every window. DJW sections stand alone (format/vcdiff_djw.cpp). FGK is
// not read.
#include <cstdint>
#include <memory>
#include <span>

#include "format/vcdiff_djw.h"
#include "format/vcdiff_reader.h"

#if CORVANE_HAVE_LZMA
#include <lzma.h>

namespace {

class lzma_section final : public vcdiff_secondary {
public:
    lzma_section() { ok_ = lzma_stream_decoder(&stream_, UINT64_MAX, LZMA_TELL_NO_CHECK) == LZMA_OK; }
    lzma_section(const lzma_section&) = delete;
    lzma_section& operator=(const lzma_section&) = delete;
    ~lzma_section() override { lzma_end(&stream_); }

    bool decode(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) override {
        if (!ok_) return false;
        stream_.next_in = in.data();
        stream_.avail_in = in.size();
        stream_.next_out = out.data();
        stream_.avail_out = out.size();
        // The window's bytes end on a flush: all of them come out, and
        // nothing of them is left.
        while (stream_.avail_out != 0) {
            const lzma_ret r = lzma_code(&stream_, LZMA_RUN);
            if (r == LZMA_NO_CHECK) continue;
            if (r != LZMA_OK) return ok_ = false;
            if (stream_.avail_in == 0 && stream_.avail_out != 0) return ok_ = false;
        }
        return stream_.avail_in == 0;
    }

private:
    lzma_stream stream_ = LZMA_STREAM_INIT;
    bool ok_ = false;
};

}  // namespace

#endif

std::unique_ptr<vcdiff_secondary> make_secondary(vcdiff_compressor kind) {
    if (kind == vcdiff_compressor::djw) return make_djw_secondary();
#if CORVANE_HAVE_LZMA
    if (kind == vcdiff_compressor::lzma) return std::make_unique<lzma_section>();
#endif
    return nullptr;
}
