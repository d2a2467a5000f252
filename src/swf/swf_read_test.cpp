#include "swf/swf.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capture.h"
#include "load_util.h"
#include "swf/symbols.h"
#include "swf_builder.h"
#include "test_util.h"

namespace {

using swfkit::Bytes;
using swfkit::Container;
using swfkit::Movie;

using testkit::Loaded;

Loaded load(const Bytes& file) { return testkit::load_movie(file); }

std::string message(const std::string& line) { return testkit::debug_message(line); }

std::string function(const std::string& line)
{
    size_t open = line.find('<'), close = line.find(">: ");
    return open == std::string::npos ? "" : line.substr(open + 1, close - open - 1);
}

std::vector<SwfTag*> tag_list(Swf* swf)
{
    std::vector<SwfTag*> tags;
    for (SwfTag* tag : swf_tags(swf))
        tags.push_back(tag);
    return tags;
}

Movie three_tag_movie(Container container)
{
    Movie m;
    m.container = container;
    const uint8_t bg[] = {1, 2, 3};
    m.tag(9, bg);
    m.tag(1, {});
    m.end();
    return m;
}

TEST(SwfLoad, DebugLinesInOrderForEveryContainer)
{
    for (Container c : {Container::fws, Container::cws, Container::zws}) {
        Loaded l = load(three_tag_movie(c).build());
        ASSERT_TRUE(l.swf);
        std::vector<std::string> expected = {
            "stream->bitpos:1",         "framerate:24,totalframe:1", "[TAG]:SetBackgroundColor (V1.0),3",
            "[TAG]:ShowFrame (V1.0),0", "[TAG]:End (V1.0),0",        "tagnum:3"};
        if (c == Container::cws)
            expected.insert(expected.begin(), testkit::printed_text("cws\xBD\xE2\xD1\xB9\xCB\xF5OK"));
        if (c == Container::zws)
            expected.insert(expected.begin(), testkit::printed_text("zws\xBD\xE2\xD1\xB9\xCB\xF5OK"));
        ASSERT_EQ(l.lines.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i)
            EXPECT_EQ(message(l.lines[i]), expected[i]) << "line " << i;
        for (const std::string& line : l.lines) {
            bool from_stream = message(line).rfind("stream->bitpos", 0) == 0;
            EXPECT_EQ(line.rfind(from_stream ? "[DEBUG] stream:" : "[DEBUG] swf:", 0), 0u) << line;
        }
        EXPECT_EQ(function(l.lines.back()), "swf_read");
        EXPECT_EQ(swf_container(l.swf.get()), "FCZ"[static_cast<int>(c)]);  // kept for a save in the same form
        EXPECT_EQ(l.swf->signature[1], 'W');
    }
}

TEST(SwfLoad, ReadFileNamesThePathFirst)
{
    testkit::TempDir dir("load");
    std::string path = dir.file("a.swf");
    ASSERT_TRUE(swfkit::write_file(path, three_tag_movie(Container::fws).build()));
    testkit::CapturedStdout capture;
    SwfPtr swf(swf_readfile(path.c_str()));
    SwfPtr missing(swf_readfile(dir.file("none.swf").c_str()));
    auto lines = testkit::split_lines(capture.take());
    ASSERT_TRUE(swf);
    EXPECT_FALSE(missing);
    EXPECT_EQ(lines[0], "[DEBUG] swf:" + lines[0].substr(12, lines[0].find(' ', 12) - 12) + " <swf_readfile>: " + path);
    EXPECT_EQ(swf->path, path);
    // An FWS body stays in the block the file was read into: the movie is held once.
    EXPECT_EQ(swf->body.data(), swf->storage.get() + kHeaderSize);
}

TEST(SwfLoad, UncompressedBodyLengthFollowsFileLength)
{
    Movie m;
    Bytes filler(1000 - 8 - 13 - 6 - 2);  // header, frame header, one long record, End
    m.tag(2, filler, true);
    m.end();
    Bytes file = m.build();
    ASSERT_EQ(file.size(), 1000u);
    Loaded l = load(file);
    ASSERT_TRUE(l.swf);
    EXPECT_EQ(l.swf->body.size(), 992u);
    EXPECT_EQ(l.swf->file_length, 1000u);
    // A header that claims less than the file holds cuts the body there.
    m.file_length = 100;
    Loaded cut = load(m.build());
    ASSERT_TRUE(cut.swf);
    EXPECT_EQ(cut.swf->body.size(), 92u);
}

TEST(SwfLoad, ZlibBodiesAndTheirFailures)
{
    Movie m = three_tag_movie(Container::cws);
    m.file_length = 4000;  // larger than the truth: the body is the inflated size
    Loaded big = load(m.build());
    ASSERT_TRUE(big.swf);
    EXPECT_EQ(big.swf->body.size(), m.body().size());

    m.file_length = 12;  // smaller than the inflated body
    Loaded small = load(m.build());
    EXPECT_FALSE(small.swf);
    EXPECT_EQ(message(small.lines.back()), testkit::printed_text("cws\xBD\xE2\xD1\xB9\xCB\xF5\xCA\xA7\xB0\xDC:-5"));

    m.file_length.reset();
    Bytes damaged = m.build();
    damaged[10] ^= 0xFF;
    damaged[11] ^= 0xFF;
    Loaded bad = load(damaged);
    EXPECT_FALSE(bad.swf);
    EXPECT_EQ(message(bad.lines.back()), testkit::printed_text("cws\xBD\xE2\xD1\xB9\xCB\xF5\xCA\xA7\xB0\xDC:-3"));

    Bytes trailing = m.build();
    trailing.insert(trailing.end(), {1, 2, 3, 4});
    EXPECT_TRUE(load(trailing).swf);
}

TEST(SwfLoad, LzmaBodiesAndTheirFailures)
{
    Movie m = three_tag_movie(Container::zws);
    Loaded ok = load(m.build());
    ASSERT_TRUE(ok.swf);
    EXPECT_EQ(ok.swf->body.size(), m.body().size());

    Bytes file = m.build();
    file.resize(file.size() - 3);
    Loaded cut = load(file);
    EXPECT_FALSE(cut.swf);
    EXPECT_EQ(message(cut.lines.back()), testkit::printed_text("zws\xBD\xE2\xD1\xB9\xCB\xF5\xCA\xA7\xB0\xDC:6"));
}

TEST(SwfLoad, FrameHeaderValues)
{
    Movie m = three_tag_movie(Container::fws);
    m.rate = 30;
    m.rate_fraction = 128;
    m.frames = 777;
    Loaded l = load(m.build());
    ASSERT_TRUE(l.swf);
    EXPECT_EQ(l.swf->frame_rect.len, 9u);
    EXPECT_EQ(l.swf->rect_bits, 15);
    EXPECT_EQ(l.swf->xmax, 550);
    EXPECT_EQ(l.swf->ymax, 400);
    EXPECT_EQ(l.swf->frame_rate, 30);
    EXPECT_EQ(l.swf->frame_count, 777);
    EXPECT_EQ(std::memcmp(l.swf->frame_rect.buf, m.frame_rect.data(), 9), 0);

    m.frame_rect = swfkit::rect(14, -30, 8191, -8192, 45);
    Loaded even = load(m.build());
    ASSERT_TRUE(even.swf);
    EXPECT_EQ(even.swf->frame_rect.len, 8u);
    EXPECT_EQ(message(even.lines[0]), "stream->bitpos:5");
    EXPECT_EQ(even.swf->xmin, -1);  // truncated toward zero
    EXPECT_EQ(even.swf->xmax, 409);
    EXPECT_EQ(even.swf->ymin, -409);
    EXPECT_EQ(even.swf->ymax, 2);
}

TEST(SwfTags, EveryRecordListedInFileOrder)
{
    Movie m;
    Bytes b62(62, 0x11), b5 = {1, 2, 3, 4, 5};
    m.tag(2, b62);
    m.tag(2, b5, true);
    m.tag(100, {});
    m.tag(87, {});
    m.end();
    m.tag(1, {});  // records after End are read too
    Loaded l = load(m.build());
    ASSERT_TRUE(l.swf);
    auto tags = tag_list(l.swf.get());
    ASSERT_EQ(tags.size(), 6u);
    EXPECT_EQ(tags[0]->body.size(), 62u);
    EXPECT_EQ(tags[1]->body.size(), 5u);
    EXPECT_EQ(tags[1]->body.data()[4], 5);
    EXPECT_EQ(tags[2]->code, 100);
    EXPECT_EQ(tags[2]->body.size(), 0u);
    EXPECT_EQ(tags[4]->code, kTagEnd);
    EXPECT_EQ(tags[5]->code, 1);
    EXPECT_EQ(message(l.lines[4]), "[TAG]:d,0");
    EXPECT_EQ(message(l.lines[5]), "[TAG]:DefineSceneAndFrameData(v9.0),0");
    EXPECT_EQ(message(l.lines.back()), "tagnum:6");
    // Tag bodies are views into the movie's one body, not copies.
    const size_t at = l.swf->frame_rect.len + 4 + 2;
    EXPECT_EQ(tags[0]->body.data(), l.swf->body.data() + at);
    EXPECT_EQ(tags[1]->body.data(), tags[0]->body.data() + 62 + 6);  // past the long header
}

TEST(SwfTags, NamesTable)
{
    EXPECT_EQ(swf_tag_name(0), "End (V1.0)");
    EXPECT_EQ(swf_tag_name(36), "DefineBitsLossless2 (V3.0)");
    EXPECT_EQ(swf_tag_name(72), "DoABC(v9.0)");
    EXPECT_EQ(swf_tag_name(76), "SymbolClass(v9.0)");
    EXPECT_EQ(swf_tag_name(86), swf_tag_name(87));
    EXPECT_EQ(swf_tag_name(90), "DefineBitsJPEG4(v10.0)");
    EXPECT_EQ(swf_tag_name(27), std::string(1, char(27)));  // gaps in the table
    EXPECT_EQ(swf_tag_name(100), "d");
    EXPECT_STREQ(swf_tag_name(256).c_str(), "");
}

TEST(SwfLoad, MalformedHeadersAreRefusedWithALine)
{
    Movie good = three_tag_movie(Container::fws);
    Bytes sig = good.build();
    sig[0] = 'X';
    Bytes sig2 = good.build();
    sig2[1] = 'X';
    Movie tiny = good;
    tiny.file_length = 7;
    Movie huge = good;
    huge.file_length = 1u << 30;
    Bytes zws_short = {'Z', 'W', 'S', 13, 40, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8};
    Movie no_frame;
    no_frame.frame_rect = {};
    no_frame.records = {};
    Bytes cut_frame = no_frame.build();
    cut_frame.resize(10);
    cut_frame[4] = 10;
    for (const Bytes& file : {Bytes{'F', 'W', 'S'}, sig, sig2, tiny.build(), huge.build(), zws_short, cut_frame}) {
        Loaded l = load(file);
        EXPECT_FALSE(l.swf);
        ASSERT_FALSE(l.lines.empty());
        EXPECT_EQ(l.lines.back().rfind("[DEBUG] swf:", 0), 0u);
    }
}

TEST(SwfLoad, BrokenRecordEndsTheListKeepingEarlierTags)
{
    Movie m;
    m.tag(9, Bytes{1, 2, 3});
    swfkit::put_u16(m.records, 2 << 6 | 63);
    swfkit::put_u32(m.records, 0xFFFFFFFF);  // runs far past the body
    m.records.push_back(0);
    Loaded l = load(m.build());
    ASSERT_TRUE(l.swf);
    EXPECT_EQ(tag_list(l.swf.get()).size(), 1u);
    EXPECT_NE(message(l.lines[l.lines.size() - 2]).find("past the end"), std::string::npos);
    EXPECT_EQ(message(l.lines.back()), "tagnum:1");
}

// Every prefix of a movie in every container loads or is refused, never crashes.
TEST(SwfLoad, TruncatedAtEveryOffset)
{
    for (Container c : {Container::fws, Container::cws, Container::zws}) {
        Movie m = three_tag_movie(c);
        m.tag(kTagSymbolClass, swfkit::symbol_class_body({{1, "a.b.Pic"}, {2, "x"}}));
        m.tag(kTagDefineBitsLossless2, swfkit::lossless_body(1, 5, 2, 2, Bytes(16, 0x80)));
        m.end();
        Bytes file = m.build();
        for (size_t n = 0; n < file.size(); ++n) {
            Bytes prefix(file.begin(), file.begin() + static_cast<long>(n));
            Loaded l = load(prefix);
            if (l.swf) {
                EXPECT_LE(l.swf->body.size(), m.body().size());
            }
        }
    }
}

}  // namespace
