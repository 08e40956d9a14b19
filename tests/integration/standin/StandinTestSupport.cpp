#include "StandinTestSupport.h"

#include "platform/standin/SysRoot.h"

#include <array>
#include <cstdlib>
#include <fstream>

namespace tarn::platform::testing {

std::filesystem::path SysRootTest::host(const std::wstring& windowsPath) const {
    return standin::toHostPath(windowsPath).value();
}

std::wstring SysRootTest::installEcho(const std::wstring& windowsPath) const {
    const auto target = host(windowsPath);
    std::filesystem::create_directories(target.parent_path());
    std::filesystem::copy_file(TARN_ARGV_ECHO, target,
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(target, std::filesystem::perms::owner_all);
    return windowsPath;
}

void SysRootTest::writeFile(const std::wstring& windowsPath, const std::string& bytes) const {
    const auto target = host(windowsPath);
    std::filesystem::create_directories(target.parent_path());
    std::ofstream(target, std::ios::binary) << bytes;
}

RunResult runToEnd(std::wstring commandLine) {
    auto& processes = systemProcesses();
    auto pipe = processes.createPipe();
    if (!pipe) {
        ADD_FAILURE() << "no pipe";
        return {};
    }
    auto child = processes.startProcess(commandLine, pipe->write);
    pipe->write.reset();
    RunResult result;
    result.started = static_cast<bool>(child);
    std::array<char, 4096> buffer{};
    while (true) {
        const auto read = pipe->read.read(buffer, std::chrono::seconds(20));
        if (read.status != PipeReadEnd::Status::Data) {
            EXPECT_EQ(read.status, PipeReadEnd::Status::Ended);
            break;
        }
        result.output.append(buffer.data(), read.bytes);
    }
    return result;
}

std::vector<std::string> parseEcho(const std::string& output) {
    std::vector<std::string> arguments;
    std::size_t at = output.find('\n');
    if (output.rfind("argc ", 0) != 0 || at == std::string::npos) {
        ADD_FAILURE() << "not the child's echo: " << output;
        return arguments;
    }
    const std::size_t count = std::stoul(output.substr(5, at - 5));
    ++at;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t colon = output.find(':', at);
        const std::size_t length = std::stoul(output.substr(at, colon - at));
        arguments.push_back(output.substr(colon + 1, length));
        at = colon + 1 + length + 1;
    }
    EXPECT_EQ(at, output.size()) << output;
    return arguments;
}

double expectedScale() {
    const char* text = std::getenv("TARN_TEST_EXPECTED_SCALE");
    return text == nullptr ? 1.0 : std::strtod(text, nullptr);
}

} // namespace tarn::platform::testing
