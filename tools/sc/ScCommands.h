// Argument parsing of tarn-sc, apart from main() so that it can be tested.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarn::sc {

// A control code by number (1..255) or by name: stop, pause, continue, interrogate, shutdown,
// paramchange, preshutdown.
std::optional<std::uint32_t> parseControlCode(std::string_view text);

// A device event type in decimal or 0x-hexadecimal, or by name: arrival, removecomplete and
// the other DBT_ names without their prefix.
std::optional<std::uint32_t> parseEventType(std::string_view text);

// The program and arguments that CreateProcessW would run for a service's command line: a
// quoted program name is taken as it stands; an unquoted one that holds blanks is tried at
// each blank in turn, shortest first, and the first that names a file wins (Windows would
// also append ".exe"; the stand-in's programs have no extension, so both are tried).
struct ServiceProgram {
    std::filesystem::path program;
    std::vector<std::wstring> arguments; // after the program name
};
std::optional<ServiceProgram> resolveServiceCommandLine(std::wstring_view commandLine);

} // namespace tarn::sc
