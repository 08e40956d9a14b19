// The stand-in's own logic: the registration store, the device-interface record, the parsing
// of tarn-sc's arguments and command lines.
#include "platform/standin/ServiceStore.h"

#include "ScCommands.h"
#include "TestSupport.h"
#include "portable/Utf8.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace tarn::platform;
using namespace tarn::portable;
using namespace tarn::platform::standin;

const Guid kTarnClass = {
    0x5E1B9C3A, 0x7F24, 0x4D6B, {0xA1, 0xC8, 0x93, 0xE0, 0xF2, 0xB4, 0x7D, 0x15}};

class TempRoot : public ::testing::Test {
protected:
    tarn::integration::TempSysRoot sysroot_;
    const std::filesystem::path& root_ = sysroot_.root();
};

ServiceRecord sampleRecord() {
    ServiceRecord r;
    r.serviceName = L"Svc\u00e9";
    r.displayName = L"Display = name";
    r.serviceType = 0x10;
    r.startType = 2;
    r.errorControl = 3;
    r.binaryPathName = L"C:\\Program Files\\V\u00e4ntor\\svc.exe";
    r.status = {0x30, 4, 0x101, 5, 6, 7, 8};
    r.processId = 4321;
    return r;
}

void expectSame(const ServiceRecord& a, const ServiceRecord& b) {
    EXPECT_EQ(a.serviceName, b.serviceName);
    EXPECT_EQ(a.displayName, b.displayName);
    EXPECT_EQ(a.serviceType, b.serviceType);
    EXPECT_EQ(a.startType, b.startType);
    EXPECT_EQ(a.errorControl, b.errorControl);
    EXPECT_EQ(a.binaryPathName, b.binaryPathName);
    EXPECT_EQ(a.account, b.account);
    EXPECT_EQ(a.status.serviceType, b.status.serviceType);
    EXPECT_EQ(a.status.currentState, b.status.currentState);
    EXPECT_EQ(a.status.controlsAccepted, b.status.controlsAccepted);
    EXPECT_EQ(a.status.win32ExitCode, b.status.win32ExitCode);
    EXPECT_EQ(a.status.serviceSpecificExitCode, b.status.serviceSpecificExitCode);
    EXPECT_EQ(a.status.checkPoint, b.status.checkPoint);
    EXPECT_EQ(a.status.waitHint, b.status.waitHint);
    EXPECT_EQ(a.processId, b.processId);
}

using StoreTest = TempRoot;

TEST_F(StoreTest, RecordSurvivesWriteAndReadWithEveryField) {
    const auto dir = root_ / "store";
    std::filesystem::create_directories(dir);
    const auto record = sampleRecord();
    ASSERT_TRUE(writeServiceRecord(dir, record));
    auto back = readServiceRecord(dir, record.serviceName);
    ASSERT_TRUE(back);
    expectSame(record, *back);
    // Nothing but the record and the lock is left behind by the atomic write.
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const auto name = entry.path().filename().string();
        EXPECT_TRUE(name == ".store.lock" || name == "Svc\xc3\xa9") << name;
    }
    ASSERT_TRUE(removeServiceRecord(dir, record.serviceName));
    EXPECT_FALSE(readServiceRecord(dir, record.serviceName));
    EXPECT_FALSE(removeServiceRecord(dir, record.serviceName));
}

TEST_F(StoreTest, DamagedOrForeignRecordsAreNotRead) {
    const auto dir = root_;
    EXPECT_FALSE(parseServiceRecord("serviceName=A\nnonsense\nbinaryPathName=x\n"));
    EXPECT_FALSE(parseServiceRecord("serviceName=A\nbinaryPathName=x\nstartType=2x\n"));
    EXPECT_FALSE(parseServiceRecord("serviceName=A\n"));
    auto tolerant = parseServiceRecord("serviceName=A\nbinaryPathName=x=y\nfuture=1\n");
    ASSERT_TRUE(tolerant);
    EXPECT_EQ(tolerant->binaryPathName, L"x=y");
    // A file whose content names another service is not that file's service.
    std::ofstream(dir / "B") << "serviceName=A\nbinaryPathName=x\n";
    EXPECT_FALSE(readServiceRecord(dir, L"B"));
}

