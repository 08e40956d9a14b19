#include "platform/win32/UniqueHandles.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace tarn::platform::win32 {
namespace {

bool isOpen(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
}

TEST(Win32UniqueHandle, ClosesExactlyOnceWhateverWayOwnershipMoves) {
    HANDLE first = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE second = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    {
        UniqueHandle a(first);
        UniqueHandle b(second);
        b = std::move(a); // closes `second`, takes `first`
        EXPECT_FALSE(isOpen(second));
        EXPECT_FALSE(a);
        EXPECT_EQ(b.get(), first);
        UniqueHandle c(std::move(b));
        EXPECT_TRUE(isOpen(first));
    }
    EXPECT_FALSE(isOpen(first));

    HANDLE kept = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    UniqueHandle(kept).release();
    EXPECT_TRUE(isOpen(kept));
    CloseHandle(kept);
}

TEST(Win32UniqueHandle, BothKindsOfNoHandleAreEmpty) {
    EXPECT_FALSE(UniqueHandle(nullptr));
    EXPECT_FALSE(UniqueHandle(INVALID_HANDLE_VALUE));
    EXPECT_FALSE(UniqueFindHandle(INVALID_HANDLE_VALUE));
    EXPECT_FALSE(UniqueFindHandle());
}

} // namespace
} // namespace tarn::platform::win32
