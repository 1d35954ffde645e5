// Motion photos in a deep scan: a JPEG whose XMP declares a clip after the
// picture (the older MicroVideoOffset, or the container items) is found
// with its clip; a declaration the bytes after the picture do not bear out
// leaves the picture as it is.
#include "engine/media/probe_helpers.h"

#include <gtest/gtest.h>

using namespace lmrtest;

namespace {

// The picture with an XMP segment of `xmp` right after start-of-image.
Bytes with_xmp(const Bytes &jpg, const std::string &xmp) {
    std::string body = std::string("http://ns.adobe.com/xap/1.0/") + '\0' + xmp;
    Bytes out = {0xFF, 0xD8, 0xFF, 0xE1, uint8_t((body.size() + 2) >> 8), uint8_t(body.size() + 2)};
    append(out, bytes_of(body));
    out.insert(out.end(), jpg.begin() + 2, jpg.end());
    return out;
}

std::string micro_video(uint64_t offset) {
    return "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF><rdf:Description GCamera:MicroVideo=\"1\" "
           "GCamera:MicroVideoVersion=\"1\" GCamera:MicroVideoOffset=\"" +
           std::to_string(offset) + "\"/></rdf:RDF></x:xmpmeta>";
}

std::string container(uint64_t length, uint64_t padding) {
    return "<x:xmpmeta><rdf:RDF><rdf:Description GCamera:MotionPhoto=\"1\"><Container:Directory><rdf:Seq>"
           "<rdf:li rdf:parseType=\"Resource\"><Container:Item Item:Mime=\"image/jpeg\" Item:Semantic=\"Primary\" "
           "Item:Length=\"0\" Item:Padding=\"" +
           std::to_string(padding) +
           "\"/></rdf:li><rdf:li rdf:parseType=\"Resource\"><Container:Item Item:Mime=\"video/mp4\" "
           "Item:Semantic=\"MotionPhoto\" Item:Length=\"" +
           std::to_string(length) + "\"/></rdf:li></rdf:Seq></Container:Directory></rdf:Description></rdf:RDF></x:xmpmeta>";
}

uint64_t deep_length(const Bytes &file, int32_t *found) {
    DeepScan deep;
    Bytes input = file;
    append(input, random_bytes(5000, 4));
    auto r = probe_once(input, "jpg", input.size());
    auto r0 = probe_once(input, "jpg", 0);
    EXPECT_EQ(r.found, r0.found);
    EXPECT_EQ(r.length, r0.length);
    *found = r.found;
    return r.length;
}

TEST(MotionPhoto, ThePictureComesBackWithItsClip) {
    const Bytes jpg = sample("image/jfif.jpg");
    const Bytes clip = sample("media/moov_first.mp4");
    int32_t found = 0;
    {
        Bytes photo = with_xmp(jpg, micro_video(clip.size()));
        const size_t picture = photo.size();
        append(photo, clip);
        EXPECT_EQ(deep_length(photo, &found), photo.size());
        EXPECT_EQ(found, 1);
        // Outside deep mode the built-in rules are unchanged: the picture
        // ends at its end-of-image marker.
        Bytes input = photo;
        append(input, random_bytes(5000, 4));
        auto plain = probe_once(input, "jpg", input.size());
        EXPECT_LE(plain.length, picture);
    }
    {
        Bytes photo = with_xmp(jpg, container(clip.size(), 0));
        append(photo, clip);
        EXPECT_EQ(deep_length(photo, &found), photo.size());
    }
    {
        // Padding between the picture and its clip.
        Bytes photo = with_xmp(jpg, container(clip.size(), 16));
        append(photo, Bytes(16, 0));
        append(photo, clip);
        EXPECT_EQ(deep_length(photo, &found), photo.size());
    }
}

TEST(MotionPhoto, ADeclarationTheBytesDoNotBearOutKeepsThePicture) {
    const Bytes jpg = sample("image/jfif.jpg");
    const Bytes clip = sample("media/moov_first.mp4");
    int32_t found = 0;
    // No clip after the picture; a length one byte off; an offset past the
    // input; a clip cut short; a number too long to be one.
    struct Case {
        std::string xmp;
        Bytes after;
    };
    Bytes cut(clip.begin(), clip.begin() + 4000);
    const Case cases[] = {
        {micro_video(clip.size()), {}},
        {micro_video(clip.size() + 1), clip},
        {micro_video(uint64_t(1) << 40), clip},
        {container(clip.size(), 0), cut},
        {"GCamera:MicroVideoOffset=\"99999999999999999999\"", clip},
        {container(clip.size(), 0).substr(0, 300), clip},
    };
    for (const Case &c : cases) {
        Bytes photo = with_xmp(jpg, c.xmp);
        const size_t picture = photo.size();
        append(photo, c.after);
        EXPECT_EQ(deep_length(photo, &found), picture) << c.xmp;
        EXPECT_EQ(found, 1);
    }
}

}  // namespace
