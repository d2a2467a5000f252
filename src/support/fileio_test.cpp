#include "support/fileio.h"

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "support/memory.h"

namespace {

std::string temp_path(const char* name) { return testing::TempDir() + "pixsieve_fileio_" + name; }

TEST(FileIo, ReadMissingFileLeavesSizeUntouched)
{
    int size = 1234;
    EXPECT_EQ(file_read_all("/nonexistent/dir/file.bin", &size), nullptr);
    EXPECT_EQ(size, 1234);
}

TEST(FileIo, ReadsEveryByteAndEmptyFiles)
{
    std::string path = temp_path("bytes");
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite("hello\0xy", 1, 8, f);
    std::fclose(f);
    int size = -1;
    ByteBuffer data(file_read_all(path.c_str(), &size));
    ASSERT_NE(data, nullptr);
    ASSERT_EQ(size, 8);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data.get()), 8), std::string("hello\0xy", 8));

    f = std::fopen(path.c_str(), "wb");
    std::fclose(f);
    data = ByteBuffer(file_read_all(path.c_str(), &size));
    EXPECT_NE(data, nullptr);
    EXPECT_EQ(size, 0);
    std::remove(path.c_str());
}

TEST(FileIo, RefusesAFolder)
{
    int size = 7;
    EXPECT_EQ(file_read_all(testing::TempDir().c_str(), &size), nullptr);
    EXPECT_EQ(size, 7);
}

}  // namespace
