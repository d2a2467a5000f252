#include "swf/swf.h"

#include <vector>

#include <gtest/gtest.h>

#include "load_util.h"
#include "swf_builder.h"

namespace {

using swfkit::Bytes;

std::vector<uint16_t> codes(Swf* swf)
{
    std::vector<uint16_t> out;
    for (SwfTag* tag : swf_tags(swf))
        out.push_back(tag->code);
    return out;
}

// The list read backwards must be the list read forwards, reversed.
std::vector<uint16_t> codes_backwards(Swf* swf)
{
    std::vector<uint16_t> out;
    for (SwfTag* tag = swf->tags.prev; tag != &swf->tags; tag = tag->prev)
        out.insert(out.begin(), tag->code);
    return out;
}

SwfPtr movie_with(std::initializer_list<uint16_t> tag_codes)
{
    swfkit::Movie m;
    for (uint16_t code : tag_codes)
        m.tag(code, Bytes{static_cast<uint8_t>(code)});
    m.end();
    SwfPtr swf = testkit::load_movie(m.build()).swf;
    EXPECT_TRUE(swf);
    return swf;
}

TEST(SwfTagList, AppendMoveToEndAndRemoveKeepBothDirectionsLinked)
{
    SwfPtr swf = movie_with({9, kTagDefineBitsJpeg2});
    ASSERT_TRUE(swf);
    ASSERT_EQ(codes(swf.get()), (std::vector<uint16_t>{9, kTagDefineBitsJpeg2, kTagEnd}));

    SwfTag* end = swf_last_tag(swf.get());
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(end->code, kTagEnd);

    SwfTag* added = swf_append_tag(swf.get(), kTagSymbolClass);
    EXPECT_EQ(added->body.size(), 0u);
    EXPECT_EQ(swf_last_tag(swf.get()), added);
    swf_move_tag_to_end(swf.get(), end);
    const std::vector<uint16_t> moved = {9, kTagDefineBitsJpeg2, kTagSymbolClass, kTagEnd};
    EXPECT_EQ(codes(swf.get()), moved);
    EXPECT_EQ(codes_backwards(swf.get()), moved);

    // Moving the last tag to the end changes nothing.
    swf_move_tag_to_end(swf.get(), end);
    EXPECT_EQ(codes(swf.get()), moved);

    swf_remove_tag(swf.get()->tags.next->next);  // the JPEG2 tag, body and all
    const std::vector<uint16_t> removed = {9, kTagSymbolClass, kTagEnd};
    EXPECT_EQ(codes(swf.get()), removed);
    EXPECT_EQ(codes_backwards(swf.get()), removed);
}

TEST(SwfTagList, EmptyListHasNoLastTagAndTakesAppends)
{
    SwfPtr swf = movie_with({});
    ASSERT_TRUE(swf);
    swf_remove_tag(swf_last_tag(swf.get()));  // the End tag
    EXPECT_EQ(swf_last_tag(swf.get()), nullptr);
    EXPECT_TRUE(codes(swf.get()).empty());

    SwfTag* only = swf_append_tag(swf.get(), kTagEnd);
    EXPECT_EQ(swf_last_tag(swf.get()), only);
    swf_move_tag_to_end(swf.get(), only);
    EXPECT_EQ(codes(swf.get()), std::vector<uint16_t>{kTagEnd});
    EXPECT_EQ(codes_backwards(swf.get()), std::vector<uint16_t>{kTagEnd});
}

}  // namespace
