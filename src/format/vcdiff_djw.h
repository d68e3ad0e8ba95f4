// xdelta3's DJW secondary compressor (id 1): its decompressor, for the VCDIFF
// reader's compressed sections.
#pragma once

#include <memory>

#include "format/vcdiff_reader.h"

// A DJW decompressor. Each section it decodes stands alone: nothing carries
// from one window's section to the next.
std::unique_ptr<vcdiff_secondary> make_djw_secondary();