TEST_F(StoreTest, NamesThatCannotBeOneFileAreRefused) {
    for (const wchar_t* bad : {L"", L".", L"..", L".hidden", L"a/b", L"a\\b", L"a\nb"}) {
        EXPECT_FALSE(isStorableName(bad)) << toUtf8(bad);
    }
    EXPECT_TRUE(isStorableName(L"VantorTarnWindowsUpdateService"));
    EXPECT_FALSE(isStorableValue(L"C:\\a\r\nb"));
    EXPECT_TRUE(isStorableValue(L"C:\\Program Files\\a b\\c.exe"));
}

TEST(LivenessTest, ServiceWhoseProcessDiedCountsAsStopped) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(0);
    }
    ServiceRecord running = sampleRecord();
    running.processId = child;
    // Waits for the child's end without reaping it: a zombie is dead already.
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);
    EXPECT_FALSE(processAlive(child));
    ::waitpid(child, nullptr, 0);
    EXPECT_FALSE(processAlive(child));

    const auto seen = withLiveness(running);
    EXPECT_EQ(seen.status.currentState, scm::kStateStopped);
    EXPECT_EQ(seen.status.win32ExitCode, kErrorProcessAborted);
    EXPECT_EQ(seen.status.controlsAccepted, 0u);
    EXPECT_EQ(seen.processId, 0);

    running.processId = ::getpid();
    EXPECT_EQ(withLiveness(running).status.currentState, 4u);
    // A service that reported stopped keeps its own exit codes.
    ServiceRecord stopped = sampleRecord();
    stopped.status.currentState = scm::kStateStopped;
    stopped.processId = 0;
    EXPECT_EQ(withLiveness(stopped).status.win32ExitCode, 5u);
}

TEST(DeviceRecordTest, BytesHaveTheShapeOfTheSystemRecord) {
    for (const std::wstring& name : {std::wstring(), std::wstring(L"x"),
                                     std::wstring(L"\\\\?\\USB#VID_7C3E&PID_5710#1#{guid}"),
                                     std::wstring(300, L'n'), std::wstring(L"\u00e4\U0001F600")}) {
        const auto words = makeDeviceInterfaceRecord(kTarnClass, name);
        const std::size_t bytes = words.size() * sizeof(std::uint32_t);
        EXPECT_EQ(bytes, 28 + (name.size() + 1) * 4);
        const auto* raw = reinterpret_cast<const std::uint8_t*>(words.data());
        std::uint32_t head[3];
        std::memcpy(head, raw, sizeof head);
        EXPECT_EQ(head[0], bytes);
        EXPECT_EQ(head[1], 5u);
        EXPECT_EQ(head[2], 0u);
        Guid guid;
        std::memcpy(&guid, raw + 12, sizeof guid);
        EXPECT_EQ(guid, kTarnClass);
        EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(raw + 28)), name);
        EXPECT_TRUE(isWellFormedDeviceInterfaceRecord(raw, bytes));
        // Any disagreement between the record and its length is refused.
        EXPECT_FALSE(isWellFormedDeviceInterfaceRecord(raw, bytes - 4));
    }
    auto words = makeDeviceInterfaceRecord(kTarnClass, L"ab");
    words.back() = L'c'; // no terminator
    EXPECT_FALSE(isWellFormedDeviceInterfaceRecord(words.data(), words.size() * 4));
    words = makeDeviceInterfaceRecord(kTarnClass, L"ab");
    words[1] = 3; // another device type
    EXPECT_FALSE(isWellFormedDeviceInterfaceRecord(words.data(), words.size() * 4));
    EXPECT_FALSE(isWellFormedDeviceInterfaceRecord(words.data(), 27));
}

