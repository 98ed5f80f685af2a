// The container's bytes, checked against the layout written out by hand.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "container.hpp"

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

TEST(SizeField, IsTheExactLengthLittleEndian) {
    // clang-format off
    const struct {
        std::int32_t length;
        quib::SizeField bytes;
    } cases[] = {
        {0, {0x00, 0x00, 0x00, 0x00}},          {200, {0xC8, 0x00, 0x00, 0x00}},
        {255, {0xFF, 0x00, 0x00, 0x00}},        {256, {0x00, 0x01, 0x00, 0x00}},
        {65535, {0xFF, 0xFF, 0x00, 0x00}},      {65536, {0x00, 0x00, 0x01, 0x00}},
        {65537, {0x01, 0x00, 0x01, 0x00}},      {(1 << 24) + 1, {0x01, 0x00, 0x00, 0x01}},
        {INT32_MAX, {0xFF, 0xFF, 0xFF, 0x7F}},
    };
    // clang-format on
    for (const auto& c : cases) {
        EXPECT_EQ(quib::sizeField(c.length), c.bytes) << "length " << c.length;
    }
}

TEST(MimeHeader, HoldsTheTypeAndEightCharactersOfTheName) {
    // clang-format off
    const struct {
        const char* name;
        const char* shown;
    } cases[] = {
        {"cat.jpg", "image/jpeg ; cat.jpg"},
        {"12345678", "image/jpeg ; 12345678"},
        {"holiday-photo.jpg", "image/jpeg ; holiday-"},
        {"pics/holiday.jpg", "image/jpeg ; pics/hol"},
        {"", "image/jpeg ; "},
    };
    // clang-format on
    for (const auto& c : cases) {
        Bytes expected = text(c.shown);
        expected.resize(quib::mimeHeaderSize, 0);
        const quib::MimeHeader block = quib::mimeHeader(c.name);
        EXPECT_EQ(Bytes(block.begin(), block.end()), expected) << c.name;
    }
}

TEST(BaseHeader, FixedFields) {
    ASSERT_EQ(headerNonDynamic.size(), 652U);
    EXPECT_EQ(slice(0x000, 16), text("DI Vavazed      "));
    EXPECT_EQ(slice(0x010, 32), text("ZezovUzo                        "));
    EXPECT_EQ(slice(0x030, 16), Bytes(16, 0));
    // icons, speed, eye-catch, CRC, data size
    EXPECT_EQ(slice(0x040, 12), (Bytes{1, 0, 1, 0, 0, 0, 0xE0, 0x22, 0xE9, 0x1C, 0, 0}));
    EXPECT_EQ(slice(0x04C, 20), Bytes(20, 0));
    Bytes palette;
    for (int i = 0; i <= 10; ++i) {
        palette.insert(palette.end(), {0x00, 0xFF});
    }
    palette.insert(palette.end(), {0xBE, 0xFB, 0xCE, 0xFC, 0xDE, 0xFD, 0xEE, 0xFE, 0xFF, 0xFF});
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
