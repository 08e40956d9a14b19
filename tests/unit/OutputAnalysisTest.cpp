// analyseBuffer: the line rules, the completion check and the device-line scan.
#include "upgrade/OutputAnalysis.h"

#include "fakes/EngineFixture.h"

namespace tarn::upgrade {
namespace {

using Strings = std::vector<std::wstring>;

Strings allLines(std::wstring_view text) {
    Strings lines;
    OutputLines cursor(text);
    while (cursor.hasMore()) {
        lines.emplace_back(cursor.take());
    }
    return lines;
}

TEST(OutputLines, LineFeedsOnlySeparate) {
    EXPECT_EQ(allLines(L""), Strings{});
    EXPECT_EQ(allLines(L"a"), Strings{L"a"});
    EXPECT_EQ(allLines(L"a\n"), Strings{L"a"});
    EXPECT_EQ(allLines(L"\n\na\n\n\nb"), (Strings{L"a", L"b"}));
    EXPECT_EQ(allLines(L"a\n\n"), (Strings{L"a", L""})); // the empty line at the end
    EXPECT_EQ(allLines(L"\n\n\n"), Strings{L""});
    EXPECT_EQ(allLines(L"a\r\nb\r\n"), (Strings{L"a\r", L"b\r"}));
    EXPECT_EQ(allLines(std::wstring(L"a\0b\nc", 5)), (Strings{std::wstring(L"a\0b", 3), L"c"}));
}

class Analysis : public fakes::EngineFixture {
protected:
    TarnUpgradeProcess engine{context, false};
    void SetUp() override { engine.targetVersion = L"0103"; }
    void download(const std::wstring& text) {
        engine.updev.mode = kModeDfu;
        engine.analyseBuffer(text, kOutputDownload);
    }
};

TEST_F(Analysis, TheFirstLineIsNeverExamined) {
    download(L"Done!\n");
    EXPECT_EQ(engine.TarnUpdateResult, kOutcomeGeneralFailure);
    EXPECT_EQ(texts(), Strings{L"analyseBuffer updev.mode 1"});

    eventLog.clear();
    download(L"\n\nDone!");
    EXPECT_EQ(engine.TarnUpdateResult, kOutcomeGeneralFailure);
    EXPECT_EQ(texts(), Strings{L"analyseBuffer updev.mode 1"});
}

TEST_F(Analysis, DoneOnTheSecondLine) {
    download(L"dfu-util 0.11\nDone!\nstate(10)\n");
    EXPECT_EQ(engine.TarnUpdateResult, kOutcomeWritten);
    EXPECT_EQ(texts(), (Strings{L"analyseBuffer strTmp= Done!",
                                L"analyseBuffer Upgrade check SUCCESS: strTmp=Done!"}));
}

TEST_F(Analysis, LinesWithoutAMarker) {
    download(L"banner\nline two\nline three\n");
    EXPECT_EQ(engine.TarnUpdateResult, kOutcomeDownloadFailed);
    EXPECT_EQ(texts(),
              (Strings{L"analyseBuffer strTmp= line two", L" Can't find 'Done!' in line two",
                       L"analyseBuffer strTmp= line three", L" Can't find 'Done!' in line three",
                       L"analyseBuffer updev.mode 1"}));
    EXPECT_EQ(out.text(), L"Can't find 'Done!' in line twoCan't find 'Done!' in line three");
}

TEST_F(Analysis, TheFirstMarkerDecides) {
    download(L"b\nDFU state(10) = dfuERROR\nDone!\n");
    EXPECT_EQ(engine.TarnUpdateResult, kOutcomeDownloadFailed);
    EXPECT_EQ(texts().back(),
              L"analyseBuffer Upgrade check ERROR: strTmp=DFU state(10) = dfuERROR");
    EXPECT_EQ(texts().size(), 2u);

    TarnUpgradeProcess both(context, false);
    both.updev.mode = kModeDfu;
    both.analyseBuffer(L"b\nstate(10) Done!\n", kOutputDownload);
    EXPECT_EQ(both.TarnUpdateResult, kOutcomeWritten);

    TarnUpgradeProcess cased(context, false);
    cased.updev.mode = kModeDfu;
    cased.analyseBuffer(L"b\nDONE!\ndone!\n", kOutputDownload);
    EXPECT_EQ(cased.TarnUpdateResult, kOutcomeDownloadFailed);

    // An empty line at the end counts as a line without a marker.
    TarnUpgradeProcess trailing(context, false);
    trailing.updev.mode = kModeDfu;
    eventLog.clear();
    trailing.analyseBuffer(L"b\nx\n\n", kOutputDownload);
    EXPECT_EQ(texts()[2], L"analyseBuffer strTmp= ");
}

// dfu-util 0.11 on a Tarn left in dfuERROR: it clears the state and downloads.
TEST_F(Analysis, AnErrorStateTheToolClearsDoesNotDecide) {
    download(L"b\nDFU state(10) = dfuERROR, status(15) = Device stalled an unexpected request\n"
             L"Clearing status\nDetermining device status...\n"
             L"DFU state(2) = dfuIDLE, status(0) = No error condition is present\nDone!\n");
    EXPECT_EQ(engine.TarnUpdateResult, kOutcomeWritten);
    EXPECT_EQ(texts()[1], L"analyseBuffer error state cleared: strTmp=DFU state(10) = dfuERROR, "
                          L"status(15) = Device stalled an unexpected request");
}

// One warning quoting the tool's line; on standard error it may come before the banner.
TEST_F(Analysis, ARefusedDetachIsAWarningQuotingTheTool) {
    const auto warnings = [&] {
        Strings out;
        for (const auto& e : eventLog.events) {
            if (e.type == 2) {
                out.push_back(e.text);
            }
        }
        return out;
    };
    for (const std::wstring refusal :
         {L"dfu-util: can't detach", L"dfu-util: More than one DFU capable USB device found! Try",
          L"dfu-util: No DFU capable USB device available"}) {
        for (const auto& output : {refusal + L"\nbanner\n", L"banner\n" + refusal + L"\n"}) {
            eventLog.clear();
            engine.analyseBuffer(output + L"Resetting USB...\n", kOutputDetach);
            EXPECT_EQ(warnings(), Strings{L"doDevDetach dfu-util refused: " + refusal}) << output;
        }
    }
    eventLog.clear();
    engine.analyseBuffer(L"banner\nResetting USB...\n", kOutputDetach);
    EXPECT_TRUE(warnings().empty());
}

TEST_F(Analysis, DownloadOutputOutsideDfuModeIsScannedForDevices) {
    engine.updev.mode = kModeRuntime;
    engine.analyseBuffer(L"b\nDone!\n", kOutputDownload);
    EXPECT_EQ(engine.TarnUpdateResult, kOutcomeGeneralFailure);
}

TEST_F(Analysis, ListingHandsEveryDeviceLineToInitDev) {
    const std::wstring listing =
        L"dfu-util 0.11\n\nCopyright ...\r\n"
        L"Found Runtime: [0483:df11] ver=0200, devnum=3, cfg=1, serial=\"OTHER\"\n"
        L"Found Runtime: [7c3e:5710] ver=0102, devnum=4, cfg=1, intf=0, path=\"1-1\", alt=0, "
        L"name=\"UNKNOWN\", serial=\"SN0001\"\r\n";
    engine.analyseBuffer(listing, kOutputListing);
    EXPECT_EQ(engine.updev.mode, kModeRuntime);
    EXPECT_EQ(engine.updev.sn, L"SN0001");
    EXPECT_TRUE(engine.upgradeNeeded);
    const auto logged = texts();
    EXPECT_EQ(logged.back(), L"analyseBuffer updev.mode 0");
    EXPECT_EQ(
        std::count_if(logged.begin(), logged.end(),
                      [](const std::wstring& t) { return t.rfind(L"initDev devData=", 0) == 0; }),
        1);
}

TEST_F(Analysis, AnErrorTextWithTheIdentifierAndDfuIsTakenForADfuLine) {
    engine.analyseBuffer(L"b\nCannot open DFU device 7c3e:5711\n", kOutputListing);
    EXPECT_EQ(engine.updev.mode, kModeDfu);
    EXPECT_EQ(engine.updev.version, L"");
    EXPECT_FALSE(engine.upgradeNeeded);
}

// Whatever the tool writes, the analysis ends with the outcome its rules give: 5 for a download
// in DFU mode with an examined line and no marker, otherwise the outcome it started with.
TEST_F(Analysis, BadInputNeverBreaksTheAnalysis) {
    struct Input {
        std::wstring text;
        bool hasExaminedLine; // a line after the first
    };
    const Input inputs[] = {
        {L"", false},
        {std::wstring(1000, L'\n'), false},
        {L"no line feed at all 7c3e:5710 Runtime ver=", false},
        {std::wstring(1 << 20, L'x'), false},
        {L"b\n" + std::wstring(1 << 20, L'7') + L"7c3e:5710 Runtime ver=0102, cfg=", true},
        {L"b\r\r\r\n\r\n7c3e:5711 DFU\r", true},
        {std::wstring(L"b\n7c3e:5710\0Runtime\0ver=01\0, serial=\0", 37), true},
        {L"b\n7c3e:5710 Runtime cfg=99999999999999999999, ver=0, serial=", true},
        {L"b\n7c3e:5710 Runtime serial=\"\"\"\", ver=,,,,", true},
    };
    for (const auto& input : inputs) {
        for (std::int32_t kind : {kOutputListing, kOutputDetach, kOutputDownload}) {
            for (std::int32_t mode : {kModeRuntime, kModeDfu, kModeNone}) {
                TarnUpgradeProcess e(context, false);
                e.targetVersion = L"0103";
                e.updev.mode = mode;
                e.analyseBuffer(input.text, kind);
                const bool checked = kind == kOutputDownload && mode == kModeDfu;
                EXPECT_EQ(e.TarnUpdateResult, checked && input.hasExaminedLine ? 5 : 7)
                    << "input " << (&input - inputs) << ", kind " << kind << ", mode " << mode;
            }
        }
        eventLog.clear();
    }
}

TEST_F(Analysis, TenMegabytesOfOneLinePerLineOutput) {
    // Each line is taken as a view of the text: quadratic copying of the rest would make this
    // run for minutes (the benchmarks hold the figures).
    std::wstring big;
    const std::wstring line = L"Download\t[=========            ]  42%        40960 bytes\n";
    std::size_t lines = 0;
    while (big.size() < 10u << 20) {
        big += line;
        ++lines;
    }
    engine.updev.mode = kModeRuntime;
    engine.analyseBuffer(big, kOutputListing);
    // Every line but the first examined and reported, then the closing message.
    ASSERT_EQ(eventLog.events.size(), lines);
    EXPECT_EQ(eventLog.events[1].text, L"analyseBuffer strTmp= " + line.substr(0, line.size() - 1));
    EXPECT_EQ(eventLog.events.back().text, L"analyseBuffer updev.mode 0");
    EXPECT_EQ(engine.updev.mode, kModeRuntime);
}

} // namespace
} // namespace tarn::upgrade
