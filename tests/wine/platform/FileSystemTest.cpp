#include "Win32TestSupport.h"
#include "WineSupport.h"
#include "platform/Files.h"

#include <algorithm>
#include <array>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <windows.h>

namespace tarn::platform {
namespace {

using test::writeFile;

class Win32FileSystemTest : public ::testing::Test {
protected:
    FileSystem& files_ = systemFileSystem();
    winetest::ScratchFolder folder_;
};

std::vector<std::wstring> sorted(std::vector<std::wstring> names) {
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(Win32FileSystemTest, FindFilesMatchesWithoutCaseAndReturnsFoldersToo) {
    ASSERT_TRUE(writeFile(folder_ / L"a.dfu", "x"));
    ASSERT_TRUE(writeFile(folder_ / L"B.DFU", "x"));
    ASSERT_TRUE(writeFile(folder_ / L"c.txt", "x"));
    ASSERT_TRUE(writeFile(folder_ / L"d.dfu.txt", "x"));
    ASSERT_TRUE(CreateDirectoryW((folder_ / L"pkg.dfu").c_str(), nullptr));
    ASSERT_TRUE(writeFile(folder_ / L"hidden.dfu", "x"));
    SetFileAttributesW((folder_ / L"hidden.dfu").c_str(), FILE_ATTRIBUTE_HIDDEN);

    EXPECT_EQ(sorted(files_.findFiles(folder_ / L"*.dfu")),
              (std::vector<std::wstring>{L"B.DFU", L"a.dfu", L"hidden.dfu", L"pkg.dfu"}));
    EXPECT_TRUE(files_.findFiles(folder_ / L"*.zip").empty());
    EXPECT_TRUE(files_.findFiles(folder_ / L"missing\\*.dfu").empty());
}

TEST_F(Win32FileSystemTest, CreationTimeNeedsWriteSharing) {
    const std::wstring plain = folder_ / L"plain.dfu";
    ASSERT_TRUE(writeFile(plain, "x"));

    const auto time = files_.creationTime(plain);
    ASSERT_TRUE(time);
    EXPECT_GT(*time, 0u);
    EXPECT_FALSE(files_.creationTime(folder_ / L"missing.dfu"));

    // Opened elsewhere for reading only: our request for write access is refused.
    HANDLE reader = CreateFileW(plain.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(files_.creationTime(plain));
    CloseHandle(reader);
    // Opened elsewhere with every kind of sharing: the time can be read.
    HANDLE sharing = CreateFileW(plain.c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(sharing, INVALID_HANDLE_VALUE);
    EXPECT_EQ(files_.creationTime(plain), time);
    CloseHandle(sharing);
}

TEST_F(Win32FileSystemTest, ReadOnlyFilesHaveNoCreationTime) {
    const std::wstring readOnly = folder_ / L"read-only.dfu";
    ASSERT_TRUE(writeFile(readOnly, "x"));
    ASSERT_TRUE(SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    HANDLE writer = CreateFileW(readOnly.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (writer != INVALID_HANDLE_VALUE) {
        // Wine run by root: the host lets root write whatever the attribute says.
        CloseHandle(writer);
        GTEST_SKIP() << "this system opens read-only files for writing";
    }
    EXPECT_FALSE(files_.creationTime(readOnly));
}

TEST_F(Win32FileSystemTest, CreationTimeLeavesTheFileClosed) {
    const std::wstring path = folder_ / L"a.dfu";
    ASSERT_TRUE(writeFile(path, "x"));
    ASSERT_TRUE(files_.creationTime(path));
    // An open without any sharing succeeds only when no handle to the file is left.
    HANDLE exclusive =
        CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(exclusive, INVALID_HANDLE_VALUE);
    CloseHandle(exclusive);
}

TEST_F(Win32FileSystemTest, CreationTimesFollowTheOrderOfCreation) {
    const std::wstring older = folder_ / L"older.dfu";
    ASSERT_TRUE(writeFile(older, "x"));
    const auto olderTime = files_.creationTime(older);
    ASSERT_TRUE(olderTime);
    // The file system's clock moves in steps of its own: newer files are made until one's time
    // is a later step, however coarse the steps are. Each under a name of its own: Windows gives
    // a name deleted and made again at once its old creation time.
    std::wstring newer;
    std::optional<std::uint64_t> newerTime;
    int attempt = 0;
    ASSERT_TRUE(winetest::waitUntil([&] {
        newer = folder_ / (L"newer" + std::to_wstring(++attempt) + L".dfu");
        newerTime = writeFile(newer, "x") ? files_.creationTime(newer) : std::nullopt;
        return newerTime && *newerTime != *olderTime;
    }));
    EXPECT_LT(files_.compareFileTime(*olderTime, *newerTime), 0);
    EXPECT_GT(files_.compareFileTime(*newerTime, *olderTime), 0);
}

TEST_F(Win32FileSystemTest, CompareFileTimeUsesAllSixtyFourBits) {
    EXPECT_EQ(files_.compareFileTime(5, 5), 0);
    EXPECT_LT(files_.compareFileTime(0, 1), 0);
    EXPECT_GT(files_.compareFileTime(1ull << 32, 0xFFFFFFFFull), 0);
    EXPECT_LT(files_.compareFileTime(0x1'00000000ull, 0x1'00000001ull), 0);
    EXPECT_GT(files_.compareFileTime(0x8000000000000000ull, 1), 0);
}

TEST_F(Win32FileSystemTest, DeleteFileRemovesTheFileAndReportsAMissingOne) {
    const std::wstring path = folder_ / L"old.dfu";
    ASSERT_TRUE(writeFile(path, "x"));
    EXPECT_TRUE(files_.deleteFile(path));
    EXPECT_EQ(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(files_.deleteFile(path));
}

std::string readAll(BinaryFile& file) {
    std::string bytes;
    std::array<std::uint8_t, 7> buffer{};
    for (std::size_t n; (n = file.read(buffer).bytes) > 0;) {
        bytes.append(reinterpret_cast<const char*>(buffer.data()), n);
    }
    return bytes;
}

TEST_F(Win32FileSystemTest, BinaryReadsGiveTheBytesUnchanged) {
    // A byte-order mark first, then the bytes text mode would translate or stop at.
    const std::string content("\xFF\xFE\x1A\x00\x0D\x0A\xEF\xBB\xBF\x0D\x0D\x0A\x1A\x00\x34\x12"
                              "\x0A\x00\x1A\x1A",
                              20);
    const std::wstring path = folder_ / L"fw.dfu";
    ASSERT_TRUE(writeFile(path, content));
    auto file = files_.openForReading(path).file;
    ASSERT_TRUE(file);
    EXPECT_EQ(readAll(*file), content);
    EXPECT_TRUE(file->close());
}

TEST_F(Win32FileSystemTest, OpeningFailsWithTheSystemsReasonAndAnEmptyFileReadsNothing) {
    const OpenedFile missing = files_.openForReading(folder_ / L"missing.dfu");
    EXPECT_EQ(missing.file, nullptr);
    EXPECT_FALSE(missing.failure.empty());
    EXPECT_NE(missing.failure.back(), L'\n');
    const std::wstring path = folder_ / L"empty.dfu";
    ASSERT_TRUE(writeFile(path, ""));
    auto file = files_.openForReading(path).file;
    ASSERT_TRUE(file);
    std::array<std::uint8_t, 16> buffer{};
    EXPECT_EQ(file->read(buffer).bytes, 0u);
    EXPECT_TRUE(file->close());
    EXPECT_FALSE(file->close()) << "closed twice";
    EXPECT_EQ(files_.openForReading(folder_.path()).file, nullptr) << "a folder";
}

} // namespace
} // namespace tarn::platform
