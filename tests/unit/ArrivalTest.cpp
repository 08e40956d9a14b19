// The arrival filter, and the queue between the control handler and the worker.
#include "fakes/HostFixture.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace tarn::service {
namespace {

using Strings = std::vector<std::wstring>;
using fakes::deviceRecord;
using fakes::kDfuName;
using fakes::kRuntimeName;
using fakes::kTarnClass;

class Arrival : public fakes::HostFixture {
protected:
    UpgradeService service{host};
    int arrive(const std::wstring& name, const platform::Guid& cls = kTarnClass) {
        auto record = deviceRecord(name, cls);
        return onDeviceArrival(record.data(), service);
    }
};

TEST_F(Arrival, TheTarnInEitherMode) {
    EXPECT_EQ(arrive(kRuntimeName), 0);
    EXPECT_EQ(serviceTexts(), (Strings{L"device event: device arrival",
                                       L"Guid = {5E1B9C3A-7F24-4D6B-A1C8-93E0F2B47D15}",
                                       L"arrival device is Vantor Tarn."}));
    EXPECT_EQ(typeOf(L"arrival device is Vantor Tarn."), 2);
    EXPECT_EQ(arrive(kDfuName), 0);
    EXPECT_EQ(arrive(L"USB#VID_FFFF&PID_5711#x"), 0);      // any vendor
    EXPECT_EQ(arrive(L"usb#vid_7c3e&pid_5710#sn0001"), 0); // any letter case
    EXPECT_EQ(service.queueSize(), 4u);
    auto event = service.popArrival();
    EXPECT_FALSE(event->force);
    EXPECT_EQ(event->interfaceClass, kInterfaceClass);
    EXPECT_EQ(event->owner, &service);
    EXPECT_EQ(event->deviceName, service.deviceName); // shared: shows the latest name
    EXPECT_EQ(std::wstring(event->deviceName), L"usb#vid_7c3e&pid_5710#sn0001");
}

TEST_F(Arrival, OtherDevices) {
    const platform::Guid other = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_EQ(arrive(L"USB#VID_7C3E&PID_5712#x", other), 1);
    EXPECT_EQ(arrive(L""), 1);
    EXPECT_EQ(service.queueSize(), 0u);
    EXPECT_EQ(serviceTexts()[1], L"Guid = {12345678-9ABC-DEF0-0102-030405060708}");
    EXPECT_EQ(serviceTexts().back(), L"arrival device is not Vantor Tarn.");
    EXPECT_EQ(typeOf(L"arrival device is not Vantor Tarn."), 1);
    EXPECT_EQ(std::wstring(service.deviceName), L""); // overwritten by every arrival
}

TEST_F(Arrival, AShorterNameIsSearchedAlone) {
    arrive(L"USB#VID_7C3E&PID_5710#SN0001_LONG_NAME");
    EXPECT_EQ(arrive(L"PID_57"), 1);
    EXPECT_EQ(std::wstring(service.deviceName), L"PID_57");
}

TEST_F(Arrival, RecordsThatAreNotDeviceInterfaces) {
    EXPECT_EQ(onDeviceArrival(nullptr, service), 1);
    EXPECT_EQ(serviceTexts(),
              (Strings{L"device event: device arrival", L"arrival device is not Vantor Tarn."}));
    // Shorter than its fixed part: only the size field is read.
    std::vector<unsigned char> tiny = deviceRecord(kRuntimeName, kTarnClass);
    const std::uint32_t twelve = 12;
    std::memcpy(tiny.data(), &twelve, sizeof(twelve));
    std::vector<unsigned char> exact(tiny.begin(), tiny.begin() + 12);
    EXPECT_EQ(onDeviceArrival(exact.data(), service), 1);
    // Another device type (a volume, say) with a Tarn-looking name.
    auto volume = deviceRecord(kRuntimeName, kTarnClass, 2);
    EXPECT_EQ(onDeviceArrival(volume.data(), service), 1);
    EXPECT_EQ(service.queueSize(), 0u);
}

TEST_F(Arrival, TheNameNeverRunsPastTheRecordOrTheBuffer) {
    // A size that ends the record before the name's terminator: the name is cut there.
    auto cut = deviceRecord(L"PID_5710_and_more", kTarnClass);
    const auto size =
        static_cast<std::uint32_t>(platform::kDeviceInterfaceNameOffset + 4 * sizeof(wchar_t));
    std::memcpy(cut.data(), &size, sizeof(size));
    std::vector<unsigned char> exact(cut.begin(), cut.begin() + size);
    EXPECT_EQ(onDeviceArrival(exact.data(), service), 1);
    EXPECT_EQ(std::wstring(service.deviceName), L"PID_");

    // 300 characters: 259 are kept and terminated.
    const std::wstring longName = std::wstring(255, L'x') + L"PID_5710" + std::wstring(37, L'y');
    EXPECT_EQ(arrive(longName), 1); // the identifier lies beyond the 259th character
    EXPECT_EQ(std::wstring(service.deviceName), longName.substr(0, 259));
    const std::wstring fits = std::wstring(251, L'x') + L"PID_5711" + std::wstring(40, L'y');
    EXPECT_EQ(arrive(fits), 0);
}

// A look at the attached Tarns runs the filter on the worker's thread while arrivals run it on
// the handler's: both write the one name buffer (the thread sanitizer's build sees any race).
TEST_F(Arrival, TheFilterRunsOnTwoThreadsAtOnce) {
    constexpr int kEach = 500;
    auto record = deviceRecord(kRuntimeName, kTarnClass);
    std::thread worker([&] {
        for (int i = 0; i < kEach; ++i) {
            filterArrival(kTarnClass, kDfuName, service);
        }
    });
    for (int i = 0; i < kEach; ++i) {
        onDeviceArrival(record.data(), service);
    }
    worker.join();
    EXPECT_EQ(service.queueSize(), 2u * kEach);
    const std::wstring last(service.deviceName);
    EXPECT_TRUE(last == kRuntimeName || last == kDfuName) << last;
}

TEST_F(Arrival, TheQueueIsFirstInFirstOut) {
    for (int i = 0; i < 5; ++i) {
        service.pushArrival(UpdateParameter{nullptr, i % 2 == 0, kInterfaceClass, &service});
    }
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(service.popArrival()->force, i % 2 == 0);
    }
}

// 10,000 arrivals from the control handler's thread while the worker drains them: none lost,
// none reordered.
TEST_F(Arrival, ABurstOfArrivalsIsDrainedInOrder) {
    constexpr int kCount = 10000;
    std::vector<std::uintptr_t> seen;
    seen.reserve(kCount);
    std::thread consumer([&] {
        for (int i = 0; i < kCount; ++i) {
            seen.push_back(reinterpret_cast<std::uintptr_t>(service.popArrival()->deviceName));
        }
    });
    for (int i = 0; i < kCount; ++i) {
        // The name pointer carries the sequence number.
        service.pushArrival(UpdateParameter{reinterpret_cast<const wchar_t*>(std::uintptr_t(i + 1)),
                                            false, kInterfaceClass, &service});
    }
    consumer.join();
    ASSERT_EQ(seen.size(), static_cast<std::size_t>(kCount));
    for (int i = 0; i < kCount; ++i) {
        ASSERT_EQ(seen[static_cast<std::size_t>(i)], static_cast<std::uintptr_t>(i + 1));
    }
}

} // namespace
} // namespace tarn::service
