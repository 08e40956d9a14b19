// The simulator as the service meets it: a child process, its merged output, its state file.
#include "TestSupport.h"

#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using tarn::integration::Child;
using tarn::integration::readFile;
using Result = tarn::integration::CommandResult;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

constexpr const char* kRuntime5710 = "\\\\?\\USB#VID_7C3E&PID_5710#";
constexpr const char* kDfu5711 = "\\\\?\\USB#VID_7C3E&PID_5711#";
constexpr const char* kGuidSuffix = "#{5e1b9c3a-7f24-4d6b-a1c8-93e0f2b47d15}";

class Simulator : public ::testing::Test {
protected:
    Result run(const std::vector<std::string>& args) {
        return tarn::integration::run(argv(args), env_);
    }
    std::vector<std::string> argv(const std::vector<std::string>& args) const {
        std::vector<std::string> all{TARN_DFU_SIM};
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }

    void sim(const std::vector<std::string>& args) {
        std::vector<std::string> all{"sim"};
        all.insert(all.end(), args.begin(), args.end());
        const Result r = run(all);
        ASSERT_EQ(r.exitCode, 0) << r.output;
    }

    std::string show(const std::string& serial) { return run({"sim", "show", serial}).output; }

    Result detach(const std::string& serial, const std::string& cfg = "1") {
        return run({"-d", "7c3e:5710,7c3e:5711", "-S", serial, "-c", cfg, "-e", "-f"});
    }
    Result download(const std::string& serial, const fs::path& package) {
        return run({"-d", "7c3e:5710,7c3e:5711", "-S", serial, "-D", package.string()});
    }

    fs::path package(const std::string& version, std::vector<std::string> extra = {}) {
        const fs::path file = dir_ / ("fw-" + version + std::to_string(extra.size()) + ".dfu");
        std::vector<std::string> args{"make-package", file.string(), "--version", version};
        args.insert(args.end(), extra.begin(), extra.end());
        sim(args);
        return file;
    }

    std::string events() { return readFile(dir_ / "tarn-dfu-sim.events"); }

    // A hook that records each call's arguments, one per line, after a marker line.
    fs::path recordingHook() {
        const fs::path script = dir_ / "hook.sh";
        std::ofstream(script) << "#!/bin/sh\n{ echo CALL; for a in \"$@\"; do printf '%s\\n' "
                                 "\"$a\"; done; } >> \""
                              << (dir_ / "hook.log").string() << "\"\n";
        fs::permissions(script, fs::perms::owner_all);
        return script;
    }

    tarn::integration::TempSysRoot sysroot_;
    const fs::path dir_ = sysroot_.root();
    const fs::path state_ = dir_ / "tarn-dfu-sim.state";
    std::vector<std::string> env_ = {"TARN_SIM_STATE=" + state_.string(), "TARN_SLEEP_SCALE=1"};
};

TEST_F(Simulator, ListingShowsEveryDeviceInTheToolsGrammar) {
    sim({"add", "SN0001", "--mode", "runtime", "--version", "0102"});
    sim({"add", "SN0002", "--mode", "dfu", "--version", "01A0", "--cfg", "2", "--active", "1"});
    sim({"add", "SN0003", "--active", "0", "--devnum", "9", "--path", "2-3.1"});
    const Result r = run({"-l"});
    EXPECT_EQ(r.exitCode, 0);
    const auto l = lines(r.output);
    ASSERT_GE(l.size(), 3u);
    EXPECT_EQ(l[0], "dfu-util 0.11");
    EXPECT_TRUE(contains(r.output, "This program is Free Software and has ABSOLUTELY NO "
                                   "WARRANTY\nPlease report bugs to "
                                   "http://sourceforge.net/p/dfu-util/tickets/\n\n"));
    EXPECT_EQ(l[l.size() - 3],
              "Found Runtime: [7c3e:5710] ver=0102, devnum=4, cfg=1, intf=0, path=\"1-1\", alt=0, "
              "name=\"Tarn runtime\", serial=\"SN0001\"");
    EXPECT_EQ(l[l.size() - 2], "Found DFU: [7c3e:5711] ver=01a0, devnum=5, cfg=2, active=1, "
                               "intf=0, path=\"1-2\", alt=0, name=\"Tarn firmware\", "
                               "serial=\"SN0002\"");
    EXPECT_EQ(l[l.size() - 1],
              "Found Runtime: [7c3e:5710] ver=0100, devnum=9, cfg=1, active=0, intf=0, "
              "path=\"2-3.1\", alt=0, name=\"Tarn runtime\", serial=\"SN0003\"");
}

