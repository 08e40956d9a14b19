// The stand-in file system against real files on a temporary drive.
#include "platform/Files.h"

#include "StandinTestSupport.h"
#include "platform/standin/UniqueFd.h"

#include <chrono>
#include <fcntl.h>
#include <future>
#include <optional>
#include <sys/stat.h>

namespace tarn::platform::testing {
namespace {

namespace fs = std::filesystem;
using standin::UniqueFd;

constexpr wchar_t kDir[] = L"C:\\Program Files\\Vantor\\Tarn\\Services\\";

class FilesTest : public SysRootTest {
protected:
    void SetUp() override {
        SysRootTest::SetUp();
        fs::create_directories(host(kDir));
    }

    std::wstring path(const std::wstring& name) const { return kDir + name; }
    void makeReadOnly(const std::wstring& name) const {
        fs::permissions(host(path(name)),
                        fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    }

    FileSystem& files_ = systemFileSystem();
};

TEST_F(FilesTest, FindMatchesNamesCaseInsensitivelyInCaseInsensitiveOrder) {
    for (const auto* name : {L"b.dfu", L"A.DFU", L"c.Dfu", L"a.dfu.bak", L"dfu", L"Ä.dfu"}) {
        writeFile(path(name), "x");
    }
    fs::create_directories(host(path(L"x.dfu")));
    EXPECT_EQ(files_.findFiles(path(L"*.dfu")),
              (std::vector<std::wstring>{L"A.DFU", L"b.dfu", L"c.Dfu", L"x.dfu", L"Ä.dfu"}));
    EXPECT_EQ(files_.findFiles(path(L"?.DFU*")),
              (std::vector<std::wstring>{L"A.DFU", L"a.dfu.bak", L"b.dfu", L"c.Dfu", L"x.dfu",
                                         L"Ä.dfu"}));
    EXPECT_EQ(files_.findFiles(path(L"*")).size(), 7u) << "never . or ..";
    EXPECT_EQ(files_.findFiles(path(L"ä*")), (std::vector<std::wstring>{L"Ä.dfu"}));
}

TEST_F(FilesTest, FindGivesNothingForAMissingDirectoryOrNoMatch) {
    EXPECT_TRUE(files_.findFiles(path(L"*.dfu")).empty());
    EXPECT_TRUE(files_.findFiles(L"C:\\nowhere\\*.dfu").empty());
    EXPECT_TRUE(files_.findFiles(L"relative\\*.dfu").empty());
}

TEST_F(FilesTest, CreationTimeNeedsAWritableFile) {
    writeFile(path(L"a.dfu"), "x");
    writeFile(path(L"locked.dfu"), "x");
    makeReadOnly(L"locked.dfu");
    fs::create_directories(host(path(L"x.dfu")));

    const auto time = files_.creationTime(path(L"a.dfu"));
    ASSERT_TRUE(time);
    // The file system's own birth time (or, without one, its last write) as a FILETIME:
    // 100-ns units since 1601.
    struct statx info {};
    ASSERT_EQ(::statx(AT_FDCWD, host(path(L"a.dfu")).c_str(), 0, STATX_BTIME | STATX_MTIME, &info),
              0);
    const statx_timestamp stamp =
        (info.stx_mask & STATX_BTIME) != 0 ? info.stx_btime : info.stx_mtime;
    EXPECT_EQ(*time, (static_cast<std::uint64_t>(stamp.tv_sec) + 11644473600ull) * 10'000'000 +
                         stamp.tv_nsec / 100);

    EXPECT_FALSE(files_.creationTime(path(L"locked.dfu"))) << "read-only, also for root";
    EXPECT_FALSE(files_.creationTime(path(L"x.dfu")));
    EXPECT_FALSE(files_.creationTime(path(L"missing.dfu")));
}

TEST_F(FilesTest, CreationTimesOrderFilesByAge) {
    writeFile(path(L"old.dfu"), "x");
    const auto oldTime = files_.creationTime(path(L"old.dfu"));
    ASSERT_TRUE(oldTime);
    // The file system's clock moves in steps of its own: the newer file is made again until
    // its time is a later step, however coarse the steps are.
    std::optional<std::uint64_t> newTime;
    ASSERT_TRUE(integration::waitUntil([&] {
        fs::remove(host(path(L"new.dfu")));
        writeFile(path(L"new.dfu"), "x");
        newTime = files_.creationTime(path(L"new.dfu"));
        return newTime && *newTime != *oldTime;
    }));
    EXPECT_EQ(files_.compareFileTime(*oldTime, *newTime), -1);
    EXPECT_EQ(files_.compareFileTime(*newTime, *oldTime), 1);
    EXPECT_EQ(files_.compareFileTime(*oldTime, *oldTime), 0);
    // Far apart values, where a subtraction would overflow an int.
    EXPECT_EQ(files_.compareFileTime(0, ~0ull), -1);
}

TEST_F(FilesTest, DeleteRemovesOnlyWritableFiles) {
    writeFile(path(L"a.dfu"), "x");
    writeFile(path(L"locked.dfu"), "x");
    makeReadOnly(L"locked.dfu");
    fs::create_directories(host(path(L"x.dfu")));

    EXPECT_TRUE(files_.deleteFile(path(L"a.dfu")));
    EXPECT_FALSE(fs::exists(host(path(L"a.dfu"))));
    EXPECT_FALSE(files_.deleteFile(path(L"a.dfu"))) << "already gone";
    EXPECT_FALSE(files_.deleteFile(path(L"locked.dfu")));
    EXPECT_TRUE(fs::exists(host(path(L"locked.dfu"))));
    EXPECT_FALSE(files_.deleteFile(path(L"x.dfu")));
    EXPECT_TRUE(fs::is_directory(host(path(L"x.dfu"))));
}

TEST_F(FilesTest, ReadsGiveTheBytesInOrderUntilTheEnd) {
    std::string longFile(40, 'i');
    longFile.replace(24, 2, "\x34\x12");
    writeFile(path(L"long.dfu"), longFile);
    writeFile(path(L"short.dfu"), std::string("\x0a\x00\x1a\x0d", 4));

    // Full buffers, then the rest, then nothing.
    std::array<std::uint8_t, 16> buffer{};
    auto file = files_.openForReading(path(L"long.dfu")).file;
    ASSERT_TRUE(file);
    EXPECT_EQ(file->read(buffer).bytes, 16u);
    EXPECT_EQ(file->read(buffer).bytes, 16u);
    EXPECT_EQ(buffer[8], 0x34);
    EXPECT_EQ(buffer[9], 0x12);
    EXPECT_EQ(file->read(buffer).bytes, 8u);
    EXPECT_EQ(file->read(buffer).bytes, 0u);
    EXPECT_TRUE(file->close());

    // Line feed, NUL, end-of-file mark and carriage return come through as they are.
    auto shortFile = files_.openForReading(path(L"short.dfu")).file;
    ASSERT_TRUE(shortFile);
    std::array<std::uint8_t, 1> first{};
    EXPECT_EQ(shortFile->read(first).bytes, 1u);
    EXPECT_EQ(first[0], 0x0a);
    buffer.fill(0xEE);
    EXPECT_EQ(shortFile->read(buffer).bytes, 3u);
    EXPECT_EQ(buffer[0], 0x00);
    EXPECT_EQ(buffer[1], 0x1a);
    EXPECT_EQ(buffer[2], 0x0d);
    EXPECT_EQ(buffer[3], 0xEE) << "nothing written past what was read";
    EXPECT_TRUE(shortFile->close());
    EXPECT_FALSE(shortFile->close()) << "closed once only";
}

// Only plain files open: a FIFO would block the open, a device would never end.
TEST_F(FilesTest, OpenForReadingRefusesAllButPlainFilesWithoutBlocking) {
    fs::create_directories(host(path(L"x.dfu")));
    ASSERT_EQ(::mkfifo(host(path(L"fifo.dfu")).c_str(), 0644), 0);
    fs::create_symlink("/dev/zero", host(path(L"zero.dfu")));

    const std::pair<const wchar_t*, const wchar_t*> refused[] = {
        {L"missing.dfu", L"No such file or directory"},
        {L"x.dfu", L"Is a directory"},
        {L"fifo.dfu", L"not a regular file"},
        {L"zero.dfu", L"not a regular file"}};
    for (const auto& [name, reason] : refused) {
        const std::wstring file = path(name);
        auto opening = std::async(std::launch::async, [&] { return files_.openForReading(file); });
        UniqueFd writer;
        if (opening.wait_for(std::chrono::minutes(1)) != std::future_status::ready) {
            ADD_FAILURE() << name << ": the open blocked";
            // A writer lets a blocked open of a FIFO return, so that the test ends.
            writer.reset(::open(host(file).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
        }
        const OpenedFile opened = opening.get();
        EXPECT_EQ(opened.file, nullptr) << name;
        EXPECT_EQ(opened.failure, reason);
    }
    writeFile(path(L"locked.dfu"), "ab");
    makeReadOnly(L"locked.dfu");
    EXPECT_NE(files_.openForReading(path(L"locked.dfu")).file, nullptr) << "reading needs no write";
}

// Linux has no sharing modes: the nearest is a lock, which writers that lock respect.
TEST_F(FilesTest, AnOpenFileIsLockedAgainstWritersThatLock) {
    writeFile(path(L"fw.dfu"), "0123456789");
    const UniqueFd writer(::open(host(path(L"fw.dfu")).c_str(), O_RDWR | O_CLOEXEC));
    struct flock lock {};
    lock.l_type = F_WRLCK;
    auto held = files_.openForReading(path(L"fw.dfu"));
    EXPECT_NE(::fcntl(writer.get(), F_OFD_SETLK, &lock), 0);
    EXPECT_TRUE(files_.openForReading(path(L"fw.dfu")).file) << "readers share it";
    held.file.reset();
    ASSERT_EQ(::fcntl(writer.get(), F_OFD_SETLK, &lock), 0);
    // A writer that holds its lock keeps us out, as an open writer does on Windows.
    EXPECT_EQ(files_.openForReading(path(L"fw.dfu")).failure, L"Resource temporarily unavailable");
}

} // namespace
} // namespace tarn::platform::testing
