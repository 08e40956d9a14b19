#include "platform/win32/CodePageDecoder.h"

#include <algorithm>
#include <climits>
#include <string>

namespace tarn::platform::win32 {
namespace {

enum class Boundaries { SingleByte, DoubleByte, Utf8 };

Boundaries boundariesOf(UINT codePage) {
    if (codePage == CP_UTF8) {
        return Boundaries::Utf8;
    }
    CPINFO info{};
    if (GetCPInfo(codePage, &info) && info.MaxCharSize == 2) {
        return Boundaries::DoubleByte;
    }
    // Single-byte code pages cannot cut a character; for anything else we cannot tell where a
    // character begins, so nothing is held back and the conversion sees the bytes as they come.
    return Boundaries::SingleByte;
}

// Length of the sequence that a UTF-8 lead byte announces; 0 for a byte that starts none.
std::size_t utf8SequenceLength(unsigned char byte) {
    if (byte >= 0xC2 && byte <= 0xDF) {
        return 2;
    }
    if (byte >= 0xE0 && byte <= 0xEF) {
        return 3;
    }
    if (byte >= 0xF0 && byte <= 0xF4) {
        return 4;
    }
    return 0;
}

class CodePageDecoder final : public OutputDecoder {
public:
    CodePageDecoder(UINT conversionCodePage, UINT actualCodePage)
        : conversionCodePage_(conversionCodePage), boundaries_(boundariesOf(actualCodePage)),
          actualCodePage_(actualCodePage) {}

    std::wstring decode(std::string_view bytes) override {
        std::wstring out;
        // MultiByteToWideChar takes an int length; the tail logic makes any cut safe.
        constexpr std::size_t kSlice = 1 << 20;
        while (!bytes.empty()) {
            const std::size_t n = std::min(bytes.size(), kSlice);
            pending_.append(bytes.substr(0, n));
            bytes.remove_prefix(n);
            const std::size_t whole = pending_.size() - incompleteTail();
            out += convert(std::string_view(pending_).substr(0, whole));
            pending_.erase(0, whole);
        }
        return out;
    }

    std::wstring finish() override {
        std::wstring out = convert(pending_);
        pending_.clear();
        return out;
    }

private:
    // How many bytes at the end of pending_ begin a character that is not complete yet.
    std::size_t incompleteTail() const {
        switch (boundaries_) {
        case Boundaries::SingleByte:
            return 0;
        case Boundaries::DoubleByte: {
            // A trail byte can look like a lead byte or like ASCII, so only a walk from a known
            // character start tells them apart; pending_ always begins at one.
            std::size_t i = 0;
            while (i < pending_.size()) {
                if (IsDBCSLeadByteEx(actualCodePage_, static_cast<BYTE>(pending_[i]))) {
                    if (i + 1 == pending_.size()) {
                        return 1;
                    }
                    i += 2;
                } else {
                    ++i;
                }
            }
            return 0;
        }
        case Boundaries::Utf8: {
            // The last lead byte within reach of the end, if its sequence is still short.
            const std::size_t size = pending_.size();
            for (std::size_t back = 1; back <= std::min<std::size_t>(3, size); ++back) {
                const auto byte = static_cast<unsigned char>(pending_[size - back]);
                if ((byte & 0xC0) == 0x80) {
                    continue;
                }
                const std::size_t length = utf8SequenceLength(byte);
                return length > back ? back : 0;
            }
            return 0;
        }
        }
        return 0;
    }

    std::wstring convert(std::string_view bytes) const {
        if (bytes.empty()) {
            return {};
        }
        const int inLength = static_cast<int>(bytes.size());
        const int outLength =
            MultiByteToWideChar(conversionCodePage_, 0, bytes.data(), inLength, nullptr, 0);
        if (outLength <= 0) {
            return {};
        }
        std::wstring out(static_cast<std::size_t>(outLength), L'\0');
        const int written = MultiByteToWideChar(conversionCodePage_, 0, bytes.data(), inLength,
                                                out.data(), outLength);
        out.resize(static_cast<std::size_t>(std::max(written, 0)));
        return out;
    }

    UINT conversionCodePage_;
    Boundaries boundaries_;
    UINT actualCodePage_;
    std::string pending_;
};

} // namespace

std::unique_ptr<OutputDecoder> newCodePageDecoder(UINT conversionCodePage, UINT actualCodePage) {
    return std::make_unique<CodePageDecoder>(conversionCodePage, actualCodePage);
}

UINT threadAnsiCodePage() {
    CPINFOEXW info{};
    if (GetCPInfoExW(CP_THREAD_ACP, 0, &info)) {
        return info.CodePage;
    }
    return GetACP();
}

} // namespace tarn::platform::win32
