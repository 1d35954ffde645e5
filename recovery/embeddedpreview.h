// The JPEG picture a camera or phone file carries for viewers that cannot
// decode the file itself: the preview of a camera RAW file (CR2, NEF, ARW,
// DNG, ORF, RW2, PEF and other TIFF-based ones, the THMB and PRVW of CR3),
// the Exif thumbnail of a HEIC or AVIF picture.
//
// The bytes are a recovered file's, so anything may be in them: every
// offset is checked against the buffer, nothing is allocated from a field,
// and every walk is bounded.  Plain C++, so the fuzz harness builds it
// without Qt.
#pragma once

#include "recovery/lmr_export.h"

#include <cstddef>
#include <cstdint>

namespace lmr {

struct embedded_jpeg {
    size_t offset = 0;
    size_t length = 0;  // 0: none found
};

// A JPEG image lies at [offset, offset + length) of `data`: it starts with
// its start-of-image marker, its frame is one a common decoder reads
// (baseline, extended or progressive, not lossless) and it ends with its
// end-of-image marker.
LMR_QT_EXPORT bool is_viewable_jpeg(const uint8_t *data, size_t size, size_t offset, size_t length);

// The largest viewable JPEG among those the file's TIFF directories point
// at (IFD0 and the chain after it, SubIFDs, the Exif IFD: the
// JPEGInterchangeFormat pair, a single JPEG strip, a RW2's JpgFromRaw);
// when they point at none, the largest viewable JPEG found by walking the
// bytes from each start-of-image marker.  length 0 when there is none.
LMR_QT_EXPORT embedded_jpeg find_embedded_jpeg(const uint8_t *data, size_t size);

}  // namespace lmr
