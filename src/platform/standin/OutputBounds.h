// A test's own bounds on the wait for a child's output, read from the stand-in's environment.
#pragma once

#include <chrono>
#include <optional>

namespace tarn::platform::standin {

inline constexpr char kListingBoundVariable[] = "TARN_LISTING_BOUND_MS";
inline constexpr char kDownloadBoundVariable[] = "TARN_DOWNLOAD_BOUND_MS";

// A whole positive number of milliseconds; anything else (unset, empty, zero, a sign, a
// fraction, trailing text, more than a year) gives nothing, so the engine keeps its own bound.
std::optional<std::chrono::milliseconds> parseOutputBound(const char* text);

} // namespace tarn::platform::standin
