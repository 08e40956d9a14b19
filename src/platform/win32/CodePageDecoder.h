// The decoder behind Processes::newOutputDecoder, open to the tests so that the chunking can be
// tried on code pages that no thread locale selects (UTF-8).
#pragma once

#include "platform/Processes.h"

#include <memory>
#include <windows.h>

namespace tarn::platform::win32 {

// Converts with MultiByteToWideChar from `conversionCodePage` (which may be a pseudo code page
// such as CP_THREAD_ACP); `actualCodePage` is the real code page behind it, which decides where
// a character may be cut between two chunks.
std::unique_ptr<OutputDecoder> newCodePageDecoder(UINT conversionCodePage, UINT actualCodePage);

// The code page that CP_THREAD_ACP stands for on the calling thread right now.
UINT threadAnsiCodePage();

} // namespace tarn::platform::win32
