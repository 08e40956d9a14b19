// initDev and checkVersion: one device line into the record, and the decision behind it.
#include "fakes/EngineFixture.h"

#include <limits>
#include <sstream>

namespace tarn::upgrade {
namespace {

using Strings = std::vector<std::wstring>;

class DeviceRecord : public fakes::EngineFixture {
protected:
    TarnUpgradeProcess engine{context, false};
    void SetUp() override { engine.targetVersion = L"0103"; }
};

TEST_F(DeviceRecord, TheWorkedExample) {
    const std::wstring line = L"[7c3e:5710] Runtime ver=0102, cfg=1, active=1, serial=\"SN0001\"";
    engine.initDev(line);
    EXPECT_EQ(engine.updev.mode, kModeRuntime);
    EXPECT_EQ(engine.updev.version, L"0102");
    EXPECT_TRUE(engine.upgradeNeeded);
    EXPECT_EQ(engine.updev.cfgId, 1);
    EXPECT_EQ(engine.updev.sn, L"SN0001");
    EXPECT_EQ(texts(),
              (Strings{L"initDev devData= " + line, L"enter initDev 1", L"updev.mode is  0",
                       L"curDev.version is 0102 targetVersion is 0103", L"initDev updev.cfgId= 1",
                       L"initDev updev.sn= SN0001", L"leave initDev"}));
    EXPECT_EQ(out.text(), L"updev.mode is 0\nupdev.cfgId is 1\nupdev.sn is SN0001\n");
    for (const auto& e : eventLog.events) {
        EXPECT_EQ(e.type, 4);
        EXPECT_EQ(e.source, L"TarnUpgradeProcess");
    }
    EXPECT_EQ(eventLog.events.front().id, 21u);
}

TEST_F(DeviceRecord, AnInactiveConfigurationChangesNothing) {
    for (const std::wstring line : {L"Found Runtime: [7c3e:5710] ver=0102, active=0, cfg=1",
                                    L"Found Runtime: [7c3e:5710] ver=0102, cfg=1, active=0"}) {
        eventLog.clear();
        engine.initDev(line);
        EXPECT_EQ(engine.updev.mode, kModeNone) << line;
        EXPECT_FALSE(engine.upgradeNeeded);
        EXPECT_EQ(texts(), (Strings{L"initDev devData= " + line, L"enter initDev 1",
                                    L"current config is not active. Its value is  0"}));
    }
    // "0" followed by a carriage return, or after a blank, is not "0": active.
    engine.initDev(L"Found Runtime: [7c3e:5710] ver=0102, cfg=1, active=0\r");
    EXPECT_EQ(engine.updev.mode, kModeRuntime);
    TarnUpgradeProcess other(context, false);
    other.initDev(L"Found DFU: [7c3e:5711] ver=0102, active= 0");
    EXPECT_EQ(other.updev.mode, kModeDfu);
}

TEST_F(DeviceRecord, ModeWords) {
    // A DFU line logs nothing for the mode, but echoes it.
    engine.initDev(L"Found DFU: [7c3e:5711] ver=0102, cfg=1, serial=\"SN0001\"\r");
    EXPECT_EQ(engine.updev.mode, kModeDfu);
    EXPECT_EQ(engine.updev.sn, L"SN0001"); // the carriage return trimmed away
    const auto logged = texts();
    EXPECT_EQ(std::count(logged.begin(), logged.end(), L"updev.mode is  1"), 0);
    EXPECT_EQ(out.text().rfind(L"updev.mode is 1\n", 0), 0u);

    // Both words: runtime is tested first.
    TarnUpgradeProcess both(context, false);
    both.initDev(L"x Runtime DFU [7c3e:5710]");
    EXPECT_EQ(both.updev.mode, kModeRuntime);

    // "Runtime" at the start does not count; the DFU test follows under the same rule.
    TarnUpgradeProcess start(context, false);
    start.initDev(L"Runtime [7c3e:5710] Runtime DFU ver=0102");
    EXPECT_EQ(start.updev.mode, kModeDfu);

    // Neither word: only the echo, nothing changes.
    TarnUpgradeProcess neither(context, false);
    neither.targetVersion = L"0103";
    out = fakes::RecordingOutput();
    neither.initDev(L"DFU [7c3e:5710] ver=0001");
    EXPECT_EQ(neither.updev.mode, kModeNone);
    EXPECT_EQ(neither.updev.version, L"");
    EXPECT_EQ(out.text(),
              L"The status of the device is unkown. Its value is DFU [7c3e:5710] ver=0001\n");
}

TEST_F(DeviceRecord, KeysTakenByTheirRules) {
    engine.initDev(L"Found DFU: [7c3e:5711] ver= 0102 , cfg=12abc, serial=\" SN 0001 \"");
    EXPECT_EQ(engine.updev.version, L"0102");
    EXPECT_EQ(engine.updev.cfgId, 12);
    EXPECT_EQ(engine.updev.sn, L"SN 0001"); // inner blanks stay

    TarnUpgradeProcess comma(context, false);
    comma.targetVersion = L"0103";
    comma.initDev(L"Found DFU: [7c3e:5711] ver=0102, serial=\"SN,0001\", cfg=x");
    EXPECT_EQ(comma.updev.sn, L"SN"); // cut at the comma, quote gone
    EXPECT_EQ(comma.updev.cfgId, 0);

    TarnUpgradeProcess huge(context, false);
    huge.targetVersion = L"0103";
    huge.initDev(L"Found DFU: [7c3e:5711] ver=0102, cfg=99999999999");
    EXPECT_EQ(huge.updev.cfgId, std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(huge.updev.sn, L"");
}

// The record comes whole from one line: the first DFU-mode Tarn, else the first runtime Tarn that
// needs the package, else the first with a mode; no other line changes it. Lines as "R|D VERSION
// SERIAL CFG"; the record as "MODE VERSION CFG SERIAL NEEDED;" and the serials told to wait.
TEST_F(DeviceRecord, OneLineFillsTheRecord) {
    const std::pair<Strings, std::wstring> cases[] = {
        {{L"R 0102 A 1", L"D 0103 B 2"}, L"1 0103 2 B yes; A"},
        {{L"D 0102 B 2", L"R 0102 A 1"}, L"1 0102 2 B yes; A"},
        {{L"D ffff A 1", L"D 0102 B 1"}, L"1 ffff 1 A yes; B"}, // in DFU mode, whatever version
        {{L"R 0103 A 1", L"R 0102 B 3"}, L"0 0102 3 B yes;"},
        {{L"R 0102 A 1", L"R 0102 B 3", L"R 0200 C 1"}, L"0 0102 1 A yes; B"},
        // Nothing to do: cfg and serial are not read.
        {{L"R 0103 A 1", L"R 0200 B 1"}, L"0 0103 0  no;"},
    };
    for (const auto& [lines, expected] : cases) {
        TarnUpgradeProcess e(context, false);
        e.targetVersion = L"0103";
        eventLog.clear();
        for (const auto& line : lines) {
            std::wistringstream in(line);
            std::wstring mode, version, serial, cfg;
            in >> mode >> version >> serial >> cfg;
            e.initDev((mode == L"D" ? L"Found DFU: [7c3e:5711] ver="
                                    : L"Found Runtime: [7c3e:5710] ver=") +
                      version + L", cfg=" + cfg + L", serial=\"" + serial + L"\"");
        }
        std::wstring got = std::to_wstring(e.updev.mode) + L" " + e.updev.version + L" " +
                           std::to_wstring(e.updev.cfgId) + L" " + e.updev.sn +
                           (e.upgradeNeeded ? L" yes;" : L" no;");
        for (const auto& t : texts()) {
            if (t.ends_with(L" waits for a later pass")) { // "initDev device S waits ..."
                got += L" " + t.substr(15, t.size() - 15 - 23);
            }
        }
        EXPECT_EQ(got, expected) << lines.front();
    }
}

struct VersionCase {
    const wchar_t* device;
    const wchar_t* target;
    bool force;
    bool upgrade;
    std::vector<std::wstring> messages;
};

TEST_F(DeviceRecord, VersionDecision) {
    const VersionCase cases[] = {
        {L"0102", L"0103", false, true, {L"curDev.version is 0102 targetVersion is 0103"}},
        {L"0103",
         L"0103",
         false,
         false,
         {L"curDev.version is 0103 targetVersion is 0103",
          L"The device is running same or newer version"}},
        {L"0200",
         L"0103",
         false,
         false,
         {L"curDev.version is 0200 targetVersion is 0103",
          L"The device is running same or newer version"}},
        {L"00ff", L"0100", false, true, {L"curDev.version is 00ff targetVersion is 0100"}},
        {L"0102",
         L"",
         false,
         false,
         {L"curDev.version is 0102 targetVersion is ",
          L"The device is running same or newer version"}},
        {L"0A00", L"0a00", false, true, {L"curDev.version is 0A00 targetVersion is 0a00"}},
        {L"999",
         L"0a00",
         false,
         false,
         {L"curDev.version is 999 targetVersion is 0a00",
          L"The device is running same or newer version"}},
        {L"", L"0103", false, false, {L"curDev.version is null"}},
        {L"", L"0103", true, true, {L"Force upgrade flag is set - don't check SW REV!"}},
        {L"0200", L"0103", true, true, {L"Force upgrade flag is set - don't check SW REV!"}},
    };
    for (const auto& c : cases) {
        TarnUpgradeProcess e(context, c.force);
        e.targetVersion = c.target;
        eventLog.clear();
        EXPECT_EQ(e.checkVersion(c.device), c.upgrade) << c.device << " vs " << c.target;
        EXPECT_EQ(texts(), c.messages) << c.device << " vs " << c.target;
    }
}

} // namespace
} // namespace tarn::upgrade
