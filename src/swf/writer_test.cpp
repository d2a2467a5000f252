#include "swf/writer.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "capture.h"
#include "load_util.h"
#include "support/deflate.h"
#include "support/lzma_codec.h"
#include "swf_builder.h"
#include "test_util.h"

namespace {

using swfkit::Bytes;
using swfkit::Container;

using SaveFn = Fault (*)(Swf*, const char*);

swfkit::Movie sample_movie(Container c)
{
    swfkit::Movie m;
    m.container = c;
    m.version = 9;
    m.rate_fraction = 77;            // not kept: written back as 0
    m.tag(9, Bytes{1, 2, 3}, true);  // long form on input, short on output
    m.tag(2, Bytes(62, 0x42));
    m.tag(2, Bytes(63, 0x43));
    m.tag(kTagDefineBitsLossless2, swfkit::lossless_body(1, 5, 20, 20, Bytes(1600, 0x80)));
    m.end();
    return m;
}

Bytes read_bytes(const std::string& path)
{
    std::string s = testkit::read_file(path);
    return Bytes(s.begin(), s.end());
}

uint32_t le32(const Bytes& b, size_t at)
{
    return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 | uint32_t{b[at + 3]} << 24;
}

// Loads, saves with `save`, returns the saved bytes; captures the lines.
Bytes save_copy(Swf* swf, SaveFn save, const std::string& path, std::vector<std::string>* lines = nullptr)
{
    testkit::CapturedStdout capture;
    Fault fault = save(swf, path.c_str());
    auto out = testkit::split_lines(capture.take());
    if (lines)
        *lines = out;
    EXPECT_EQ(fault, Fault::none);
    return read_bytes(path);
}

TEST(SwfWriter, UncompressedOutputIsTheBodyInShortestForm)
{
    testkit::TempDir dir("writer");
    swfkit::Movie m = sample_movie(Container::fws);
    auto loaded = testkit::load_movie(m.build());
    ASSERT_TRUE(loaded.swf);
    std::vector<std::string> lines;
    Bytes out = save_copy(loaded.swf.get(), swf_save_fws, dir.file("o.swf"), &lines);

    // Expected: header, frame header with fraction 0, records in shortest form.
    swfkit::Movie expect = m;
    expect.rate_fraction = 0;
    expect.records.clear();
    expect.tag(9, Bytes{1, 2, 3});
    expect.tag(2, Bytes(62, 0x42));
    expect.tag(2, Bytes(63, 0x43));
    expect.tag(kTagDefineBitsLossless2, swfkit::lossless_body(1, 5, 20, 20, Bytes(1600, 0x80)));
    expect.end();
    EXPECT_EQ(out, expect.build());
    EXPECT_EQ(le32(out, 4), out.size());
    EXPECT_EQ(out[out.size() - 2], 0);  // End tag: 00 00
    EXPECT_EQ(out[out.size() - 1], 0);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(testkit::debug_message(lines[0]), "tagnum:5");
    EXPECT_EQ(testkit::debug_message(lines[1]),
              "size:" + std::to_string(out.size()) + "," + std::to_string(m.build().size()));
}

TEST(SwfWriter, CompressedContainersDecodeToExactlyTheBody)
{
    testkit::TempDir dir("writer_z");
    auto loaded = testkit::load_movie(sample_movie(Container::fws).build());
    ASSERT_TRUE(loaded.swf);
    Bytes plain = save_copy(loaded.swf.get(), swf_save_fws, dir.file("f.swf"));
    Bytes body(plain.begin() + 8, plain.end());

    Bytes cws = save_copy(loaded.swf.get(), swf_save, dir.file("c.swf"));
    EXPECT_EQ(std::string(cws.begin(), cws.begin() + 3), "CWS");
    EXPECT_EQ(cws[3], 9);
    EXPECT_EQ(le32(cws, 4), plain.size());
    Bytes inflated(body.size() + 16);
    uLongf inflated_len = static_cast<uLongf>(inflated.size());
    ASSERT_EQ(uncompress(inflated.data(), &inflated_len, cws.data() + 8, static_cast<uLong>(cws.size() - 8)), Z_OK);
    inflated.resize(inflated_len);
    EXPECT_EQ(inflated, body);

    Bytes zws = save_copy(loaded.swf.get(), swf_save_zws, dir.file("z.swf"));
    EXPECT_EQ(std::string(zws.begin(), zws.begin() + 3), "ZWS");
    EXPECT_EQ(zws[3], 13);
    EXPECT_EQ(loaded.swf->version, 13);  // the model keeps the new version
    EXPECT_EQ(le32(zws, 4), plain.size());
    EXPECT_EQ(le32(zws, 8), zws.size() - 17);
    const uint8_t props[] = {0x5D, 0, 0, 0, 1};
    EXPECT_EQ(std::memcmp(zws.data() + 12, props, 5), 0);
    Bytes decoded(body.size());
    size_t out_len = decoded.size(), in_len = zws.size() - 17;
    ASSERT_EQ(lzma_uncompress(decoded.data(), &out_len, zws.data() + 17, &in_len, zws.data() + 12, 5), Fault::none);
    EXPECT_EQ(out_len, body.size());
    EXPECT_EQ(decoded, body);
}

std::vector<std::pair<uint16_t, Bytes>> tag_contents(Swf* swf)
{
    std::vector<std::pair<uint16_t, Bytes>> tags;
    for (SwfTag* tag : swf_tags(swf))
        tags.push_back({tag->code, Bytes(tag->body.begin(), tag->body.end())});
    return tags;
}

TEST(SwfWriter, RoundTripsAcrossEveryContainer)
{
    testkit::TempDir dir("writer_rt");
    const std::pair<const char*, SaveFn> savers[] = {{"FWS", swf_save_fws}, {"CWS", swf_save}, {"ZWS", swf_save_zws}};
    for (Container in : {Container::fws, Container::cws, Container::zws}) {
        auto original = testkit::load_movie(sample_movie(in).build());
        ASSERT_TRUE(original.swf);
        auto expected = tag_contents(original.swf.get());
        for (auto [name, save] : savers) {
            Bytes out = save_copy(original.swf.get(), save, dir.file("rt.swf"));
            auto again = testkit::load_movie(out);
            ASSERT_TRUE(again.swf) << name;
            EXPECT_EQ(tag_contents(again.swf.get()), expected) << name;
            EXPECT_EQ(again.swf->frame_count, original.swf->frame_count);
            EXPECT_EQ(again.swf->xmax, original.swf->xmax);
        }
    }
}

TEST(SwfWriter, IncompressibleMoviesStillSaveAsCws)
{
    testkit::TempDir dir("writer_noise");
    swfkit::Movie m;
    Bytes noise(50000);
    uint32_t x = 12345;
    for (auto& b : noise) {
        x = x * 1103515245 + 12345;
        b = static_cast<uint8_t>(x >> 24);
    }
    m.tag(kTagDefineBitsJpeg2, swfkit::jpeg_body(1, noise));
    m.end();
    auto loaded = testkit::load_movie(m.build());
    ASSERT_TRUE(loaded.swf);
    Bytes out = save_copy(loaded.swf.get(), swf_save, dir.file("n.swf"));
    auto again = testkit::load_movie(out);
    ASSERT_TRUE(again.swf);
    EXPECT_EQ(tag_contents(again.swf.get()), tag_contents(loaded.swf.get()));
}

TEST(SwfWriter, UnwritablePathIsAnIoErrorWithALine)
{
    auto loaded = testkit::load_movie(sample_movie(Container::fws).build());
    ASSERT_TRUE(loaded.swf);
    for (SaveFn save : {swf_save_fws, swf_save, swf_save_zws}) {
        testkit::CapturedStdout capture;
        Fault fault = save(loaded.swf.get(), "/nonexistent/dir/out.swf");
        std::string out = capture.take();
        EXPECT_EQ(fault, Fault::io_error);
        EXPECT_NE(out.find("cannot write /nonexistent/dir/out.swf"), std::string::npos);
    }
}

TEST(SwfWriter, CompressorRoomStaysBelowTheBufferLimit)
{
    // Small bodies get the codec's worst case...
    EXPECT_EQ(swf_compressed_capacity('C', 50000), zlib_deflate_bound(50000));
    EXPECT_EQ(swf_compressed_capacity('Z', 50000), 2 * (50000u + 8) - 9);
    // ...and a body just under 1 GiB (which a 1 MB CWS movie may inflate to) gets no room
    // that would take header and output past the limit of the buffers.
    const uint64_t limit = uint64_t{1} << 30;
    for (uint32_t body : {uint32_t(limit - 100), uint32_t(limit / 2), uint32_t(limit - 8 - 1)}) {
        EXPECT_LT(8 + uint64_t{swf_compressed_capacity('C', body)}, limit) << body;
        EXPECT_LT(17 + uint64_t{swf_compressed_capacity('Z', body)}, limit) << body;
        EXPECT_GE(uint64_t{swf_compressed_capacity('C', body)}, std::min<uint64_t>(body, limit - 9)) << body;
    }
}

TEST(SwfWriter, BuildsTheWholeFileInMemory)
{
    testkit::TempDir dir("writer_build");
    auto loaded = testkit::load_movie(sample_movie(Container::fws).build());
    ASSERT_TRUE(loaded.swf);
    const std::pair<char, SaveFn> savers[] = {{'F', swf_save_fws}, {'C', swf_save}, {'Z', swf_save_zws}};
    for (auto [container, save] : savers) {
        Stream file{};
        testing::internal::CaptureStdout();
        ASSERT_EQ(swf_build_file(loaded.swf.get(), container, &file), Fault::none);
        testing::internal::GetCapturedStdout();
        Bytes built(file.buf, file.buf + file.len);
        stream_clear(&file);
        EXPECT_EQ(built, save_copy(loaded.swf.get(), save, dir.file("b.swf"))) << container;
        EXPECT_EQ(built[0], static_cast<uint8_t>(container));
    }
}

}  // namespace
