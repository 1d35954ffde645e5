// Fuzzes the search for the JPEG preview inside camera and phone pictures:
// TIFF directories and JPEG segments read from hostile bytes.
#include "recovery/embeddedpreview.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > (4u << 20)) return 0;
    const lmr::embedded_jpeg found = lmr::find_embedded_jpeg(data, size);
    if (found.length) {
        // What it names lies in the buffer and is an image a viewer reads.
        if (found.offset > size || found.length > size - found.offset) abort();
        if (!lmr::is_viewable_jpeg(data, size, found.offset, found.length)) abort();
    }
    return 0;
}
