// A TIFF-based camera RAW file built by hand from TIFF 6.0's structure, laid
// out as CR2, NEF and DNG files lay theirs out (no packaged tool writes
// one): IFD0 names a small Exif-style thumbnail (JPEGInterchangeFormat and
// its length) and two SubIFDs, one a JPEG preview in a single strip, the
// other the sensor data as a lossless JPEG strip; an Exif IFD and the
// sensor data's directory each point back into the chain, as damaged files
// do.
#pragma once

#include <cstdint>
#include <string>

namespace lmrtest {

class CameraRaw {
public:
    explicit CameraRaw(bool littleEndian) : little(littleEndian) {}

    // `thumb`, `preview` and `sensor` are the three images' bytes.
    std::string build(const std::string &thumb, const std::string &preview, const std::string &sensor) {
        out.clear();
        out += little ? "II" : "MM";
        u16(42);
        u32(8);
        // IFD0 at 8: five entries; the SubIFD list, the Exif IFD, the two
        // SubIFDs and the data follow in that order.
        const uint32_t ifd0 = 8, ifd0Size = 2 + 5 * 12 + 4;
        const uint32_t subList = ifd0 + ifd0Size;
        const uint32_t exif = subList + 8, exifSize = 2 + 1 * 12 + 4;
        const uint32_t subA = exif + exifSize, subSize = 2 + 3 * 12 + 4;
        const uint32_t subB = subA + subSize;
        const uint32_t thumbAt = subB + subSize;
        const uint32_t previewAt = thumbAt + uint32_t(thumb.size());
        const uint32_t sensorAt = previewAt + uint32_t(preview.size());

        u16(5);
        entry(0x0103, 3, 1, 6);  // Compression: JPEG
        entry(0x014A, 4, 2, subList);
        entry(0x0201, 4, 1, thumbAt);
        entry(0x0202, 4, 1, uint32_t(thumb.size()));
        entry(0x8769, 4, 1, exif);
        u32(0);
        u32(subA);
        u32(subB);
        // The Exif IFD: one entry, and IFD0 again as the next directory.
        u16(1);
        entry(0x9000, 7, 4, 0x30323330);
        u32(ifd0);
        // The preview: one baseline JPEG strip.
        u16(3);
        entry(0x0103, 3, 1, 6);
        entry(0x0111, 4, 1, previewAt);
        entry(0x0117, 4, 1, uint32_t(preview.size()));
        u32(0);
        // The sensor data: one lossless JPEG strip; its next directory is
        // itself.
        u16(3);
        entry(0x0103, 3, 1, 7);
        entry(0x0111, 4, 1, sensorAt);
        entry(0x0117, 4, 1, uint32_t(sensor.size()));
        u32(subB);
        out += thumb;
        out += preview;
        out += sensor;
        return out;
    }

    // The same JPEG with its frame made lossless (SOF3), which viewers do
    // not decode, and a comment that makes it the largest image.
    static std::string lossless(const std::string &jpeg, size_t padding) {
        std::string s = jpeg;
        const size_t sof = s.find("\xFF\xC0", 2);
        if (sof != std::string::npos) s[sof + 1] = char(0xC3);
        std::string comment = "\xFF\xFE";
        const size_t n = padding > 65533 ? 65533 : padding;
        comment += char((n + 2) >> 8);
        comment += char((n + 2) & 0xFF);
        comment += std::string(n, 'x');
        return s.substr(0, 2) + comment + s.substr(2);
    }

private:
    void u16(uint32_t v) {
        if (little) {
            out += char(v & 0xFF);
            out += char((v >> 8) & 0xFF);
        } else {
            out += char((v >> 8) & 0xFF);
            out += char(v & 0xFF);
        }
    }
    void u32(uint32_t v) {
        if (little) {
            u16(v & 0xFFFF);
            u16(v >> 16);
        } else {
            u16(v >> 16);
            u16(v & 0xFFFF);
        }
    }
    void entry(uint32_t tag, uint32_t type, uint32_t count, uint32_t value) {
        u16(tag);
        u16(type);
        u32(count);
        if (type == 3 && count == 1) {
            u16(value);
            u16(0);
        } else {
            u32(value);
        }
    }

    bool little;
    std::string out;
};

}  // namespace lmrtest
