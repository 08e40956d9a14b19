// Which package a pass flashes, which ones it deletes, and the version it reads.
#include "fakes/EngineFixture.h"
#include "upgrade/Packages.h"

namespace tarn::upgrade {
namespace {

using Strings = std::vector<std::wstring>;
using fakes::kDir;
using fakes::packageWithRelease;

class Packages : public fakes::EngineFixture {
protected:
    TarnUpgradeProcess engine{context, false};

    // Adds packages created in the given order (the first is the oldest).
    void create(const Strings& names) {
        std::uint64_t time = 1000;
        for (const auto& name : names) {
            files.add(kDir + name, packageWithRelease(0x0103), time);
            time += 10;
        }
    }
    Strings remaining() const {
        Strings names;
        for (const auto& f : files.files) {
            names.push_back(f.path.substr(kDir.size()));
        }
        return names;
    }
    Strings messagesStartingWith(std::wstring_view prefix) const {
        Strings out;
        for (const auto& t : texts()) {
            if (t.rfind(prefix, 0) == 0) {
                out.push_back(t);
            }
        }
        return out;
    }
};

TEST_F(Packages, NothingToFind) {
    EXPECT_EQ(engine.initUpgradeInfo(kDir), -1);
    EXPECT_EQ(texts(), (Strings{L"initUpgradeInfo packageList= " + kDir + L"*.dfu",
                                L"initUpgradeInfo File not found " + kDir + L"*.dfu!"}));
    EXPECT_TRUE(engine.packageName.empty());
    EXPECT_TRUE(engine.targetVersion.empty());
}

TEST_F(Packages, OnePackage) {
    create({L"a.dfu"});
    EXPECT_EQ(engine.initUpgradeInfo(kDir), 1);
    EXPECT_EQ(engine.packageName, L"a.dfu");
    EXPECT_EQ(engine.targetVersion, L"0103");
    EXPECT_EQ(texts(),
              (Strings{L"initUpgradeInfo packageList= " + kDir + L"*.dfu",
                       L"adding a.dfu to the unsorted list", L"adding a.dfu to the sorted list",
                       L"use file   ", L"get targetVersion is 0103!"}));
    EXPECT_TRUE(files.deletions.empty());
}

struct Ordering {
    Strings created; // oldest first
    std::wstring chosen;
    Strings deleted;
    std::wstring usedFile; // the name in "use file", empty for none
    Strings damaged{};     // checked first, and then neither chosen, nor deleted, nor named
};

TEST_F(Packages, ChoiceAndDeletionsForEachOrdering) {
    const Ordering orderings[] = {
        {{L"a.zip.dfu"}, L"a.zip.dfu", {}, L"a.zip.dfu"}, // named, not deleted
        {{L"fw_1.dfu", L"fw_2.dfu"}, L"fw_2.dfu", {}, L"fw_1.dfu"},
        {{L"fw_1.dfu", L"fw_2.dfu", L"fw_3.dfu"}, L"fw_3.dfu", {L"fw_1.dfu"}, L"fw_2.dfu"},
        {{L"fw_3.dfu", L"fw_1.dfu", L"fw_2.dfu"}, L"fw_3.dfu", {L"fw_1.dfu"}, L"fw_2.dfu"},
        {{L"x.zip.dfu", L"fw_1.dfu"}, L"fw_1.dfu", {L"x.zip.dfu"}, L"x.zip.dfu"},
        {{L"a.zip.dfu", L"b.zip.dfu"}, L"b.zip.dfu", {L"a.zip.dfu"}, L"a.zip.dfu"},
        {{L"a.dfu", L"b.zip.dfu", L"c.dfu"}, L"c.dfu", {L"b.zip.dfu"}, L"a.dfu"},
        // Without regard to case, as the file system compares names: by code unit 'F' < 'f',
        // and the older package would be flashed.
        {{L"fw-0103.dfu", L"FW-0104.DFU"}, L"FW-0104.DFU", {}, L"fw-0103.dfu"},
        {{L"x.ZIP.dfu", L"fw_1.dfu"}, L"fw_1.dfu", {L"x.ZIP.dfu"}, L"x.ZIP.dfu"},
        {{L"c.dfu", L"b.dfu", L"a.dfu", L"d.zip.dfu"},
         L"c.dfu",
         {L"b.dfu", L"a.dfu"},
         L"d.zip.dfu"},
        // A damaged newest copy no longer holds back the good one; a damaged oldest one (a
        // copy still under way?) is no longer deleted; a damaged zipped one neither.
        {{L"fw-2.dfu", L"fw-3.dfu", L"fw-9.dfu"}, L"fw-3.dfu", {}, L"fw-2.dfu", {L"fw-9.dfu"}},
        {{L"fw-0.dfu", L"fw-1.dfu", L"fw-4.dfu"}, L"fw-4.dfu", {}, L"fw-1.dfu", {L"fw-0.dfu"}},
        {{L"x.zip.dfu", L"a.zip.dfu", L"b.dfu"},
         L"a.zip.dfu",
         {},
         L"a.zip.dfu",
         {L"x.zip.dfu", L"b.dfu"}},
    };
    for (const auto& o : orderings) {
        files.files.clear();
        files.deletions.clear();
        eventLog.clear();
        create(o.created);
        for (const auto& name : o.damaged) {
            files.find(kDir + name)->content.pop_back();
        }
        TarnUpgradeProcess e(context, false);
        ASSERT_EQ(e.initUpgradeInfo(kDir), 1);
        EXPECT_EQ(e.packageName, o.chosen) << o.created.front();
        Strings deleted;
        for (const auto& path : files.deletions) {
            deleted.push_back(path.substr(kDir.size()));
        }
        EXPECT_EQ(deleted, o.deleted) << o.created.front();
        EXPECT_EQ(remaining().size(), o.created.size() - o.deleted.size()); // held ones let go
        EXPECT_EQ(messagesStartingWith(L"use file"),
                  Strings{L"use file  " + (o.usedFile.empty() ? L"" : kDir + o.usedFile) + L" "})
            << o.created.front();
        EXPECT_EQ(messagesStartingWith(L"package ").size(), o.damaged.size());
        // The chosen package is never deleted.
        const Strings left = remaining();
        EXPECT_NE(std::find(left.begin(), left.end(), o.chosen), left.end());
    }
}

TEST_F(Packages, TheDeleteMessagesOfEveryStepButTheLast) {
    create({L"fw_1.dfu", L"fw_2.dfu", L"fw_3.dfu"});
    engine.initUpgradeInfo(kDir);
    EXPECT_EQ(messagesStartingWith(L"file delete"),
              (Strings{L"file delete   ", L"file delete  " + kDir + L"fw_1.dfu "}));
    const Strings sorted = messagesStartingWith(L"adding");
    EXPECT_EQ(sorted[3], L"adding fw_1.dfu to the sorted list");
}

TEST_F(Packages, AZippedOldestIsNamedTwice) {
    create({L"x.zip.dfu", L"a.dfu", L"b.dfu"});
    engine.initUpgradeInfo(kDir);
    EXPECT_EQ(messagesStartingWith(L"file delete"),
              (Strings{L"file delete  " + kDir + L"x.zip.dfu ",
                       L"file delete  " + kDir + L"x.zip.dfu "}));
    EXPECT_EQ(files.deletions.size(), 2u); // the second finds nothing, and that is no error
    EXPECT_EQ(engine.packageName, L"b.dfu");
}

TEST_F(Packages, UnreadableTimesSortAmongTheOldest) {
    // A read-only package (no time) sorts before older writable ones.
    files.add(kDir + L"old.dfu", packageWithRelease(1), 5);
    files.add(kDir + L"readonly.dfu", packageWithRelease(2), std::nullopt);
    const auto sorted = sortByCreationTime(context, {L"old.dfu", L"readonly.dfu", L"gone.dfu"});
    ASSERT_EQ(sorted.size(), 3u);
    EXPECT_EQ(sorted[0].name, L"readonly.dfu");
    EXPECT_EQ(sorted[1].name, L"gone.dfu"); // vanished since the search: time 0 as well
    EXPECT_EQ(sorted[2].name, L"old.dfu");
}

TEST_F(Packages, TargetVersionFromAValidSuffix) {
    struct Case {
        std::string content;
        const wchar_t* version;
    };
    const Case cases[] = {
        {packageWithRelease(0x1234), L"1234"},
        {packageWithRelease(0x000A), L"000a"},
        // What the runtime's Unicode text mode used to corrupt comes through whole.
        {packageWithRelease(0x001A), L"001a"},
        {packageWithRelease(0x000D, 32, 0x7c3e, 0x5710), L"000d"},
        {packageWithRelease(0xFEFF, 1), L"feff"},                              // a byte-order mark
        {packageWithRelease(0x0103, 200000, 0xFFFF, 0xFFFF, 0x0110), L"0103"}, // many reads
    };
    for (const auto& c : cases) {
        files.files.clear();
        files.add(kDir + L"p.dfu", c.content, 1);
        TarnUpgradeProcess pass(context, false);
        EXPECT_EQ(pass.initUpgradeInfo(kDir), 1) << c.content.size();
        EXPECT_EQ(pass.targetVersion, c.version);
        EXPECT_EQ(texts().back(), L"get targetVersion is " + std::wstring(c.version) + L"!");
    }
}

// A copy still in progress, a damaged file, an archive or a package for another device: no
// version is believed and the pass ends before dfu-util runs.
TEST_F(Packages, APackageWithoutAValidSuffixIsNeverTaken) {
    const std::string good = packageWithRelease(0x0103, 1000);
    std::string damaged = good;
    damaged[500] ^= 0x01;
    // bLength, the suffix's 12th byte, is checked before the CRC.
    const auto withLength = [](std::string package, char length) {
        package[package.size() - 5] = length;
        return package;
    };
    const struct {
        std::string content;
        const wchar_t* fault;
    } cases[] = {
        {"", L"too short"},
        {good.substr(good.size() - 15), L"too short"},
        {good.substr(0, 600), L"bad signature"}, // a copy cut short
        {"PK\x03\x04" + std::string(60, '\0'), L"bad signature"},
        {withLength(good, 15), L"bad length"},
        {withLength(packageWithRelease(0x0103, 0), 17), L"bad length"}, // beyond the file
        {damaged, L"CRC mismatch"},
        {packageWithRelease(0x0103, 32, 0x7C3E, 0x5711, 0x011A), L"not a DFU 1.0 or 1.1 file"},
        {packageWithRelease(0x0103, 32, 0x0483, 0xDF11), L"not for this device"},
        {packageWithRelease(0x0103, 32, 0x7C3E, 0x5712), L"not for this device"},
        {packageWithRelease(0x0103, 0), L"no image"},
        {packageWithRelease(0xFFFF), L"no release number"}, // never up to date: flashed for ever
    };
    for (const auto& c : cases) {
        files.files.clear();
        files.add(kDir + L"fw.dfu", c.content, 1);
        TarnUpgradeProcess pass(context, false);
        eventLog.clear();
        EXPECT_EQ(pass.initUpgradeInfo(kDir), -1) << c.fault;
        EXPECT_EQ(messagesStartingWith(L"package "),
                  Strings{L"package " + kDir + L"fw.dfu has no valid DFU suffix: " + c.fault});
        EXPECT_EQ(texts().back(), L"initUpgradeInfo File not found " + kDir + L"*.dfu!");
        EXPECT_TRUE(pass.targetVersion.empty());
        EXPECT_TRUE(pass.packageName.empty());
        EXPECT_EQ(remaining(), Strings{L"fw.dfu"}); // left for its owner to replace
    }
}

// A package that cannot be opened is passed over; a read that fails is no verdict on the
// package, and ends the pass with nothing deleted.
TEST_F(Packages, OpenAndReadFailures) {
    create({L"fw_1.dfu", L"fw_2.dfu", L"fw_3.dfu"});
    files.find(kDir + L"fw_3.dfu")->openFailure = L"Sharing violation.";
    EXPECT_EQ(engine.initUpgradeInfo(kDir), 1);
    EXPECT_EQ(engine.packageName, L"fw_2.dfu");
    EXPECT_EQ(messagesStartingWith(L"package "),
              Strings{L"package " + kDir + L"fw_3.dfu could not be opened: Sharing violation."});

    files.find(kDir + L"fw_2.dfu")->failRead = true;
    TarnUpgradeProcess failing(context, false);
    EXPECT_EQ(failing.initDfuDevList(), kOutcomeNoPackage);
    EXPECT_EQ(texts().end()[-2], L"package " + kDir + L"fw_2.dfu could not be read: I/O error");
    EXPECT_TRUE(files.deletions.empty());
    EXPECT_TRUE(processes.commandLines.empty());
}

} // namespace
} // namespace tarn::upgrade
