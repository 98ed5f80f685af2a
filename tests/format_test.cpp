// The container's bytes, checked against the layout written out by hand,
// and the length measurement at its limit.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "container.hpp"
#include "files.hpp"

namespace {

using quib::headerNonDynamic;
using Bytes = std::vector<std::uint8_t>;

Bytes slice(std::size_t offset, std::size_t size) {
    return {headerNonDynamic.begin() + static_cast<std::ptrdiff_t>(offset),
            headerNonDynamic.begin() + static_cast<std::ptrdiff_t>(offset + size)};
}

Bytes text(const std::string& s) {
    return {s.begin(), s.end()};
}

// 65537 sets bytes 0 and 2 apart, so a swapped order shows; 2^24 + 1 needs
// byte 3 and 25 significant bits, more than a float quotient keeps.
TEST(SizeField, IsTheExactLengthLittleEndian) {
    EXPECT_EQ(quib::sizeField(65537), (quib::SizeField{0x01, 0x00, 0x01, 0x00}));
    EXPECT_EQ(quib::sizeField((1 << 24) + 1), (quib::SizeField{0x01, 0x00, 0x00, 0x01}));
}

// The directory part counts toward the eight bytes, and the text ends in a
// zero; whole names and files are checked end to end.
TEST(MimeHeader, HoldsTheTypeAndEightBytesOfTheName) {
    Bytes expected = text("image/jpeg ; pics/hol");
    expected.resize(quib::mimeHeaderSize, 0);
    const quib::MimeHeader block = quib::mimeHeader("pics/holiday.jpg");
    EXPECT_EQ(Bytes(block.begin(), block.end()), expected);
}

// The largest length the container can state, and one more, on sparse
// files: a whole run over 2 GiB would cost a 2 GiB read.
TEST(MeasureLength, StopsAtTheLargestSigned32BitCount) {
    const std::string path = testing::TempDir() + "quib-length";
    for (const auto& [size, expected] :
         {std::pair{std::uintmax_t{INT32_MAX}, std::optional<std::int32_t>{INT32_MAX}},
          std::pair{std::uintmax_t{1} << 31U, std::optional<std::int32_t>{}}}) {
        std::ofstream(path).close();
        std::filesystem::resize_file(path, size);
        const quib::File file(std::fopen(path.c_str(), "rb"));
        ASSERT_TRUE(file);
        EXPECT_EQ(quib::measureLength(file.get()), expected) << size;
        EXPECT_EQ(std::ftell(file.get()), 0) << "not back at the start";
    }
    std::filesystem::remove(path);
}

TEST(BaseHeader, FixedFields) {
    ASSERT_EQ(headerNonDynamic.size(), 652U);
    EXPECT_EQ(slice(0x000, 16), text("DI Vavazed      "));
    EXPECT_EQ(slice(0x010, 32), text("ZezovUzo                        "));
    EXPECT_EQ(slice(0x030, 16), Bytes(16, 0));
    // icons, speed, eye-catch, CRC, data size
    EXPECT_EQ(slice(0x040, 12), (Bytes{1, 0, 1, 0, 0, 0, 0xE0, 0x22, 0xE9, 0x1C, 0, 0}));
    EXPECT_EQ(slice(0x04C, 20), Bytes(20, 0));
    // 0-10 red (0xFF00), 11-15 light shades to white. Written out whole: optimised for s390x or
    // ppc, GCC 12 wrongly warns of an overflow in a vector grown in a loop.
    const Bytes palette{0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00,
                        0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF,
                        0xBE, 0xFB, 0xCE, 0xFC, 0xDE, 0xFD, 0xEE, 0xFE, 0xFF, 0xFF};
    EXPECT_EQ(slice(0x060, 32), palette);
    EXPECT_EQ(slice(0x280, 12),
              (Bytes{0x00, 0x00, 0xC2, 0x44, 0x19, 0x25, 0xEF, 0xA3, 'S', 'I', 'Z', 'E'}));
}

TEST(BaseHeader, IconKeepsItsFrameAndPalette) {
    const auto row = [](std::size_t y) { return slice(0x080 + 16 * y, 16); };
    for (const std::size_t y : {0U, 1U, 30U, 31U}) {
        EXPECT_EQ(row(y), Bytes(16, 0x22)) << "row " << y;
    }
    EXPECT_EQ(row(2), (Bytes{0x22, 0x26, 0xDC, 0xCB, 0xA7, 0x66, 0x54, 0x43, 0x22, 0x22, 0x22, 0x22,
                             0x22, 0x22, 0x22, 0x22}));
    for (std::size_t y = 0; y < 32; ++y) {
        const Bytes r = row(y);
        EXPECT_EQ(r.front() >> 4, 2) << "row " << y << " starts with background";
        EXPECT_EQ(r.back() & 0xF, 2) << "row " << y << " ends with background";
        for (const std::uint8_t pair : r) {
            for (const int pixel : {pair >> 4, pair & 0xF}) {
                EXPECT_TRUE(pixel >= 2 && pixel != 8) << "row " << y << " index " << pixel;
            }
        }
    }
}

}  // namespace
