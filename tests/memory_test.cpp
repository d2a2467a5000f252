// The tool when memory runs short: each movie or bitmap that cannot be done is a reported
// failure (status 3, a line saying out of memory or too large), never a crash, never a
// silent skip; the others are still done. The limits are set on the started program only.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "seed_media.h"
#include "support/lzma_codec.h"
#include "swf/swf.h"
#include "swf_builder.h"
#include "test_util.h"

namespace {

using swfkit::Bytes;
using testkit::run_program;

const std::string kTool = testkit::tool();
constexpr unsigned long long kMiB = 1ull << 20;

constexpr const char kNoLimits[] = "address-space limits do not work under AddressSanitizer";

bool mentions(const testkit::RunResult& r, const std::string& text)
{
    return r.output.find(text) != std::string::npos || r.error.find(text) != std::string::npos;
}

// A zlib stream built from pieces, zero runs of any length among them, in no time: each
// piece is deflated on its own and flushed, so it refers to nothing before it, and a
// mebibyte of zeros is deflated once and repeated.
class ZlibStream {
public:
    ZlibStream() : bytes_{0x78, 0x01} {}

    void add(const Bytes& data)
    {
        append_deflated(data, Z_FULL_FLUSH);
        adler_ = adler32_combine(adler_, adler32(1, data.data(), static_cast<uInt>(data.size())),
                                 static_cast<z_off_t>(data.size()));
    }
    void add_zeros(uint64_t count)
    {
        static const Bytes mebibyte(1 << 20, 0);
        static const Bytes unit = deflated(mebibyte, Z_FULL_FLUSH);
        for (uint64_t left = count; left > 0;) {
            if (left >= mebibyte.size()) {
                bytes_.insert(bytes_.end(), unit.begin(), unit.end());
                left -= mebibyte.size();
            } else {
                append_deflated(Bytes(left, 0), Z_FULL_FLUSH);
                left = 0;
            }
        }
        // Zeros leave the first sum alone and add one to the second per byte.
        adler_ = adler32_combine(adler_, static_cast<uLong>((count % 65521) << 16 | 1), static_cast<z_off_t>(count));
    }
    Bytes finish()
    {
        append_deflated({}, Z_FINISH);
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes_.push_back(static_cast<uint8_t>(adler_ >> shift));
        return std::move(bytes_);
    }

private:
    static Bytes deflated(const Bytes& data, int flush)
    {
        z_stream z{};
        EXPECT_EQ(deflateInit2(&z, Z_BEST_SPEED, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
        Bytes out(deflateBound(&z, static_cast<uLong>(data.size())) + 16);
        z.next_in = const_cast<uint8_t*>(data.data());
        z.avail_in = static_cast<uInt>(data.size());
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        deflate(&z, flush);
        out.resize(z.total_out);
        deflateEnd(&z);
        return out;
    }
    void append_deflated(const Bytes& data, int flush)
    {
        Bytes piece = deflated(data, flush);
        bytes_.insert(bytes_.end(), piece.begin(), piece.end());
    }

    Bytes bytes_;
    uLong adler_ = 1;
};

// A CWS movie whose body holds one tag of `zeros` zero bytes (a DefineBinaryData stand-in),
// then a small bitmap (id 1) and the End tag: a file of about a KiB per MiB of body.
Bytes cws_with_zero_tag(uint32_t zeros)
{
    Bytes frame = swfkit::Movie{}.body();  // frame header, no records yet
    swfkit::put_u16(frame, static_cast<uint16_t>(87 << 6 | 63));
    swfkit::put_u32(frame, zeros);
    swfkit::Movie tail;
    tail.tag(kTagDefineBitsLossless2, swfkit::lossless_body(1, 5, 3, 2, swfkit::gradient_argb(3, 2)));
    tail.end();

    Bytes file{'C', 'W', 'S', 10};
    swfkit::put_u32(file, static_cast<uint32_t>(8 + frame.size() + zeros + tail.records.size()));
    ZlibStream body;
    body.add(frame);
    body.add_zeros(zeros);
    body.add(tail.records);
    Bytes packed = body.finish();
    file.insert(file.end(), packed.begin(), packed.end());
    return file;
}

// The same as an LZMA movie, packed at the fastest setting.
Bytes zws_with_zero_tag(uint32_t zeros)
{
    swfkit::Movie m;
    m.tag(87, Bytes(zeros, 0));
    m.end();
    const Bytes body = m.body();
    Bytes packed(body.size() / 8 + 4096);
    size_t packed_len = packed.size();
    uint8_t props[kLzmaPropsSize];
    size_t props_len = sizeof props;
    EXPECT_EQ(lzma_compress(packed.data(), &packed_len, body.data(), body.size(), props, &props_len, 0, 1 << 20, 3, 0,
                            2, 273, 1),
              Fault::none);
    Bytes file{'Z', 'W', 'S', 13};
    swfkit::put_u32(file, static_cast<uint32_t>(8 + body.size()));
    swfkit::put_u32(file, static_cast<uint32_t>(packed_len));
    file.insert(file.end(), props, props + props_len);
    file.insert(file.end(), packed.begin(), packed.begin() + static_cast<long>(packed_len));
    return file;
}

// A lossless bitmap of width x height pixels whose data holds `bytes` zeros (pixels the
// data does not reach are transparent, as in any short bitmap).
Bytes zero_lossless(uint16_t id, uint16_t width, uint16_t height, uint64_t bytes)
{
    Bytes body{static_cast<uint8_t>(id),         static_cast<uint8_t>(id >> 8),    5,
               static_cast<uint8_t>(width),      static_cast<uint8_t>(width >> 8), static_cast<uint8_t>(height),
               static_cast<uint8_t>(height >> 8)};
    ZlibStream data;
    data.add_zeros(bytes);
    Bytes packed = data.finish();
    body.insert(body.end(), packed.begin(), packed.end());
    return body;
}

void write_small_movie(const testkit::TempDir& dir, const std::string& name)
{
    ASSERT_TRUE(swfkit::write_file(dir.file(name), swfkit::multi_bitmap_movie(swfkit::Container::cws).build()));
}

// A bitmap whose format is valid but whose PNG cannot be made within the buffer limit is a
// bitmap not written: status 3 and a line naming it; the bitmaps around it are written.
TEST(Memory, BitmapTooLargeToWriteIsAFailureNotASkip)
{
    testkit::TempDir dir("memory_large");
    swfkit::Movie m;
    m.tag(kTagDefineBitsLossless2, swfkit::lossless_body(1, 5, 3, 2, swfkit::gradient_argb(3, 2)));
    m.tag(kTagDefineBitsLossless2, zero_lossless(2, 16384, 16384, uint64_t{1} << 30));  // a full gibibyte of pixels
    m.tag(kTagDefineBitsLossless, swfkit::lossless_body(3, 5, 3, 2, swfkit::gradient_argb(3, 2)));
    m.end();
    ASSERT_TRUE(swfkit::write_file(dir.file("m.swf"), m.build()));
    auto r = run_program(kTool, {"m.swf"}, dir.path());
    EXPECT_EQ(r.status, 3) << r.output;
    EXPECT_TRUE(mentions(r, "bitmap 2 of 16384x16384 pixels cannot be encoded within the buffer limit, not written"))
        << r.output;
    EXPECT_TRUE(testkit::file_exists(dir.file("m.swf_res/1.png")));
    EXPECT_TRUE(testkit::file_exists(dir.file("m.swf_res/3.png")));
    EXPECT_TRUE(mentions(r, "2 bitmaps written, 0 skipped; 1 file could not be written")) << r.error;
}

// Memory that runs out while a bitmap's pixels inflate, while a JPEG decodes, or while a
// zlib or LZMA body inflates is reported as such: status 3, never "skipped" or "refused".
TEST(Memory, OutOfMemoryIsReportedAsSuchNotAsBadData)
{
    if (testkit::under_address_sanitizer())
        GTEST_SKIP() << kNoLimits;
    testkit::TempDir dir("memory_oom");
    testkit::RunLimits cap;
    cap.address_space = 32 * kMiB;  // the tool needs less than 8 MiB for the small movie

    swfkit::Movie pixels;  // 64 MiB of pixels to inflate
    pixels.tag(kTagDefineBitsLossless2, zero_lossless(1, 4096, 4096, 4096 * 4096 * 4));
    pixels.tag(kTagDefineBitsLossless2, swfkit::lossless_body(2, 5, 3, 2, swfkit::gradient_argb(3, 2)));
    pixels.end();
    ASSERT_TRUE(swfkit::write_file(dir.file("pixels.swf"), pixels.build()));

    Bytes jpeg = swfkit::gradient_jpeg(16, 16);  // the frame header claims 12000x12000
    for (size_t at = 2; at + 8 < jpeg.size(); ++at) {
        if (jpeg[at] == 0xFF && jpeg[at + 1] == 0xC0) {
            jpeg[at + 5] = jpeg[at + 7] = 12000 >> 8;
            jpeg[at + 6] = jpeg[at + 8] = 12000 & 0xFF;
            break;
        }
    }
    swfkit::Movie decode;
    decode.tag(kTagDefineBitsJpeg3, swfkit::jpeg3_body(1, jpeg, Bytes(4, 0)));
    decode.end();
    ASSERT_TRUE(swfkit::write_file(dir.file("decode.swf"), decode.build()));

    ASSERT_TRUE(swfkit::write_file(dir.file("zlib.swf"), cws_with_zero_tag(64 * kMiB)));
    ASSERT_TRUE(swfkit::write_file(dir.file("lzma.swf"), zws_with_zero_tag(48 * kMiB)));
    write_small_movie(dir, "small.swf");

    for (const char* movie : {"pixels.swf", "decode.swf", "zlib.swf", "lzma.swf"}) {
        SCOPED_TRACE(movie);
        auto r = run_program(kTool, {movie, "small.swf"}, dir.path(), cap);
        EXPECT_EQ(r.status, 3) << r.output << r.error;
        EXPECT_TRUE(mentions(r, "out of memory")) << r.output;
        EXPECT_TRUE(mentions(r, ", 0 refused")) << r.error;
        EXPECT_TRUE(testkit::file_exists(dir.file("small.swf_res/ui.Icon.png")));
    }
    EXPECT_TRUE(testkit::file_exists(dir.file("pixels.swf_res/2.png")));
}

// A body that does not fit in the memory once ended the program (an assertion, status
// 134) and the later movies were never done.
TEST(Memory, BodyTooLargeForTheMemoryEndsNothing)
{
    if (testkit::under_address_sanitizer())
        GTEST_SKIP() << kNoLimits;
    testkit::TempDir dir("memory_body");
    ASSERT_TRUE(swfkit::write_file(dir.file("big.swf"), cws_with_zero_tag(128 * kMiB)));
    write_small_movie(dir, "small.swf");
    testkit::RunLimits cap;
    cap.address_space = 144 * kMiB;
    auto r = run_program(kTool, {"big.swf", "small.swf"}, dir.path(), cap);
    ASSERT_NE(r.status, -1) << "ended by a signal";
    EXPECT_TRUE(r.status == 0 || (r.status == 3 && mentions(r, "out of memory"))) << r.status << r.output;
    EXPECT_TRUE(testkit::file_exists(dir.file("small.swf_res/ui.Icon.png")));
    EXPECT_TRUE(mentions(r, r.status == 0 ? "pixsieve: 2 movies read" : "1 not done for lack of memory")) << r.error;
}

// A movie costs its body once (no copy of it, no copy of each tag): a 128 MiB body loads
// and extracts within an address space that two copies of it would not fit in.
TEST(Memory, AMovieIsHeldOnce)
{
    if (testkit::under_address_sanitizer())
        GTEST_SKIP() << kNoLimits;
    testkit::TempDir dir("memory_once");
    ASSERT_TRUE(swfkit::write_file(dir.file("big.swf"), cws_with_zero_tag(128 * kMiB)));
    testkit::RunLimits cap;
    cap.address_space = 224 * kMiB;
    auto r = run_program(kTool, {"-j", "1", "big.swf"}, dir.path(), cap);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(mentions(r, "pixsieve: 1 movie read, 0 refused; 1 bitmap written")) << r.error;
}

// Many small movies on many workers with little memory: whichever allocation fails, the
// run ends with its summary and an honest status, never by an uncaught exception.
TEST(Memory, ManyWorkersWithLittleMemoryEndNormally)
{
    if (testkit::under_address_sanitizer())
        GTEST_SKIP() << kNoLimits;
    testkit::TempDir dir("memory_workers");
    std::vector<std::string> args{"-j", "8"};
    for (int i = 0; i < 40; ++i) {
        args.push_back(testing::PrintToString(i) + ".swf");
        write_small_movie(dir, args.back());
    }
    for (unsigned long long mib = 8; mib <= 80; mib += 12) {
        SCOPED_TRACE(testing::Message() << mib << " MiB");
        testkit::RunLimits cap;
        cap.address_space = mib * kMiB;
        cap.seconds = 60;
        auto r = run_program(kTool, args, dir.path(), cap);
        if (r.status == 127)
            continue;  // the program could not even be started in that little
        ASSERT_NE(r.status, -1) << "ended by a signal\n" << r.error;
        EXPECT_TRUE(r.status == 0 || r.status == 3) << r.status << r.error;
        EXPECT_TRUE(mentions(r, "pixsieve: ")) << r.error;
    }
}

}  // namespace
