// The DFU 1.1 suffix that ends a firmware package, and the check that a package is whole and
// made for the Tarn before anything of it is believed or flashed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tarn::upgrade {

inline constexpr std::size_t kDfuSuffixSize = 16;

// The CRC that the DFU standard defines for a DFU file, the one dfu-util and dfu-suffix
// compute: reflected polynomial 0xEDB88320, started at 0xFFFFFFFF, no final inversion. Give
// the previous result as `crc` to go on over a further piece.
inline constexpr std::uint32_t kDfuCrcStart = 0xFFFFFFFF;
std::uint32_t dfuCrc(std::span<const std::uint8_t> bytes, std::uint32_t crc = kDfuCrcStart);

// The suffix's fields as the file holds them, little-endian (the signature "UFD" aside).
struct DfuSuffix {
    std::uint16_t bcdDevice = 0;
    std::uint16_t idProduct = 0;
    std::uint16_t idVendor = 0;
    std::uint16_t bcdDfu = 0;
    std::uint8_t length = 0; // bLength
    std::uint32_t crc = 0;   // dwCRC
};

// The first check a package fails, in the order the checks are made.
enum class SuffixFault {
    None,
    TooShort,         // fewer bytes than a suffix
    BadSignature,     // not "UFD"
    BadLength,        // bLength below 16 or beyond the file
    CrcMismatch,      // dwCRC is not the CRC of the rest of the file
    NotDfu1x,         // bcdDFU neither 0x0100 nor 0x0110 (0x011a is DfuSe, which the Tarn lacks)
    NotForThisDevice, // idVendor not 7c3e, idProduct not 5710 or 5711 (ffff: any)
    NoImage,          // nothing before the suffix
    NoRelease         // bcdDevice ffff, "none given": no device would ever be found up to date
};

// The fault in short plain words ("CRC mismatch"); empty for None.
const wchar_t* describeSuffixFault(SuffixFault fault);

// Checks a file read front to back, in pieces of any size, without holding it whole.
class DfuSuffixCheck {
public:
    void add(std::span<const std::uint8_t> bytes);
    // The verdict on everything added; the suffix's fields are there from BadSignature on.
    SuffixFault finish();
    const DfuSuffix& suffix() const { return suffix_; }

private:
    std::uint64_t size_ = 0;
    std::uint32_t crc_ = kDfuCrcStart;
    // The latest bytes, not yet in the CRC: the suffix once the file is complete.
    std::array<std::uint8_t, kDfuSuffixSize> tail_{};
    std::size_t tailSize_ = 0;
    DfuSuffix suffix_;
};

// The same check of a file held whole.
SuffixFault checkDfuSuffix(std::span<const std::uint8_t> file, DfuSuffix& suffix);

} // namespace tarn::upgrade
