#include "support/fileio.h"

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "support/memory.h"

namespace {

std::string temp_path(const char* name) { return testing::TempDir() + "pixsieve_fileio_" + name; }

TEST(FileIo, ReadMissingFileLeavesSizeUntouched)
{
    int size = 1234;
    EXPECT_EQ(file_read_all_raw("/nonexistent/dir/file.bin", &size), nullptr);
    EXPECT_EQ(size, 1234);
    EXPECT_FALSE(file_exists("/nonexistent/dir/file.bin"));
}

TEST(FileIo, WriteAppendReadRoundTrip)
{
    std::string path = temp_path("roundtrip");
    ASSERT_EQ(file_write_all(path.c_str(), "hello", 0), 1);  // length 0: strlen
    ASSERT_EQ(file_append(path.c_str(), "\0xy", 3), 1);
    int size = -1;
    ByteBuffer data(file_read_all(path.c_str(), &size));
    ASSERT_NE(data, nullptr);
    ASSERT_EQ(size, 8);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data.get()), 8), std::string("hello\0xy", 8));
    EXPECT_TRUE(file_exists(path.c_str()));
    std::remove(path.c_str());
}

TEST(FileIo, EmptyFileAndNullArguments)
{
    std::string path = temp_path("empty");
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fclose(f);
    int size = -1;
    ByteBuffer data(file_read_all(path.c_str(), &size));
    EXPECT_NE(data, nullptr);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(file_write_all(nullptr, "x", 1), 0);
    EXPECT_EQ(file_write_all(path.c_str(), nullptr, 1), 0);
    EXPECT_EQ(file_write_all("/nonexistent/dir/out.bin", "x", 1), 0);
    std::remove(path.c_str());
}

uint8_t* fake_reader(const char*, int* size)
{
    *size = 3;
    auto* p = static_cast<uint8_t*>(std::malloc(3));
    p[0] = 'a', p[1] = 'b', p[2] = 'c';
    return p;
}

bool always_exists(const char*) { return true; }

TEST(FileIo, HooksReplaceTheDisk)
{
    file_set_read_hook(fake_reader);
    file_set_exists_hook(always_exists);
    int size = 0;
    ByteBuffer data(file_read_all("/nonexistent", &size));
    EXPECT_TRUE(file_exists("/nonexistent"));
    file_set_read_hook(nullptr);
    file_set_exists_hook(nullptr);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(size, 3);
    EXPECT_EQ(data[2], 'c');
    EXPECT_FALSE(file_exists("/nonexistent"));
}

TEST(FileIoDeathTest, FailExitPrintsAndExitsWithOne)
{
    EXPECT_EXIT(fail_exit("bad %d", 7), testing::ExitedWithCode(1), "");
}

}  // namespace
