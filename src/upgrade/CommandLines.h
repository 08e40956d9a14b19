// The three dfu-util command lines. Every argument goes through the one quoting rule,
// portable::quoteArgument.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarn::upgrade {

std::wstring listingCommandLine();
std::wstring detachCommandLine(std::wstring_view serial, std::int32_t cfgId);
std::wstring downloadCommandLine(std::wstring_view serial, std::wstring_view packagePath);

} // namespace tarn::upgrade
