// The package integrity check against files whose suffix dfu-suffix itself wrote.
#include "upgrade/DfuSuffix.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace tarn::upgrade {
namespace {

std::vector<std::uint8_t> bytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}

// "123456789" after `dfu-suffix -a FILE -v 7c3e -p 5711 -d 0103` (dfu-util 0.11).
const std::vector<std::uint8_t> kReference =
    bytesOf(std::string("123456789\x03\x01\x11\x57\x3e\x7c\x00\x01UFD\x10\x19\x0e\xf2\xec", 25));

TEST(DfuSuffix, AgreesWithDfuSuffix) {
    DfuSuffix suffix;
    ASSERT_EQ(checkDfuSuffix(kReference, suffix), SuffixFault::None);
    EXPECT_EQ(suffix.bcdDevice, 0x0103);
    EXPECT_EQ(suffix.idProduct, 0x5711);
    EXPECT_EQ(suffix.idVendor, 0x7c3e);
    EXPECT_EQ(suffix.bcdDfu, 0x0100);
    EXPECT_EQ(suffix.length, 16);
    EXPECT_EQ(suffix.crc, 0xecf20e19u);
    EXPECT_EQ(dfuCrc(std::span(kReference).first(21)), 0xecf20e19u);
    // Continued over pieces it gives the same.
    EXPECT_EQ(dfuCrc(std::span(kReference).subspan(9, 12), dfuCrc(std::span(kReference).first(9))),
              0xecf20e19u);
}

// However the file is cut into reads, the verdict and the fields are those of the whole.
TEST(DfuSuffix, PiecesOfAnySizeGiveTheVerdictOfTheWhole) {
    std::vector<std::uint8_t> damaged = kReference;
    damaged[3] ^= 0x40;
    std::vector<std::uint8_t> longer(40, 0xA5);
    longer.insert(longer.end(), kReference.begin(), kReference.end());
    for (const auto& file : {kReference, damaged, longer,
                             std::vector<std::uint8_t>(kReference.begin() + 2, kReference.end())}) {
        DfuSuffix whole;
        const SuffixFault expected = checkDfuSuffix(file, whole);
        for (std::size_t size = 1; size <= file.size(); ++size) {
            DfuSuffixCheck check;
            for (std::size_t at = 0; at < file.size(); at += size) {
                check.add(std::span(file).subspan(at, std::min(size, file.size() - at)));
            }
            EXPECT_EQ(check.finish(), expected) << "pieces of " << size;
            EXPECT_EQ(check.suffix().crc, whole.crc);
            EXPECT_EQ(check.suffix().bcdDevice, whole.bcdDevice);
        }
    }
}

} // namespace
} // namespace tarn::upgrade
