#include "download/TMyFileStream.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "tests/support/TempFolder.h"

namespace fs = std::filesystem;

TEST(TMyFileStream, CreateReplacesAndOpenKeeps) {
    TTempFolder dir;
    const std::string path = dir.File("out.flv");
    std::ofstream(path) << "old contents that must go";
    {
        TMyFileStream f(path, fmCreate);
        EXPECT_EQ(f.Size(), 0);
        EXPECT_EQ(f.Write("abc", 3), 3);
    }
    EXPECT_EQ(ReadFile(path), "abc");
    {
        TMyFileStream f(path, fmOpenReadWrite | fmShareDenyNone);
        EXPECT_EQ(f.Size(), 3) << "opening must not empty the file";
        EXPECT_EQ(f.Seek(0, soBeginning), 0);
        EXPECT_EQ(f.Write("xy", 2), 2);
        char buf[8] = {};
        EXPECT_EQ(f.Seek(0, soBeginning), 0);
        EXPECT_EQ(f.Read(buf, 8), 3);
        EXPECT_STREQ(buf, "xyc");
    }
}

TEST(TMyFileStream, FailuresNameThePath) {
    TTempFolder dir;
    const std::string missing = dir.File("no-such-file");
    const std::string inMissingDir = dir.File("no-dir/file");
    struct Row {
        std::string path;
        uint16_t mode;
        bool create;
    } rows[] = {
        {missing, fmOpenReadWrite | fmShareDenyNone, false},
        {missing, fmOpenRead, false},
        {inMissingDir, fmCreate, true},
        {inMissingDir, fmOpenWrite, false},
    };
    for (const auto& row : rows) {
        try {
            TMyFileStream f(row.path, row.mode);
            ADD_FAILURE() << row.path << " opened";
        } catch (const EFCreateError& e) {
            EXPECT_TRUE(row.create);
            EXPECT_EQ(std::string(e.what()), "Cannot create file " + row.path);
        } catch (const EFOpenError& e) {
            EXPECT_FALSE(row.create);
            EXPECT_EQ(std::string(e.what()), "Cannot open file " + row.path);
        }
    }
    EXPECT_FALSE(fs::exists(missing)) << "a failed open must not create the file";
}

TEST(TMyFileStream, ShareModesAgainstAnExclusiveHolder) {
    TTempFolder dir;
    const std::string path = dir.File("locked");
    TMyFileStream holder(path, fmCreate);
    struct Row {
        uint16_t mode;
        bool opens;
    } rows[] = {
        {fmOpenReadWrite | fmShareDenyNone, true},
        {fmOpenRead, true},
        {fmOpenReadWrite | fmShareExclusive, false},
        {fmOpenRead | fmShareDenyWrite, false},
    };
    for (const auto& row : rows) {
        bool opened = true;
        try {
            TMyFileStream f(path, row.mode);
        } catch (const EFOpenError&) {
            opened = false;
        }
        EXPECT_EQ(opened, row.opens) << "mode " << row.mode;
    }
}

TEST(TMyFileStream, PositionsBeyondFourGiB) {
    TTempFolder dir;
    const std::string path = dir.File("sparse");
    const int64_t big = 5'000'000'000;
    TMyFileStream f(path, fmCreate);
    ASSERT_TRUE(f.SetSize(big));
    EXPECT_EQ(f.Size(), big);
    EXPECT_EQ(f.Seek(big - 2, soBeginning), big - 2);
    EXPECT_EQ(f.Write("end", 3), 3);
    EXPECT_EQ(f.Size(), big + 1);
    EXPECT_EQ(f.Position(), big + 1);
    EXPECT_EQ(f.Seek(-3, soEnd), big - 2);
    char buf[4] = {};
    EXPECT_EQ(f.Read(buf, 3), 3);
    EXPECT_STREQ(buf, "end");
    EXPECT_EQ(f.Seek(-1, soBeginning), -1);
    EXPECT_FALSE(f.SetSize(-1));
}

TEST(TMyFileStream, DescriptorIsClosedAndNotInherited) {
    TTempFolder dir;
    int fd;
    {
        TMyFileStream f(dir.File("fd"), fmCreate);
        fd = f.Handle();
        ASSERT_GE(fd, 0);
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    }
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
}

TEST(TMyFileStream, GatheredWritesArriveWholeAndInOrder) {
    TTempFolder dir;
    const size_t blocks[] = {1, 8190, 65536, 65537, 3, 200000};
    std::string expected;
    {
        TMyFileStream f(dir.File("gathered"), fmCreate);
        char c = 'a';
        for (size_t n : blocks) {
            std::string block(n, c++);
            expected += block;
            EXPECT_EQ(f.Write(block.data(), int64_t(n)), int64_t(n));
        }
        EXPECT_EQ(f.Size(), int64_t(expected.size())) << "Size must see gathered bytes";
        EXPECT_EQ(f.Write("tail", 4), 4);
        expected += "tail";
    }
    EXPECT_TRUE(ReadFile(dir.File("gathered")) == expected);
}

TEST(TMyFileStream, RefusedBytesAreReportedNotLost) {
    // /dev/full refuses every write with "no space left".
    TMyFileStream f("/dev/full", fmOpenWrite);
    EXPECT_EQ(f.Write("abc", 3), 3) << "small writes are gathered first";
    EXPECT_FALSE(f.Flush());
    EXPECT_EQ(f.Write("abc", 3), 0);
    EXPECT_FALSE(f.Flush()) << "the failure stays";
    TMyFileStream g("/dev/full", fmOpenWrite);
    std::string big(TMyFileStream::GatherSize + 1, 'x');
    EXPECT_EQ(g.Write(big.data(), int64_t(big.size())), 0);
}
