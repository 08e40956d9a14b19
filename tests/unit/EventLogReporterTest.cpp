#include "eventlog/EventLogReporter.h"

#include "fakes/FakeEventLog.h"

#include <gtest/gtest.h>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace tarn::eventlog {
namespace {

using fakes::FakeEventLog;

TEST(EventLogReporter, ReportsWithRunningIdsPerSource) {
    FakeEventLog log;
    EventLogReporter engine(log, L"TarnUpgradeProcess", 21);
    EventLogReporter service(log, L"VantorTarnWindowsUpdateService", 1);
    ASSERT_EQ(log.registered, (std::vector<std::wstring>{L"TarnUpgradeProcess",
                                                         L"VantorTarnWindowsUpdateService"}));

    service.reportEvent(EventType::Warning, L"run Tarn windows update normally.");
    engine.reportEvent(EventType::Information, L"enter initDev 1");
    service.reportEvent(EventType::Success, L"run service success");
    engine.reportEvent(EventType::Error, L"code %d", 7);

    ASSERT_EQ(log.events.size(), 4u);
    EXPECT_EQ(log.events[0].source, L"VantorTarnWindowsUpdateService");
    EXPECT_EQ(log.events[0].id, 1u);
    EXPECT_EQ(log.events[0].type, 2);
    EXPECT_EQ(log.events[1].id, 21u);
    EXPECT_EQ(log.events[1].type, 4);
    EXPECT_EQ(log.events[2].id, 2u);
    EXPECT_EQ(log.events[2].type, 0); // success is its own type, not information
    EXPECT_EQ(log.events[3].id, 22u);
    EXPECT_EQ(log.events[3].type, 1);
    EXPECT_EQ(log.events[3].text, L"code 7");
    for (const auto& e : log.events) {
        EXPECT_EQ(e.category, 0);
    }
}

TEST(EventLogReporter, CutsMessagesTo255Characters) {
    FakeEventLog log;
    EventLogReporter reporter(log, L"s", 1);
    const std::wstring exact(255, L'x');
    reporter.reportEvent(EventType::Information, L"%s", exact);
    reporter.reportEvent(EventType::Information, L"%s", std::wstring(300, L'y'));
    reporter.reportEvent(EventType::Information, L"handlePipeInfo updev.mode %d strOutput= %s", 2,
                         std::wstring(1 << 20, L'z'));
    ASSERT_EQ(log.events.size(), 3u);
    EXPECT_EQ(log.events[0].text, exact);
    EXPECT_EQ(log.events[1].text, std::wstring(255, L'y'));
    EXPECT_EQ(log.events[2].text.size(), 255u);
    EXPECT_EQ(log.events[2].text.substr(0, 41), L"handlePipeInfo updev.mode 2 strOutput= zz");
}

TEST(EventLogReporter, ALostReportStillConsumesItsId) {
    FakeEventLog log;
    log.refuseRegistration = true;
    EventLogReporter refused(log, L"s", 21);
    refused.reportEvent(EventType::Information, L"lost");
    refused.reportEvent(EventType::Information, L"lost too");
    EXPECT_EQ(log.calls, 2); // the reports still went out, to a null source
    EXPECT_TRUE(log.events.empty());
    EXPECT_EQ(refused.nextEventId(), 23u);
}

TEST(EventLogReporter, IdsStayDistinctAcrossThreads) {
    FakeEventLog log;
    EventLogReporter reporter(log, L"s", 1);
    constexpr int kThreads = 4;
    constexpr int kEach = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) {
                reporter.reportEvent(EventType::Information, L"n %d", i);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    std::set<std::uint32_t> ids;
    for (const auto& e : log.events) {
        ids.insert(e.id);
    }
    EXPECT_EQ(ids.size(), static_cast<std::size_t>(kThreads * kEach));
    EXPECT_EQ(*ids.begin(), 1u);
    EXPECT_EQ(*ids.rbegin(), static_cast<std::uint32_t>(kThreads * kEach));
}

} // namespace
} // namespace tarn::eventlog
