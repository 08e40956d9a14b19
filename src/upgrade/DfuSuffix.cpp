#include "upgrade/DfuSuffix.h"

#include <algorithm>

namespace tarn::upgrade {
namespace {

constexpr std::uint32_t kCrcPolynomial = 0xEDB88320;
constexpr std::size_t kCrcSize = 4; // dwCRC, the suffix's last field, is not in its own CRC
constexpr std::uint8_t kSignature[] = {'U', 'F', 'D'};
constexpr std::size_t kSignatureAt = 8;
constexpr std::size_t kLengthAt = 11;
// The DFU revisions whose plain download dfu-util makes; 0x011A (DfuSe) takes another protocol.
constexpr std::uint16_t kDfu10 = 0x0100;
constexpr std::uint16_t kDfu11 = 0x0110;

// The Tarn's USB identifiers; 0xFFFF in a suffix stands for any.
constexpr std::uint16_t kAnyId = 0xFFFF;
constexpr std::uint16_t kTarnVendor = 0x7C3E;
constexpr std::uint16_t kTarnRuntimeProduct = 0x5710;
constexpr std::uint16_t kTarnDfuProduct = 0x5711;
// bcdDevice when the file gives no release.
constexpr std::uint16_t kNoRelease = 0xFFFF;

// Slicing by eight: table k gives the CRC of a byte followed by k zero bytes, so eight bytes
// take eight independent look-ups instead of sixty-four shifts. Every package is read whole on
// every pass.
using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr CrcTables makeCrcTables() {
    CrcTables tables{};
    for (std::uint32_t byte = 0; byte < 256; ++byte) {
        std::uint32_t crc = byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (kCrcPolynomial & (0U - (crc & 1U)));
        }
        tables[0][byte] = crc;
    }
    for (std::size_t k = 1; k < tables.size(); ++k) {
        for (std::size_t byte = 0; byte < 256; ++byte) {
            const std::uint32_t previous = tables[k - 1][byte];
            tables[k][byte] = (previous >> 8) ^ tables[0][previous & 0xFF];
        }
    }
    return tables;
}

constexpr CrcTables kCrcTables = makeCrcTables();

std::uint16_t u16At(const std::array<std::uint8_t, kDfuSuffixSize>& s, std::size_t at) {
    return static_cast<std::uint16_t>(s[at] | (s[at + 1] << 8));
}

} // namespace

std::uint32_t dfuCrc(std::span<const std::uint8_t> bytes, std::uint32_t crc) {
    const auto& t = kCrcTables;
    const std::uint8_t* p = bytes.data();
    std::size_t left = bytes.size();
    for (; left >= 8; left -= 8, p += 8) {
        // Assembled byte by byte: the same on any byte order, and no unaligned load.
        const std::uint32_t low =
            crc ^ (p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24));
        crc = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^
              t[4][low >> 24] ^ t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
    }
    for (; left > 0; --left, ++p) {
        crc = (crc >> 8) ^ t[0][(crc ^ *p) & 0xFF];
    }
    return crc;
}

const wchar_t* describeSuffixFault(SuffixFault fault) {
    switch (fault) {
    case SuffixFault::None:
        return L"";
    case SuffixFault::TooShort:
        return L"too short";
    case SuffixFault::BadSignature:
        return L"bad signature";
    case SuffixFault::BadLength:
        return L"bad length";
    case SuffixFault::CrcMismatch:
        return L"CRC mismatch";
    case SuffixFault::NotDfu1x:
        return L"not a DFU 1.0 or 1.1 file";
    case SuffixFault::NotForThisDevice:
        return L"not for this device";
    case SuffixFault::NoImage:
        return L"no image";
    case SuffixFault::NoRelease:
        return L"no release number";
    }
    return L"";
}

void DfuSuffixCheck::add(std::span<const std::uint8_t> bytes) {
    size_ += bytes.size();
    if (bytes.size() >= kDfuSuffixSize) {
        // Everything held so far and all but the piece's last 16 bytes leave the tail.
        crc_ = dfuCrc(std::span(tail_.data(), tailSize_), crc_);
        crc_ = dfuCrc(bytes.first(bytes.size() - kDfuSuffixSize), crc_);
        std::copy(bytes.end() - kDfuSuffixSize, bytes.end(), tail_.begin());
        tailSize_ = kDfuSuffixSize;
        return;
    }
    for (const std::uint8_t byte : bytes) {
        if (tailSize_ == kDfuSuffixSize) {
            crc_ = dfuCrc(std::span(tail_.data(), 1), crc_);
            std::copy(tail_.begin() + 1, tail_.end(), tail_.begin());
            --tailSize_;
        }
        tail_[tailSize_++] = byte;
    }
}

SuffixFault DfuSuffixCheck::finish() {
    if (size_ < kDfuSuffixSize) {
        return SuffixFault::TooShort;
    }
    suffix_.bcdDevice = u16At(tail_, 0);
    suffix_.idProduct = u16At(tail_, 2);
    suffix_.idVendor = u16At(tail_, 4);
    suffix_.bcdDfu = u16At(tail_, 6);
    suffix_.length = tail_[kLengthAt];
    suffix_.crc = static_cast<std::uint32_t>(u16At(tail_, 12)) |
                  (static_cast<std::uint32_t>(u16At(tail_, 14)) << 16);
    if (!std::equal(std::begin(kSignature), std::end(kSignature), tail_.begin() + kSignatureAt)) {
        return SuffixFault::BadSignature;
    }
    if (suffix_.length < kDfuSuffixSize || suffix_.length > size_) {
        return SuffixFault::BadLength;
    }
    const std::uint32_t crc = dfuCrc(std::span(tail_.data(), kDfuSuffixSize - kCrcSize), crc_);
    if (crc != suffix_.crc) {
        return SuffixFault::CrcMismatch;
    }
    if (suffix_.bcdDfu != kDfu10 && suffix_.bcdDfu != kDfu11) {
        return SuffixFault::NotDfu1x;
    }
    const bool vendor = suffix_.idVendor == kTarnVendor || suffix_.idVendor == kAnyId;
    const bool product = suffix_.idProduct == kTarnRuntimeProduct ||
                         suffix_.idProduct == kTarnDfuProduct || suffix_.idProduct == kAnyId;
    if (!vendor || !product) {
        return SuffixFault::NotForThisDevice;
    }
    if (size_ == suffix_.length) {
        return SuffixFault::NoImage;
    }
    if (suffix_.bcdDevice == kNoRelease) {
        return SuffixFault::NoRelease;
    }
    return SuffixFault::None;
}

SuffixFault checkDfuSuffix(std::span<const std::uint8_t> file, DfuSuffix& suffix) {
    DfuSuffixCheck check;
    check.add(file);
    const SuffixFault fault = check.finish();
    suffix = check.suffix();
    return fault;
}

} // namespace tarn::upgrade
