// The registry record each pass ends with.
#include "fakes/FakeRegistry.h"
#include "fakes/HostFixture.h"

#include <set>

namespace tarn::service {
namespace {

using Strings = std::vector<std::wstring>;
using Values = fakes::FakeRegistry::Values;
using namespace std::chrono_literals;

const std::wstring kDevices = L"SOFTWARE\\Vantor\\Tarn\\Devices";
const std::wstring kNow = L"2026-12-10T12:34:56Z";
const Strings kComplete = {L"TarnUpgradeProcess processing event.... queue size 0",
                           L"arrival device handled completely.", L"Keep service running.",
                           L"TarnUpgradeProcess.initDfuDevList processing event.... done"};

std::string tarn(const std::string& serial, const std::string& version, bool dfu = false) {
    return (dfu ? "Found DFU: [7c3e:5711] ver=" : "Found Runtime: [7c3e:5710] ver=") + version +
           ", cfg=1, serial=\"" + serial + "\"\n";
}

class Inventory : public fakes::HostFixture {
protected:
    fakes::FakeRegistry registry;
    UpgradeService service{host};

    void SetUp() override {
        HostFixture::SetUp();
        host.registry = &registry;
        host.serviceVersion = L"1.0.0.0";
        files.add(fakes::kDir + L"fw-0103.dfu", fakes::packageWithRelease(0x0103), 1);
    }
    // One pass over a listing of `lines` (and the detach's or download's output); the
    // worker's messages.
    Strings pass(const std::string& lines, const std::string& next = "") {
        processes.runs = {{{"dfu-util 0.11\n\n" + lines}}, {{"dfu-util 0.11\n" + next}}};
        service.pushArrival(UpdateParameter{service.deviceName, false, kInterfaceClass, &service});
        eventLog.clear();
        handleNextArrival(service);
        return serviceTexts();
    }
    const Values& device(const std::wstring& name) {
        return registry.keys.at(kDevices + L"\\" + name);
    }
    std::set<std::wstring> deviceNames() {
        const auto names = registry.createKey(kDevices).key->subkeyNames();
        return {names.begin(), names.end()};
    }
};

Values actedOn(const std::wstring& version, const std::wstring& mode, std::uint32_t outcome,
               const std::wstring& words, const std::wstring& time = kNow) {
    return {{L"FirmwareVersion", version},
            {L"Mode", mode},
            {L"LastSeen", time},
            {L"LastOutcome", outcome},
            {L"LastOutcomeText", words},
            {L"LastPackage", L"fw-0103.dfu"},
            {L"LastPackageVersion", L"0103"},
            {L"LastOutcomeTime", time}};
}

TEST_F(Inventory, EveryListedTarnAndTheOutcomeOnTheOneActedOn) {
    // Detached: SN0001 took the package; SN0002 is only seen.
    pass(tarn("SN0001", "0102") + tarn("SN0002", "0200"), "Detaching\n");
    EXPECT_EQ(registry.keys.at(L"SOFTWARE\\Vantor\\Tarn"),
              (Values{{L"ServiceVersion", L"1.0.0.0"}}));
    EXPECT_EQ(device(L"SN0001"), actedOn(L"0102", L"runtime", 3, L"detached into DFU mode"));
    const Values seen = {{L"FirmwareVersion", L"0200"}, {L"Mode", L"runtime"}, {L"LastSeen", kNow}};
    EXPECT_EQ(device(L"SN0002"), seen);

    // Written, an hour later; SN0002 is not listed and keeps what it had.
    clock.utc += 1h;
    const std::wstring later = L"2026-12-10T13:34:56Z";
    pass(tarn("SN0001", "0102", true), "Done!\n");
    EXPECT_EQ(device(L"SN0001"), actedOn(L"0102", L"DFU", 4, L"firmware written", later));
    EXPECT_EQ(device(L"SN0002"), seen);

    // Up to date, both: the pass took no Tarn's record, and each gets the outcome.
    pass(tarn("SN0001", "0103") + tarn("SN0002", "0200"));
    EXPECT_EQ(device(L"SN0001"), actedOn(L"0103", L"runtime", 6, L"up to date", later));
    EXPECT_EQ(std::get<std::uint32_t>(device(L"SN0002").at(L"LastOutcome")), 6u);
}

TEST_F(Inventory, UntrustedSerialsAreEncodedOrRefusedAndThePassEndsAsItWould) {
    struct Case {
        std::string serial;
        std::wstring key; // empty: refused
    };
    const std::vector<Case> cases = {
        {"A\\B", L"A%5CB"},
        {"..\\..\\Run", L"..%5C..%5CRun"},
        {"C\001D\177", L"C%01D%7F"},
        {"50%", L"50%25"},
        {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", L"%E9%u20AC%uD83D%uDE00"},
        {std::string(64, 'Y'), std::wstring(64, L'Y')},
        {"", L""},
        {std::string(65, 'Z'), L""},
        {std::string(300, 'X'), L""},
    };
    std::string lines;
    std::set<std::wstring> expected;
    for (const auto& c : cases) {
        lines += tarn(c.serial, "0200");
        if (!c.key.empty()) {
            expected.insert(c.key);
        }
    }
    Strings messages = pass(lines);
    EXPECT_EQ(deviceNames(), expected);
    // No key but SOFTWARE, Vantor, Tarn, Devices and those directly below it: none nested.
    EXPECT_EQ(registry.keys.size(), 4 + expected.size());
    // The refusals are warnings beside the pass's messages, which are as they would have been.
    EXPECT_EQ(std::erase_if(messages, [](const auto& t) { return t.starts_with(L"Tarn with "); }),
              3u);
    EXPECT_EQ(messages, kComplete);
    EXPECT_EQ(typeOf(L"Tarn with serial \"\" not recorded: a registry key name takes 1 to 64 "
                     L"characters"),
              2);
}

TEST_F(Inventory, AtMost32TarnsTheOldestSeenGoFirst) {
    for (int n = 0; n < 32; ++n) {
        auto& values = registry.keys[kDevices + L"\\T" + std::to_wstring(n)];
        if (n != 5) { // no LastSeen: the oldest of all
            values[L"LastSeen"] = std::wstring(n == 17 ? L"2025" : L"2026") + L"-01-01T00:00:" +
                                  std::to_wstring(10 + (n * 7) % 32) + L"Z";
        }
    }
    pass(tarn("T3", "0200") + tarn("NEW1", "0200") + tarn("NEW2", "0200"));
    EXPECT_EQ(deviceNames().size(), 32u);
    EXPECT_FALSE(deviceNames().contains(L"T5"));
    EXPECT_FALSE(deviceNames().contains(L"T17"));
    EXPECT_TRUE(deviceNames().contains(L"NEW1") && deviceNames().contains(L"NEW2"));
    // One already there makes no room.
    pass(tarn("NEW1", "0200"));
    EXPECT_EQ(deviceNames().size(), 32u);
}

TEST_F(Inventory, ARegistryThatFailsLeavesThePassAsItWas) {
    registry.failCreate = 5;
    Strings expected = kComplete;
    expected.insert(expected.begin() + 1, L"registry record not written, error 5");
    EXPECT_EQ(pass(tarn("SN0001", "0200")), expected);
}

} // namespace
} // namespace tarn::service
