// A thousand arrivals: every one accounted for, in order, and nothing grows.
#include "IntegrationSupport.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>

namespace tarn::integration {
namespace {

namespace fs = std::filesystem;

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARN_ADDRESS_SANITIZER
#endif
#endif
#if defined(TARN_ADDRESS_SANITIZER) || defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

// Resident growth allowed between the hundredth and the thousandth arrival.
constexpr long kGrowthLimitKb = 256;

struct Usage {
    long fds = 0;
    long threads = 0;
    long rssKb = 0;
};

Usage usageOf(int pid) {
    Usage u;
    const fs::path proc = "/proc/" + std::to_string(pid);
    for ([[maybe_unused]] const auto& fd : fs::directory_iterator(proc / "fd")) {
        ++u.fds;
    }
    std::ifstream status(proc / "status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Threads:", 0) == 0) {
            u.threads = std::stol(line.substr(8));
        } else if (line.rfind("VmRSS:", 0) == 0) {
            u.rssKb = std::stol(line.substr(6));
        }
    }
    return u;
}

TEST(Soak, AThousandArrivals) {
    SimulatorSysRoot sysroot;
    ServiceUnderTest service(sysroot);
    sysroot.installSimulator();
    sysroot.makePackage("fw-0103.dfu", "0103");
    // Current firmware: each pass lists the device and finds nothing to do.
    sysroot.sim({"add", "SN0001", "--mode", "runtime", "--version", "0103"});
    ASSERT_EQ(service.direct({"install"}).exitCode, 0);
    ASSERT_EQ(service.sc({"start", kServiceName}).exitCode, 0);
    const int pid = service.processId();
    ASSERT_GT(pid, 0);

    const std::string name = ServiceUnderTest::interfaceName("5710", "SN0001");
    Usage first;
    Usage last;
    constexpr int kBatches = 10;
    constexpr int kBatch = 100;
    for (int batch = 1; batch <= kBatches; ++batch) {
        for (int i = 0; i < kBatch; ++i) {
            ASSERT_EQ(service.sc({"arrive", kServiceName, name}).exitCode, 0);
        }
        ASSERT_TRUE(service.waitFor(kDone, batch * kBatch, std::chrono::minutes(10)))
            << "batch " << batch;
        (batch == 1 ? first : last) = usageOf(pid);
    }

    const auto log = readEventLog(sysroot.root());
    int arrivals = 0;
    int passes = 0;
    int finished = 0;
    // The service process's IDs (the installer's run came first, with IDs of its own): two
    // threads report, so lines may land out of ID order, but none may be missing.
    std::vector<unsigned> ids;
    bool inService = false;
    for (const auto& e : log) {
        if (e.source == kServiceName) {
            inService = inService || e.text == "run Tarn windows update normally.";
            if (inService) {
                ids.push_back(e.id);
            }
        }
        arrivals += e.text == "arrival device is Vantor Tarn." ? 1 : 0;
        passes += e.text.rfind("TarnUpgradeProcess processing event.... queue size", 0) == 0;
        finished += e.text == "return for latest build!" ? 1 : 0;
    }
    std::sort(ids.begin(), ids.end());
    for (std::size_t i = 0; i < ids.size(); ++i) {
        ASSERT_EQ(ids[i], i + 1);
    }
    EXPECT_EQ(arrivals, kBatches * kBatch);
    EXPECT_EQ(passes, kBatches * kBatch);
    EXPECT_EQ(finished, kBatches * kBatch);

    std::printf("after 100 arrivals: %ld fds, %ld threads, %ld kB; after 1000: %ld fds, %ld "
                "threads, %ld kB\n",
                first.fds, first.threads, first.rssKb, last.fds, last.threads, last.rssKb);
    EXPECT_EQ(last.fds, first.fds);
    EXPECT_EQ(last.threads, first.threads);
    // Once warm, the service holds its size: a pass that kept a few hundred bytes would add
    // the bound over these 900. AddressSanitizer's quarantine holds freed memory for a while,
    // so there the figure says nothing.
    if (!kAddressSanitizer) {
        EXPECT_LE(last.rssKb - first.rssKb, kGrowthLimitKb);
    }

    EXPECT_EQ(service.sc({"stop", kServiceName}).exitCode, 0);
    ASSERT_TRUE(service.waitFor("service install failed."));
}

} // namespace
} // namespace tarn::integration
