#include "toolkit/imalloc.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capture.h"

namespace {

const uint8_t* at(const void* p, intptr_t offset)
{
    return reinterpret_cast<const uint8_t*>(reinterpret_cast<uintptr_t>(p) + static_cast<uintptr_t>(offset));
}

// Runs one check and returns its result together with what it printed.
std::pair<int, std::string> checked(const void* start, size_t length)
{
    testkit::CapturedStdout capture;
    int rv = imalloc_check(start, length);
    return {rv, capture.take()};
}

void expect_not_found(const void* start, size_t length)
{
    auto [rv, printed] = checked(start, length);
    EXPECT_NE(rv, 0);
    const std::string head = "[DEBUG] ../src/imalloc:";
    const std::string tail = " <imalloc_notfound>: not found:" + std::to_string(reinterpret_cast<intptr_t>(start)) +
                             ",size=" + std::to_string(length) + "\n";
    ASSERT_GT(printed.size(), head.size() + tail.size()) << printed;
    EXPECT_EQ(printed.compare(0, head.size(), head), 0) << printed;
    EXPECT_EQ(printed.compare(printed.size() - tail.size(), tail.size(), tail), 0) << printed;
    const std::string line = printed.substr(head.size(), printed.size() - head.size() - tail.size());
    EXPECT_GT(std::stoi(line), 0) << printed;
}

void expect_found(const void* start, size_t length)
{
    auto [rv, printed] = checked(start, length);
    EXPECT_EQ(rv, 0);
    EXPECT_EQ(printed, "");
}

TEST(Imalloc, ChecksRangesAgainstRecordedBlocks)
{
    imalloc_reset();
    auto* block = static_cast<uint8_t*>(imalloc_malloc(16));
    ASSERT_NE(block, nullptr);
    expect_found(block, 16);
    expect_found(at(block, 5), 11);
    expect_found(at(block, 16), 0);
    expect_not_found(block, 17);
    expect_not_found(at(block, 1), 16);
    expect_not_found(at(block, -1), 2);
    expect_not_found(at(block, 8), SIZE_MAX);  // must not wrap around to "inside"

    auto* zeros = static_cast<uint8_t*>(imalloc_calloc(10, 4));
    ASSERT_NE(zeros, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(zeros, zeros + 40), std::vector<uint8_t>(40, 0));
    expect_found(zeros, 40);
    expect_not_found(zeros, 41);

    // Records are never removed: a released block still passes.
    imalloc_free(block);
    expect_found(block, 16);
    imalloc_free(zeros);
}

TEST(Imalloc, ReallocRecordsTheNewBlockBesideTheOld)
{
    imalloc_reset();
    auto* block = static_cast<uint8_t*>(imalloc_malloc(8));
    ASSERT_NE(block, nullptr);
    std::memcpy(block, "abcdefg", 8);
    const uintptr_t old_start = reinterpret_cast<uintptr_t>(block);
    auto* grown = static_cast<uint8_t*>(imalloc_realloc(block, 4096));
    ASSERT_NE(grown, nullptr);
    EXPECT_STREQ(reinterpret_cast<char*>(grown), "abcdefg");
    expect_found(grown, 4096);
    expect_found(reinterpret_cast<const void*>(old_start), 8);  // the old record stays
    expect_not_found(grown, 4097);
    imalloc_free(grown);

    // A fresh realloc from null behaves as malloc.
    void* fresh = imalloc_realloc(nullptr, 3);
    ASSERT_NE(fresh, nullptr);
    expect_found(fresh, 3);
    imalloc_free(fresh);
}

TEST(Imalloc, FullTableLeavesNewBlocksUnrecorded)
{
    imalloc_reset();
    std::vector<void*> blocks;
    for (int i = 0; i < 1024; ++i)
        blocks.push_back(imalloc_malloc(24));
    void* extra = imalloc_malloc(24);
    ASSERT_NE(extra, nullptr);
    std::memset(extra, 1, 24);  // still a usable block
    expect_found(blocks.front(), 24);
    expect_found(blocks.back(), 24);
    expect_not_found(extra, 1);
    expect_not_found(at(extra, 4), 8);
    imalloc_free(extra);
    for (void* b : blocks)
        imalloc_free(b);
    imalloc_reset();
    expect_not_found(blocks.front(), 1);
}

TEST(Imalloc, RefusesHugeRequestsAndServesEmptyOnes)
{
    imalloc_reset();
    EXPECT_EQ(imalloc_malloc(size_t{1} << 30), nullptr);
    EXPECT_EQ(imalloc_calloc(size_t{1} << 20, size_t{1} << 10), nullptr);
    EXPECT_EQ(imalloc_calloc(SIZE_MAX, 2), nullptr);  // product overflows
    void* small = imalloc_malloc(1);
    ASSERT_NE(small, nullptr);
    EXPECT_EQ(imalloc_realloc(small, size_t{1} << 30), nullptr);
    expect_found(small, 1);  // untouched by the refused resize
    imalloc_free(small);

    void* empty = imalloc_malloc(0);
    ASSERT_NE(empty, nullptr);
    expect_found(empty, 0);
    imalloc_free(empty);
    void* empty_array = imalloc_calloc(0, 8);
    ASSERT_NE(empty_array, nullptr);
    imalloc_free(empty_array);
    imalloc_reset();
}

}  // namespace
