// The listing pass, the detach and doUpgrade: their branches, codes and messages.
#include "fakes/EngineFixture.h"

#include <numeric>

namespace tarn::upgrade {
namespace {

using Strings = std::vector<std::wstring>;
using fakes::kDir;
using fakes::kTool;
using std::chrono::milliseconds;

const std::string kBanner = "dfu-util 0.11\n\nCopyright 2010-2021\n\n";
const std::string kRuntimeLine = "Found Runtime: [7c3e:5710] ver=0102, devnum=4, cfg=1, intf=0, "
                                 "path=\"1-1\", alt=0, name=\"UNKNOWN\", serial=\"SN0001\"\n";
const std::string kDfuLine = "Found DFU: [7c3e:5711] ver=0102, devnum=5, cfg=1, intf=0, "
                             "path=\"1-1\", alt=0, name=\"@Internal Flash\", serial=\"SN0001\"\n";

class Passes : public fakes::EngineFixture {
protected:
    TarnUpgradeProcess engine{context, false};

    void SetUp() override { files.add(kDir + L"fw.dfu", fakes::packageWithRelease(0x0103), 1); }
};

TEST_F(Passes, ListingWithoutAPackageNeverRunsTheTool) {
    files.files.clear();
    EXPECT_EQ(engine.initDfuDevList(), kOutcomeNoPackage);
    EXPECT_TRUE(processes.commandLines.empty());
    EXPECT_EQ(texts().back(), L"initUpgradeInfo Failed " + kDir + L"!");
}

TEST_F(Passes, APackageThatFailsItsCheckNeverRunsTheTool) {
    files.files.front().content.pop_back(); // the last byte of its CRC not yet copied
    EXPECT_EQ(engine.initDfuDevList(), kOutcomeNoPackage);
    EXPECT_TRUE(processes.commandLines.empty());
    EXPECT_EQ(textsFrom(texts().size() - 3),
              (Strings{L"package " + kDir + L"fw.dfu has no valid DFU suffix: bad signature",
                       L"initUpgradeInfo File not found " + kDir + L"*.dfu!",
                       L"initUpgradeInfo Failed " + kDir + L"!"}));
    EXPECT_EQ(files.files.size(), 1u);
}

TEST_F(Passes, ListingRunsTheQuotedToolAndFillsTheRecord) {
    processes.runs.push_back({{kBanner + kRuntimeLine}});
    // Our write end is closed before the read starts, or the read would never end.
    EXPECT_EQ(engine.initDfuDevList(), kOutcomeListed);
    EXPECT_EQ(processes.commandLines, Strings{kTool + L" -l"});
    EXPECT_TRUE(eventLog.contains(L"doCmd updev.mode 2 cmdline is " + kTool + L" -l, sleep 3000"));
    EXPECT_FALSE(eventLog.contains(L"handlePipeInfo timeout, dfu-util terminated"));
    EXPECT_EQ(engine.updev.mode, kModeRuntime);
    EXPECT_EQ(engine.packageName, L"fw.dfu");
    EXPECT_EQ(processes.openPipeEnds, 0);
    // The 100 ms after the one read; no pause slept.
    EXPECT_EQ(clock.sleeps, std::vector<milliseconds>{milliseconds(100)});
}

TEST_F(Passes, ListingFailures) {
    processes.failPipe = true;
    EXPECT_EQ(engine.initDfuDevList(), kOutcomeGeneralFailure);
    EXPECT_EQ(texts().back(), L"CreatePipe Failed!");

    processes.failPipe = false;
    processes.failStart = true;
    TarnUpgradeProcess missingTool(context, false);
    EXPECT_EQ(missingTool.initDfuDevList(), kOutcomeGeneralFailure);
    EXPECT_EQ(texts().back(), L"CreateProcess Failed!");
    EXPECT_EQ(processes.openPipeEnds, 0);

    // A listing that names no device is still a listing.
    processes.failStart = false;
    processes.runs.push_back({{kBanner + "dfu-util: No DFU capable USB device available\n"}});
    TarnUpgradeProcess nothing(context, false);
    EXPECT_EQ(nothing.initDfuDevList(), kOutcomeListed);
    EXPECT_EQ(nothing.updev.mode, kModeNone);
}

TEST_F(Passes, DetachOfARuntimeDevice) {
    processes.runs.push_back({{kBanner + kRuntimeLine}});
    ASSERT_EQ(engine.initDfuDevList(), kOutcomeListed);
    processes.runs.push_back({{kBanner + "Detaching device...\n"}});
    clock.sleeps.clear();
    const std::size_t from = texts().size();
    const std::size_t echoedBefore = out.text().size();

    EXPECT_EQ(engine.doUpgrade(), kOutcomeDetached);
    const std::wstring detach = kTool + L" -d 7c3e:5710,7c3e:5711 -S SN0001 -c 1 -e -f";
    EXPECT_EQ(processes.commandLines.back(), detach);
    const Strings after = textsFrom(from);
    EXPECT_EQ(after[0], L"starting doUpgrade ");
    EXPECT_EQ(after[1], L"enter doDevDetach ");
    EXPECT_EQ(after[2], L"cmdline is " + detach);
    EXPECT_EQ(after[3], L"doCmd updev.mode 0 cmdline is " + detach + L", sleep 50000");
    EXPECT_EQ(engine.updev.mode, kModeDfu);
    // 5000 ms before reading, 100 ms after the read, 3000 ms at the end; no 50 s pause.
    EXPECT_EQ(clock.sleeps, (std::vector<milliseconds>{milliseconds(5000), milliseconds(100),
                                                       milliseconds(3000)}));
    EXPECT_EQ(out.text().substr(echoedBefore), L"0102 \n"); // the device's version, echoed
    EXPECT_EQ(processes.openPipeEnds, 0);
}

TEST_F(Passes, DetachCodes) {
    UpgradeDevice dfu;
    dfu.mode = kModeDfu;
    EXPECT_EQ(engine.doDevDetach(dfu), kDetachAlreadyDfu);
    EXPECT_EQ(texts(),
              (Strings{L"enter doDevDetach ", L"current is DFU mode, and I will do nothing!"}));
    EXPECT_TRUE(processes.commandLines.empty());

    UpgradeDevice odd;
    odd.mode = 9;
    EXPECT_EQ(engine.doDevDetach(odd), kDetachNotStarted);
    EXPECT_TRUE(eventLog.contains(L"cmdline is "));

    processes.failPipe = true;
    EXPECT_EQ(engine.doDevDetach(UpgradeDevice{L"0102", 1, L"A", kModeRuntime}), kDetachNoPipe);
    processes.failPipe = false;
    processes.failStart = true;
    clock.sleeps.clear();
    EXPECT_EQ(engine.doDevDetach(UpgradeDevice{L"0102", 1, L"A", kModeRuntime}), kDetachNotStarted);
    EXPECT_TRUE(clock.sleeps.empty());
    EXPECT_EQ(processes.openPipeEnds, 0);
}

TEST_F(Passes, DownloadInDfuMode) {
    processes.runs.push_back({{kBanner + kDfuLine}});
    ASSERT_EQ(engine.initDfuDevList(), kOutcomeListed);
    processes.runs.push_back({{kBanner, "Download\t[=====] 100%\n", "Download done.\nDone!\n"}});
    clock.sleeps.clear();

    EXPECT_EQ(engine.doUpgrade(), kOutcomeWritten);
    const std::wstring download =
        kTool + L" -d 7c3e:5710,7c3e:5711 -S SN0001 -D \"" + kDir + L"fw.dfu\"";
    EXPECT_EQ(processes.commandLines.back(), download);
    EXPECT_TRUE(eventLog.contains(L"cmdline is " + download));
    EXPECT_TRUE(eventLog.contains(L"doCmd enter sleep"));
    // The pause, slept in the reads' 100 ms rhythm, then one 100 ms after each of three reads.
    EXPECT_EQ(std::accumulate(clock.sleeps.begin(), clock.sleeps.end(), milliseconds(0)),
              milliseconds(200300));
    EXPECT_EQ(texts().back(), L"TarnUpdateResult is 4");
}

// What was checked is what dfu-util reads: the chosen package, and no other, is held from its
// check until the download run has ended.
TEST_F(Passes, TheChosenPackageIsHeldUntilTheDownloadHasEnded) {
    // Oldest first: the choice, by name, is neither the oldest package nor the newest.
    files.files.clear();
    files.add(kDir + L"fw-0103.dfu", fakes::packageWithRelease(0x0103), 1);
    files.add(kDir + L"fw-0104.dfu", fakes::packageWithRelease(0x0104), 2);
    files.add(kDir + L"fw-0102.dfu", fakes::packageWithRelease(0x0102), 3);
    const auto held = [&] {
        Strings names;
        for (const auto& f : files.files) {
            if (*f.openCount > 0) {
                names.push_back(f.path.substr(kDir.size()));
            }
        }
        return names;
    };
    std::vector<Strings> seen; // at each start and each read of a run's output
    processes.onStart = [&] { seen.push_back(held()); };
    processes.onRead = processes.onStart;
    processes.runs.push_back({{kBanner + kDfuLine}});
    ASSERT_EQ(engine.initDfuDevList(), kOutcomeListed);
    EXPECT_EQ(engine.targetVersion, L"0104");
    processes.runs.push_back({{kBanner, "Download\t[=====] 100%\n", "Download done.\nDone!\n"}});
    EXPECT_EQ(engine.doUpgrade(), kOutcomeWritten);
    // The listing's start and its two reads, the download's start, the looks of its pause and
    // its four reads: the last read of each finds the pipe's end.
    EXPECT_EQ(seen, std::vector<Strings>(8 + 2000, Strings{L"fw-0104.dfu"}));
    EXPECT_TRUE(held().empty());
}

TEST_F(Passes, DownloadFailures) {
    processes.runs.push_back({{kBanner + kDfuLine}});
    ASSERT_EQ(engine.initDfuDevList(), kOutcomeListed);
    processes.runs.push_back({{kBanner + "DFU state(10) = dfuERROR, status(10)\n"}});
    EXPECT_EQ(engine.doUpgrade(), kOutcomeDownloadFailed);
    EXPECT_EQ(files.files.size(), 1u); // the package stays for the next pass

    TarnUpgradeProcess silent(context, false);
    processes.runs.push_back({{kBanner + kDfuLine}});
    ASSERT_EQ(silent.initDfuDevList(), kOutcomeListed);
    processes.runs.push_back({{"only a banner\n"}}); // too short to be examined
    EXPECT_EQ(silent.doUpgrade(), kOutcomeGeneralFailure);

    TarnUpgradeProcess noStart(context, false);
    processes.runs.push_back({{kBanner + kDfuLine}});
    ASSERT_EQ(noStart.initDfuDevList(), kOutcomeListed);
    processes.failStart = true;
    eventLog.clear();
    EXPECT_EQ(noStart.doUpgrade(), kOutcomeDownloadFailed);
    EXPECT_FALSE(eventLog.contains(L"TarnUpdateResult is 5"));

    TarnUpgradeProcess noPipe(context, false);
    processes.failStart = false;
    processes.runs.push_back({{kBanner + kDfuLine}});
    ASSERT_EQ(noPipe.initDfuDevList(), kOutcomeListed);
    processes.failPipe = true;
    EXPECT_EQ(noPipe.doUpgrade(), kOutcomeGeneralFailure);
    EXPECT_NE(out.text().find(L"CreatePipe Failed!"), std::wstring::npos);
}

TEST_F(Passes, NoUpgradeNeeded) {
    processes.runs.push_back(
        {{kBanner + "Found Runtime: [7c3e:5710] ver=0200, cfg=1, serial=\"A\"\n"}});
    ASSERT_EQ(engine.initDfuDevList(), kOutcomeListed);
    const std::size_t started = processes.commandLines.size();
    EXPECT_EQ(engine.doUpgrade(), kOutcomeNoUpgradeNeeded);
    EXPECT_EQ(texts().back(), L"return for latest build!");
    EXPECT_EQ(processes.commandLines.size(), started);
}

TEST_F(Passes, AnUnrecognisedDeviceIsListedOnceMore) {
    files.add(kDir + L"fw-new.dfu", "cut short", 2);
    processes.runs.push_back({{kBanner}});
    ASSERT_EQ(engine.initDfuDevList(), kOutcomeListed);
    processes.runs.push_back({{kBanner + kDfuLine}});
    const std::size_t searches = files.searches.size();
    EXPECT_EQ(engine.doUpgrade(), kOutcomeGeneralFailure);
    EXPECT_TRUE(eventLog.contains(L"updev.mode is  2 retry is 0"));
    EXPECT_TRUE(engine.retry);
    EXPECT_EQ(processes.commandLines.size(), 2u);   // listing, listing; no download
    EXPECT_EQ(files.searches.size(), searches + 1); // a second package discovery
    // whose refusal was reported by the first: one entry per package per pass.
    EXPECT_EQ(std::count_if(eventLog.events.begin(), eventLog.events.end(),
                            [](const auto& e) { return e.text.rfind(L"package ", 0) == 0; }),
              1);
    // A second doUpgrade on the same engine gives up without listing again.
    engine.updev.mode = kModeNone;
    EXPECT_EQ(engine.doUpgrade(), kOutcomeGeneralFailure);
    EXPECT_EQ(eventLog.events.back().text, L"Cannot init the device. Upgrade failed!");
    EXPECT_EQ(eventLog.events.back().type, 1);
    EXPECT_EQ(processes.commandLines.size(), 2u);
}

} // namespace
} // namespace tarn::upgrade