TEST_F(Simulator, ListingWithoutStateFileFindsNothing) {
    const Result r = run({"-l"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_FALSE(contains(r.output, "Found"));
    EXPECT_FALSE(fs::exists(state_));
}

TEST_F(Simulator, ListingFaults) {
    sim({"add", "SN0001"});
    sim({"add", "SN0002"});
    sim({"set", "SN0001", "fault.listing=crlf"});
    Result r = run({"-l"});
    EXPECT_TRUE(contains(r.output, "serial=\"SN0001\"\r\n"));
    EXPECT_TRUE(contains(r.output, "serial=\"SN0002\"\n"));

    sim({"set", "SN0001", "fault.listing=garbage"});
    r = run({"-l"});
    EXPECT_FALSE(contains(r.output, "SN0001"));
    EXPECT_TRUE(contains(r.output, "serial=\"SN0002\"\n"));
    EXPECT_TRUE(contains(r.output, std::string(1, '\0')));
    EXPECT_TRUE(contains(r.output, "\xc0\x80"));
    EXPECT_TRUE(contains(r.output, "\xff"));

    sim({"set", "SN0001", "fault.listing=silent"});
    r = run({"-l"});
    EXPECT_EQ(r.output, "");
}

TEST_F(Simulator, DetachSwitchesToDfuModeAndAnnouncesAfterOutputHasEnded) {
    const std::string serial = "SN 0001 \"x\"";
    sim({"add", serial, "--version", "0102", "--cfg", "3"});
    // The hook waits for a file the test creates only once the simulator's output has ended:
    // a simulator that kept its output open until the hook was done would never end it.
    const fs::path hook = recordingHook();
    const fs::path gate = dir_ / "gate";
    const fs::path held = dir_ / "held.sh";
    std::ofstream(held) << "#!/bin/sh\nwhile [ ! -e '" << gate.string()
                        << "' ]; do sleep 0.01; done\nexec \"" << hook.string() << "\" \"$@\"\n";
    fs::permissions(held, fs::perms::owner_all);
    sim({"set-global", "announce-command=" + held.string() + " device-event TarnService"});

    Child child(argv({"-d", "7c3e:5710,7c3e:5711", "-S", serial, "-c", "3", "-e", "-f"}), env_);
    std::string output;
    const bool ended = child.readToEnd(output, std::chrono::minutes(1));
    std::ofstream(gate).put('\n');
    ASSERT_TRUE(ended) << "the output ended only after the hook";
    EXPECT_FALSE(fs::exists(dir_ / "hook.log"));
    const Result r = child.finish(output);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(contains(r.output, "Device ID 7c3e:5710\n"));
    EXPECT_TRUE(contains(r.output, "Resetting USB...\n"));
    EXPECT_TRUE(contains(show(serial), "mode = dfu\n"));

    const std::string removal = std::string(kRuntime5710) + serial + kGuidSuffix;
    const std::string arrival = std::string(kDfu5711) + serial + kGuidSuffix;
    EXPECT_EQ(events(), "removal " + removal + "\narrival " + arrival + "\n");
    EXPECT_EQ(readFile(dir_ / "hook.log"),
              "CALL\ndevice-event\nTarnService\n32772\n{5E1B9C3A-7F24-4D6B-A1C8-93E0F2B47D15}\n" +
                  removal +
                  "\nCALL\ndevice-event\nTarnService\n32768\n{5E1B9C3A-7F24-4D6B-A1C8-"
                  "93E0F2B47D15}\n" +
                  arrival + "\n");
}

TEST_F(Simulator, DetachRefusals) {
    sim({"add", "SN0001", "--cfg", "1"});
    sim({"add", "SN0002", "--mode", "dfu"});
    const std::string before = readFile(state_);

    Result r = detach("NOPE");
    EXPECT_NE(r.exitCode, 0);
    EXPECT_TRUE(contains(r.output, "dfu-util: No DFU capable USB device available\n"));
    r = detach("SN0001", "2"); // no such configuration
    EXPECT_NE(r.exitCode, 0);
    EXPECT_TRUE(contains(r.output, "No DFU capable USB device available"));
    r = run({"-d", "7c3e:5710,7c3e:5711", "-e"}); // two devices, no serial
    EXPECT_NE(r.exitCode, 0);
    EXPECT_TRUE(contains(r.output, "More than one DFU capable USB device found!"));
    r = run({"-e", "-x"});
    EXPECT_EQ(r.exitCode, 64);
    EXPECT_TRUE(contains(r.output, "dfu-util: invalid option -- 'x'\nUsage: dfu-util"));
    r = run({"-S", "", "-e"}); // an empty serial is a serial, not a wildcard
    EXPECT_TRUE(contains(r.output, "No DFU capable USB device available"));
    r = run({"-S", "SN0001", "-D", "C:\\Program", "Files\\fw.dfu"}); // an unquoted blank
    EXPECT_EQ(r.exitCode, 64);
    EXPECT_TRUE(contains(r.output, "Error: Unexpected argument: Files\\fw.dfu\n"));
    r = run({"-S"});
    EXPECT_EQ(r.exitCode, 64);
    EXPECT_TRUE(contains(r.output, "option requires an argument -- 'S'"));

    EXPECT_EQ(readFile(state_), before);
    EXPECT_FALSE(fs::exists(dir_ / "tarn-dfu-sim.events"));
}

// As dfu-util 0.11 with the Tarn: refused, exit 0, no re-enumeration, dfuERROR until the next
// run clears it.
TEST_F(Simulator, ADetachInDfuModeLeavesTheErrorStateForTheNextRun) {
    sim({"add", "SN0001", "--mode", "dfu", "--bootloader", "FFFF"});
    Result r = detach("SN0001");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(contains(r.output, "Device returned transfer size 1024\ndfu-util: can't detach\n"));
    EXPECT_TRUE(contains(readFile(state_), "dfu-state = error\n"));
    EXPECT_FALSE(fs::exists(dir_ / "tarn-dfu-sim.events"));
    EXPECT_TRUE(contains(run({"-l"}).output, "Found DFU: [7c3e:5711] ver=ffff,"));

    r = download("SN0001", package("0103", {}));
    EXPECT_TRUE(contains(r.output, "DFU state(10) = dfuERROR, status(15) = Device stalled an "
                                   "unexpected request\nClearing status\n"));
    EXPECT_TRUE(contains(r.output, "Done!"));
    EXPECT_FALSE(contains(readFile(state_), "dfu-state"));
}

TEST_F(Simulator, IgnoredDetachLeavesTheDeviceInRuntimeMode) {
    sim({"add", "SN0001"});
    sim({"set", "SN0001", "fault.detach=ignore"});
    const Result r = detach("SN0001");
    EXPECT_TRUE(contains(r.output, "Resetting USB..."));
    EXPECT_TRUE(contains(show("SN0001"), "mode = runtime\n"));
    EXPECT_FALSE(fs::exists(dir_ / "tarn-dfu-sim.events"));
}

TEST_F(Simulator, DownloadWritesTheVersionAndReturnsToRuntimeMode) {
    sim({"add", "SN0001", "--mode", "dfu", "--version", "0102"});
    sim({"set-global", "announce-command=" + recordingHook().string()});
    const Result r = download("SN0001", package("01Bf", {"--size", "20000"}));
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_GT(r.output.size(), 1500u); // a progress update per transfer
    EXPECT_TRUE(contains(r.output, "Device ID 7c3e:5711\n"));
    EXPECT_TRUE(contains(r.output, "DFU state(2) = dfuIDLE, status(0) = No error condition is "
                                   "present\n"));
    EXPECT_TRUE(contains(r.output, "\rDownload\t[=========================] 100%        20000 "
                                   "bytes\nDownload done.\n"));
    EXPECT_FALSE(contains(r.output, "state(10)"));
    EXPECT_FALSE(contains(r.output, "Warning"));
    EXPECT_EQ(lines(r.output).back(), "Done!");
    const std::string state = show("SN0001");
    EXPECT_TRUE(contains(state, "mode = runtime\n"));
    EXPECT_TRUE(contains(state, "version = 01bf\n"));
    EXPECT_EQ(events(), std::string("removal ") + kDfu5711 + "SN0001" + kGuidSuffix + "\narrival " +
                            kRuntime5710 + "SN0001" + kGuidSuffix + "\n");
    const auto hookLines = lines(readFile(dir_ / "hook.log"));
    ASSERT_EQ(hookLines.size(), 8u);
    EXPECT_EQ(hookLines[1], "32772");
    EXPECT_EQ(hookLines[5], "32768");
    // The listing now shows the new firmware.
    EXPECT_TRUE(contains(run({"-l"}).output, "Found Runtime: [7c3e:5710] ver=01bf,"));
}

// The simulated Tarn takes exactly what the service accepts, where the real dfu-util 0.11 only
// warns about a missing suffix or a bad signature and writes the file anyway.
TEST_F(Simulator, DownloadRefusesAPackageWithoutAValidSuffix) {
    sim({"add", "SN0001", "--mode", "dfu", "--version", "0102"});
    const std::string before = readFile(state_);
    const struct {
        std::vector<std::string> options;
        const char* says;
    } cases[] = {
        {{"--no-suffix"}, "dfu-util: Warning: Invalid DFU suffix signature\n"},
        {{"--size", "8", "--no-suffix"}, "dfu-util: Warning: File too short for DFU suffix\n"},
        {{"--bad-signature"}, "dfu-util: Warning: Invalid DFU suffix signature\n"},
        {{"--bad-crc"}, "dfu-util: DFU suffix CRC does not match\n"},
    };
    for (const auto& c : cases) {
        const Result r = download("SN0001", package("0103", c.options));
        EXPECT_EQ(r.exitCode, 65) << c.says;
        EXPECT_TRUE(contains(r.output, c.says)) << r.output;
        EXPECT_FALSE(contains(r.output, "Done!")) << c.says;
    }
    // A copy still in progress: the first half of a good package.
    const std::string whole = readFile(package("0103"));
    const fs::path partial = dir_ / "partial.dfu";
    std::ofstream(partial, std::ios::binary) << whole.substr(0, whole.size() / 2);
    EXPECT_EQ(download("SN0001", partial).exitCode, 65);

    const Result r = download("SN0001", dir_ / "missing.dfu");
    EXPECT_EQ(r.exitCode, 66);
    EXPECT_TRUE(contains(r.output, "Could not open file"));
    EXPECT_EQ(readFile(state_), before);
}

TEST_F(Simulator, DownloadNeedsADeviceInDfuMode) {
    sim({"add", "SN0001", "--version", "0102"});
    const fs::path fw = package("0103");
    const std::string before = readFile(state_);
    Result r = download("SN0001", fw);
    EXPECT_NE(r.exitCode, 0);
    EXPECT_TRUE(contains(r.output, "Lost device after RESET?"));
    r = download("OTHER", fw);
    EXPECT_TRUE(contains(r.output, "No DFU capable USB device available"));
    EXPECT_FALSE(contains(r.output, "Done!"));
    EXPECT_EQ(readFile(state_), before);
}

// dfu-suffix, the real tool's own, is the reference for what make-package writes.
TEST_F(Simulator, PackagesAgreeWithDfuSuffix) {
    const auto dfuSuffix = [](const std::string& option, const fs::path& file) {
        return tarn::integration::run({"/usr/bin/dfu-suffix", option, file.string()});
    };
    const fs::path good = package("a1b", {"--size", "1000"});
    EXPECT_EQ(fs::file_size(good), 1016u);
    const auto check = dfuSuffix("-c", good);
    EXPECT_EQ(check.exitCode, 0) << check.output;
    for (const char* field : {"BCD device:\t0x0A1B\n", "Product ID:\t0x5711\n",
                              "Vendor ID:\t0x7C3E\n", "BCD DFU:\t0x0100\n", "Length:\t\t16\n"}) {
        EXPECT_TRUE(contains(check.output, field)) << field << check.output;
    }
    for (const char* option : {"--no-suffix", "--bad-signature", "--bad-crc"}) {
        EXPECT_NE(dfuSuffix("-c", package("0001", {"--size", "10", option})).exitCode, 0) << option;
    }
    EXPECT_EQ(readFile(package("0001", {"--size", "10", "--no-suffix"})).size(), 10u);
    EXPECT_EQ(
        run({"sim", "make-package", (dir_ / "x.dfu").string(), "--version", "12345"}).exitCode, 2);
}

TEST_F(Simulator, DownloadFaultsThatEndTheRun) {
    sim({"add", "SN0001", "--mode", "dfu", "--version", "0102"});
    const fs::path fw = package("0103", {"--size", "8192"});
    const std::string before = readFile(state_);

    sim({"set", "SN0001", "fault.download=error"});
    const std::string error = readFile(state_);
    Result r = download("SN0001", fw);
    EXPECT_NE(r.exitCode, 0);
    EXPECT_EQ(lines(r.output).back(),
              "DFU state(10) = dfuERROR, status(3) = Device is unable to write memory");
    EXPECT_TRUE(contains(r.output, " bytes failed!\n"));
    EXPECT_FALSE(contains(r.output, "Done!"));
    EXPECT_EQ(readFile(state_), error);

    sim({"set", "SN0001", "fault.download=no-done"});
    const std::string noDone = readFile(state_);
    r = download("SN0001", fw);
    EXPECT_TRUE(contains(r.output, "Download done."));
    EXPECT_FALSE(contains(r.output, "Done!"));
    EXPECT_FALSE(contains(r.output, "state(10)"));
    EXPECT_EQ(readFile(state_), noDone);

    sim({"set", "SN0001", "fault.download=silent"});
    const std::string silent = readFile(state_);
    r = download("SN0001", fw);
    EXPECT_EQ(r.output, "");
    EXPECT_EQ(readFile(state_), silent);

    sim({"set", "SN0001", "fault.download=die"});
    const std::string die = readFile(state_);
    r = download("SN0001", fw);
    EXPECT_NE(r.signal, 0);
    EXPECT_TRUE(contains(r.output, "Download\t["));
    EXPECT_FALSE(contains(r.output, "Download done."));
    EXPECT_FALSE(contains(r.output, "Done!"));
    EXPECT_EQ(readFile(state_), die);
    EXPECT_FALSE(fs::exists(dir_ / "tarn-dfu-sim.events"));
    EXPECT_NE(before, die);
}

TEST_F(Simulator, HangingDownloadBlocksUntilKilled) {
    sim({"add", "SN0001", "--mode", "dfu"});
    sim({"set", "SN0001", "fault.download=hang"});
    const std::string before = readFile(state_);
    const fs::path fw = package("0103");
    Child child(argv({"-S", "SN0001", "-D", fw.string()}), env_);
    std::string output;
    ASSERT_TRUE(child.readUntil(output, "Download\t[", std::chrono::minutes(1))) << output;
    EXPECT_TRUE(child.running());
    EXPECT_FALSE(contains(output, "Done!"));
    child.kill();
    EXPECT_TRUE(child.readToEnd(output, std::chrono::minutes(1)));
    const Result r = child.finish(output);
    EXPECT_EQ(r.signal, SIGKILL);
    EXPECT_FALSE(contains(r.output, "Done!"));
    EXPECT_EQ(readFile(state_), before);
}

TEST_F(Simulator, FloodingDownloadStillSucceeds) {
    sim({"add", "SN0001", "--mode", "dfu"});
    sim({"set", "SN0001", "fault.download=flood", "flood-size=3M"});
    const Result r = download("SN0001", package("0200"));
    EXPECT_GE(r.output.size(), 3u * 1024 * 1024);
    EXPECT_EQ(lines(r.output).back(), "Done!");
    EXPECT_TRUE(contains(show("SN0001"), "version = 0200\n"));
}

TEST_F(Simulator, ControlCommandsKeepTheFileSound) {
    sim({"add", "SN0001"});
    const std::string before = readFile(state_);
    // A bad setting in a list changes nothing, not even the good ones before it.
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"set", "SN0001", "mode=dfu", "fault.download=explode"},
          {"set", "SN0001", "version=xyz"},
          {"set", "SN0001", "cfg=-1"},
          {"set", "SN0001", "path=a\nb"},
          {"set", "NOPE", "mode=dfu"},
          {"add", "SN0001"},
          {"set-global", "colour=blue"},
          {"remove", "NOPE"},
          {"frobnicate"}}) {
        std::vector<std::string> args{"sim"};
        args.insert(args.end(), bad.begin(), bad.end());
        const Result r = run(args);
        EXPECT_EQ(r.exitCode, 2) << bad[0];
        EXPECT_TRUE(contains(r.output, "tarn-dfu-sim: ")) << bad[0];
    }
    EXPECT_EQ(readFile(state_), before);
    EXPECT_FALSE(fs::exists(state_.string() + ".tmp"));

    sim({"add", "  two  blanks\\ \"quoted\"", "--active", " 0"});
    EXPECT_TRUE(contains(run({"-l"}).output, "active= 0, intf=0, path=\"1-2\", alt=0, "
                                             "name=\"Tarn runtime\", serial=\"  two  blanks\\ "
                                             "\"quoted\"\"\n"));
    sim({"remove", "SN0001"});
    EXPECT_FALSE(contains(show(""), "SN0001"));

    // --state instead of the environment.
    const fs::path other = dir_ / "other.state";
    sim({"--state", other.string(), "add", "SN0009"});
    EXPECT_TRUE(contains(readFile(other), "serial = SN0009\n"));
    EXPECT_FALSE(contains(readFile(state_), "SN0009"));
}