TEST(GuidTest, ParsesBracedAndBareFormsAndFormatsUpperCase) {
    auto guid = parseGuid("{5e1b9c3a-7f24-4d6b-a1c8-93e0f2b47d15}");
    ASSERT_TRUE(guid);
    EXPECT_EQ(*guid, kTarnClass);
    EXPECT_EQ(parseGuid("5E1B9C3A-7F24-4D6B-A1C8-93E0F2B47D15"), guid);
    EXPECT_EQ(formatGuid(*guid), "{5E1B9C3A-7F24-4D6B-A1C8-93E0F2B47D15}");
    for (const char* bad :
         {"", "{5E1B9C3A-7F24-4D6B-A1C8-93E0F2B47D1}", "5E1B9C3A+7F24-4D6B-A1C8-93E0F2B47D15",
          "{5E1B9C3A-7F24-4D6B-A1C8-93E0F2B47D1G}", "{5E1B9C3A-7F24-4D6B-A1C8-93E0F2B47D15"}) {
        EXPECT_FALSE(parseGuid(bad)) << bad;
    }
}

TEST(ScArgumentsTest, ControlCodesAndEventTypes) {
    EXPECT_EQ(tarn::sc::parseControlCode("stop"), 1u);
    EXPECT_EQ(tarn::sc::parseControlCode("preshutdown"), 15u);
    EXPECT_EQ(tarn::sc::parseControlCode("paramchange"), 6u);
    EXPECT_EQ(tarn::sc::parseControlCode("255"), 255u);
    EXPECT_EQ(tarn::sc::parseControlCode("0x80"), 128u);
    for (const char* bad : {"0", "256", "Stop", "", "-1", "12a"}) {
        EXPECT_FALSE(tarn::sc::parseControlCode(bad)) << bad;
    }
    EXPECT_EQ(tarn::sc::parseEventType("32768"), 0x8000u);
    EXPECT_EQ(tarn::sc::parseEventType("0x8004"), 0x8004u);
    EXPECT_EQ(tarn::sc::parseEventType("arrival"), 0x8000u);
    EXPECT_EQ(tarn::sc::parseEventType("removecomplete"), 0x8004u);
    EXPECT_FALSE(tarn::sc::parseEventType("0x"));
    EXPECT_FALSE(tarn::sc::parseEventType("arrive"));
}

using CommandLineTest = TempRoot;

TEST_F(CommandLineTest, UnquotedPathWithBlanksFindsTheProgramAsWindowsDoes) {
    std::filesystem::create_directories(root_ / "Program Files" / "V T");
    std::ofstream(root_ / "Program Files" / "V T" / "svc.exe") << "x";
    auto found = tarn::sc::resolveServiceCommandLine(L"C:\\Program Files\\V T\\svc.exe");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->program, root_ / "Program Files" / "V T" / "svc.exe");
    EXPECT_TRUE(found->arguments.empty());

    // The shortest prefix that names a file wins; the rest are its arguments.
    std::ofstream(root_ / "Program") << "x";
    found = tarn::sc::resolveServiceCommandLine(L"C:\\Program Files\\V T\\svc.exe");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->program, root_ / "Program");
    EXPECT_EQ(found->arguments, (std::vector<std::wstring>{L"Files\\V", L"T\\svc.exe"}));

    found = tarn::sc::resolveServiceCommandLine(L"\"C:\\Program Files\\V T\\svc\" \"a b\" c");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->program, root_ / "Program Files" / "V T" / "svc.exe");
    EXPECT_EQ(found->arguments, (std::vector<std::wstring>{L"a b", L"c"}));

    EXPECT_FALSE(tarn::sc::resolveServiceCommandLine(L"C:\\nowhere\\svc.exe"));
    EXPECT_FALSE(tarn::sc::resolveServiceCommandLine(L"relative.exe"));
}

} // namespace
