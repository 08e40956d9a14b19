// doCmd and handlePipeInfo with scripted children.
#include "fakes/EngineFixture.h"

namespace tarn::upgrade {
namespace {

using Strings = std::vector<std::wstring>;
using std::chrono::milliseconds;

class Runner : public fakes::EngineFixture {
protected:
    TarnUpgradeProcess engine{context, false};

    // One whole run as the passes make it: pipe, start, close our write end, drain.
    std::int32_t run(std::int32_t kind, std::int32_t pause = 0) {
        auto pipe = processes.createPipe();
        std::wstring cmd = L"\"x.exe\" -l";
        if (engine.doCmd(cmd, pipe->write, pause) < 0) {
            return -1;
        }
        pipe->write.reset();
        return engine.handlePipeInfo(std::move(pipe->read), kind);
    }
};

TEST_F(Runner, SleepsOnlyInDfuMode) {
    processes.runs.push_back({{"banner\n"}});
    engine.updev.mode = kModeDfu;
    const auto start = clock.now();
    auto pipe = processes.createPipe();
    std::wstring cmd = L"\"x.exe\" -l";
    ASSERT_EQ(engine.doCmd(cmd, pipe->write, 200000, &pipe->read), 0);
    EXPECT_EQ(clock.now() - start, milliseconds(200000)); // the whole pause, whatever it read
    EXPECT_EQ(texts()[0], L"doCmd updev.mode 1 cmdline is \"x.exe\" -l, sleep 200000");
    EXPECT_EQ(texts()[1], L"doCmd enter sleep");
    EXPECT_EQ(texts()[2], L"doCmd end sleep");

    for (std::int32_t mode : {kModeRuntime, kModeNone}) {
        TarnUpgradeProcess other(context, false);
        other.updev.mode = mode;
        eventLog.clear();
        clock.sleeps.clear();
        auto pipe = processes.createPipe();
        std::wstring cmd = L"x";
        EXPECT_EQ(other.doCmd(cmd, pipe->write, 3000), 0);
        EXPECT_EQ(texts(), Strings{L"doCmd updev.mode " + std::to_wstring(mode) +
                                   L" cmdline is x, sleep 3000"});
        EXPECT_TRUE(clock.sleeps.empty());
    }
}

TEST_F(Runner, AFailedStartSleepsNothing) {
    processes.failStart = true;
    engine.updev.mode = kModeDfu;
    EXPECT_EQ(run(kOutputDownload, 200000), -1);
    EXPECT_EQ(textsFrom(1), Strings{L"CreateProcess Failed!"});
    EXPECT_TRUE(clock.sleeps.empty());
    EXPECT_EQ(eventLog.events[1].type, 4); // information, not error
}

TEST_F(Runner, ACommandLineWithANulIsNeverStarted) {
    auto pipe = processes.createPipe();
    std::wstring cmd(L"x -S a\0b", 9);
    EXPECT_LT(engine.doCmd(cmd, pipe->write, 0), 0);
    EXPECT_TRUE(processes.commandLines.empty());
    EXPECT_EQ(texts().back(), L"CreateProcess Failed!");
}

TEST_F(Runner, ChunksAreJoinedWholeWithEveryByteRead) {
    // A line split across reads, a NUL inside a chunk, and a UTF-8 character split in two.
    processes.runs.push_back(
        {{"dfu-util 0.11\nFound Runtime: [7c3e:57", std::string("10] ver=0102,\0 x\n", 17),
          "serial=\"\xc3", "\xa9\"\n"}});
    engine.targetVersion = L"0103";
    run(kOutputListing);
    EXPECT_EQ(engine.updev.mode, kModeRuntime);
    const auto logged = texts();
    const auto it = std::find_if(logged.begin(), logged.end(), [](const std::wstring& t) {
        return t.rfind(L"handlePipeInfo updev.mode 2 strOutput= ", 0) == 0;
    });
    ASSERT_NE(it, logged.end());
    // The event text stops at the NUL, as the log's C string would; the analysis saw it all.
    EXPECT_EQ(*it, L"handlePipeInfo updev.mode 2 strOutput= dfu-util 0.11\nFound Runtime: "
                   L"[7c3e:5710] ver=0102,");
    EXPECT_TRUE(eventLog.contains(L"analyseBuffer strTmp= serial=\"\u00e9\""));
    // 100 ms after each of the four reads.
    EXPECT_EQ(clock.sleeps, std::vector<milliseconds>(4, milliseconds(100)));
    EXPECT_EQ(processes.openPipeEnds, 0);
    EXPECT_EQ(processes.liveChildren, 0); // process and thread handles closed
}

TEST_F(Runner, ReadsAtMost4095Bytes) {
    processes.runs.push_back({{std::string(10000, 'x')}});
    run(kOutputListing);
    EXPECT_EQ(processes.largestRead, 4095u);
}

TEST_F(Runner, AnEmptyOutput) {
    processes.runs.push_back({});
    run(kOutputListing);
    EXPECT_EQ(textsFrom(1),
              (Strings{L"handlePipeInfo updev.mode 2 strOutput= ", L"analyseBuffer updev.mode 2"}));
}

TEST_F(Runner, AToolThatNeverEndsIsEndedAtTheBound) {
    processes.runs.push_back({{"dfu-util 0.11\n", "Download\t[===   ] 20%\n"}, true});
    engine.updev.mode = kModeDfu;
    const milliseconds start = clock.now();
    run(kOutputDownload, 200000);
    EXPECT_EQ(processes.terminated, 1);
    EXPECT_TRUE(eventLog.contains(L"handlePipeInfo timeout, dfu-util terminated"));
    // The bound counts from the start of reading, after the fixed pause.
    EXPECT_EQ(clock.now() - start, milliseconds(200000) + milliseconds(600000));
    // What was read is analysed as the whole output.
    EXPECT_EQ(engine.TarnUpdateResult, kOutcomeDownloadFailed);
    EXPECT_EQ(processes.liveChildren, 0);

    TarnUpgradeProcess listing(context, false);
    processes.runs.push_back({{}, true});
    const milliseconds before = clock.now();
    auto pipe = processes.createPipe();
    std::wstring cmd = L"x";
    listing.doCmd(cmd, pipe->write, 3000);
    pipe->write.reset();
    listing.handlePipeInfo(std::move(pipe->read), kOutputListing);
    EXPECT_EQ(clock.now() - before, milliseconds(60000));
    EXPECT_EQ(processes.terminated, 2);
}

TEST_F(Runner, TheBoundsAreTheContextsToChoose) {
    context.bounds.listingAndDetach = milliseconds(250);
    processes.runs.push_back(
        {{"a\n", "b\n", "c\n", "d\n"},
         false,
         {milliseconds(0), milliseconds(0), milliseconds(0), milliseconds(320)}});
    run(kOutputListing);
    // Three reads and their 100 ms pauses reach the bound; "d" comes only after it.
    EXPECT_EQ(processes.terminated, 1);
    EXPECT_TRUE(eventLog.contains(L"handlePipeInfo timeout, dfu-util terminated"));
    EXPECT_TRUE(eventLog.contains(L"handlePipeInfo updev.mode 2 strOutput= a\nb\nc\n"));
}

// A tool that finished just before the bound, while the runner paused after a read, left its
// last output in the pipe: that is its output, not a hang.
TEST_F(Runner, OutputLeftInThePipeAtTheBoundIsStillRead) {
    engine.updev.mode = kModeDfu;
    processes.runs.push_back({{"dfu-util 0.11\n", "Download\t[=========] 100%\n", "Done!\n"},
                              false,
                              {milliseconds(0), milliseconds(599950), milliseconds(599990)}});
    run(kOutputDownload);
    EXPECT_EQ(processes.terminated, 0);
    EXPECT_FALSE(eventLog.contains(L"handlePipeInfo timeout, dfu-util terminated"));
    EXPECT_EQ(engine.TarnUpdateResult, kOutcomeWritten);

    // The same tool still running, silent, at the bound: that is a time-out.
    TarnUpgradeProcess hung(context, false);
    hung.updev.mode = kModeDfu;
    processes.runs.push_back({{"dfu-util 0.11\n", "Download\t[=========] 100%\n"},
                              true,
                              {milliseconds(0), milliseconds(599950)}});
    auto pipe = processes.createPipe();
    std::wstring cmd = L"x";
    hung.doCmd(cmd, pipe->write, 0);
    pipe->write.reset();
    hung.handlePipeInfo(std::move(pipe->read), kOutputDownload);
    EXPECT_EQ(processes.terminated, 1);
    EXPECT_EQ(hung.TarnUpdateResult, kOutcomeDownloadFailed);
}

// A tool that filled the pipe (64 KiB on Linux, more than Windows' default) while the runner
// paused across the bound, and ended: all of it is read, to its verdict in the very last bytes.
TEST_F(Runner, AFullPipeLeftAtTheBoundIsReadToItsEnd) {
    engine.updev.mode = kModeDfu;
    constexpr std::size_t kPipeCapacity = 64 * 1024;
    std::string left(kPipeCapacity, '=');
    left.replace(left.size() - 7, 7, "\nDone!\n");
    processes.runs.push_back({{"dfu-util 0.11\n", "Download\t[", left},
                              false,
                              {milliseconds(0), milliseconds(599950), milliseconds(599950)}});
    run(kOutputDownload);
    EXPECT_EQ(processes.terminated, 0);
    EXPECT_EQ(engine.TarnUpdateResult, kOutcomeWritten);
}

// A tool still writing at the bound gets no more than a pipe's worth of extra reading.
TEST_F(Runner, AToolStillWritingAtTheBoundIsEnded) {
    context.bounds.listingAndDetach = milliseconds(1000);
    fakes::ScriptedRun flood;
    flood.chunks.assign(2000, std::string(4095, 'x'));
    flood.chunks.emplace_back("\nFound Runtime: [7c3e:5710] ver=0102, serial=\"SN0001\"\n");
    processes.runs.push_back(flood);
    run(kOutputListing);
    EXPECT_EQ(processes.terminated, 1);
    EXPECT_TRUE(eventLog.contains(L"handlePipeInfo timeout, dfu-util terminated"));
    EXPECT_EQ(engine.updev.mode, kModeNone); // the device line was never reached
}

} // namespace
} // namespace tarn::upgrade