TEST_F(Simulator, HandWrittenStateFile) {
    std::ofstream(state_) << "# by hand\n"
                             "delays = off\n"
                             "\n"
                             "[device]\n"
                             "  serial = \"with \\\"quote\\\"\"  \r\n"
                             "mode=dfu\n"
                             "version = 7\n"
                             "[device]\n"
                             "serial = B\n";
    const Result r = run({"-l"});
    EXPECT_TRUE(contains(r.output, "Found DFU: [7c3e:5711] ver=0007, devnum=0, cfg=1, intf=0, "
                                   "path=\"\", alt=0, name=\"Tarn firmware\", "
                                   "serial=\"with \"quote\"\"\n"));
    EXPECT_TRUE(contains(r.output, "serial=\"B\"\n"));

    std::ofstream(state_) << "[device]\nserial = A\nmode = sideways\n";
    const Result broken = run({"-l"});
    EXPECT_NE(broken.exitCode, 0);
    EXPECT_TRUE(contains(broken.output, "line 3: mode: expected runtime|dfu"));
}

TEST_F(Simulator, DelaysChangeNothingButTheTime) {
    // The delays must leave the output and the device exactly as a run without them does,
    // and must happen: a download waits about 1.5 s over its progress bar and 1.5 s before
    // the device comes back, here at a tenth. Only a lower bound: load can only add to it.
    sim({"add", "SN0001", "--mode", "dfu"});
    const fs::path fw = package("0103");
    const Result plain = download("SN0001", fw);
    sim({"set", "SN0001", "mode=dfu", "version=0100", "delays=on"});
    const std::string events = readFile(dir_ / "tarn-dfu-sim.events");
    env_.back() = "TARN_SLEEP_SCALE=0.1";
    const auto start = std::chrono::steady_clock::now();
    const Result delayed = download("SN0001", fw);
    // Room for the progress bar's per-block waits, rounded down to whole milliseconds.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
    EXPECT_EQ(delayed.exitCode, 0);
    EXPECT_EQ(delayed.output, plain.output);
    EXPECT_TRUE(contains(show("SN0001"), "version = 0103\n"));
    EXPECT_EQ(readFile(dir_ / "tarn-dfu-sim.events"), events + events);
}

} // namespace
