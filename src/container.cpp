#include "container.hpp"

#include <algorithm>

#include "icon.hpp"

namespace quib {
namespace {

// Base header: a VMS file header for one icon and no eye-catch (640 bytes),
// then 12 bytes that lead into the size field.
//
//   offset  size  field
//   ------  ----  -----------------------------------------------------------
//    0x000    16  description on the memory unit: "DI Vavazed", space padded
//    0x010    32  description in the file manager: "ZezovUzo", space padded
//    0x030    16  identifier of the creating application: zero
//    0x040     2  number of icons: 1
//    0x042     2  icon animation speed: 1
//    0x044     2  eye-catch type: 0, none
//    0x046     2  CRC: 0x22E0
//    0x048     4  size of the file data: 7401
//    0x04C    20  reserved: zero
//    0x060    32  icon palette: 16 entries of ARGB4444
//    0x080   512  icon bitmap: 32 rows of 16 bytes, left pixel in the high nibble
//    0x280     8  00 00 C2 44 19 25 EF A3
//    0x288     4  "SIZE", followed directly by the size field
//
// The CRC and the data size are constants, the same for every picture: the
// data size (the 64 bytes after the VMS header and the picture) fits only a
// 7,337-byte picture, and the CRC one particular file. A reader that checks
// them, KallistiOS's vmu_pkg_parse(), refuses these files; others take the
// picture's length from the size field. They stay fixed because every file
// already written carries them, and the header is one constant template,
// written as it stands.
constexpr std::size_t shortDescriptionOffset = 0x000;
constexpr std::size_t shortDescriptionSize = 16;
constexpr std::size_t longDescriptionOffset = 0x010;
constexpr std::size_t longDescriptionSize = 32;
constexpr std::size_t iconCountOffset = 0x040;
constexpr std::size_t animationSpeedOffset = 0x042;
constexpr std::size_t crcOffset = 0x046;
constexpr std::size_t dataSizeOffset = 0x048;
constexpr std::size_t paletteOffset = 0x060;
constexpr std::size_t bitmapOffset = 0x080;
constexpr std::size_t trailerOffset = 0x280;

constexpr std::string_view shortDescription = "DI Vavazed";
constexpr std::string_view longDescription = "ZezovUzo";
constexpr std::uint16_t crc = 0x22E0;
constexpr std::uint32_t dataSize = 7401;
constexpr std::array<std::uint8_t, 12> trailer = {0x00, 0x00, 0xC2, 0x44, 0x19, 0x25,
                                                  0xEF, 0xA3, 'S',  'I',  'Z',  'E'};

constexpr std::uint8_t hexDigit(char c) {
    return static_cast<std::uint8_t>(c <= '9' ? c - '0' : c - 'A' + 10);
}

constexpr bool iconRowsAreWhole() {
    for (const std::string_view row : icon) {
        if (row.size() != iconSide) {
            return false;
        }
    }
    return true;
}
static_assert(iconRowsAreWhole(), "every icon row needs one digit per pixel");

constexpr void putText(BaseHeader& header, std::size_t offset, std::size_t width,
                       std::string_view text) {
    for (std::size_t i = 0; i < width; ++i) {
        header[offset + i] = static_cast<std::uint8_t>(i < text.size() ? text[i] : ' ');
    }
}

constexpr void putLe16(BaseHeader& header, std::size_t offset, std::uint16_t value) {
    header[offset] = static_cast<std::uint8_t>(value & 0xFFU);
    header[offset + 1] = static_cast<std::uint8_t>(value >> 8U);
}

constexpr void putLe32(BaseHeader& header, std::size_t offset, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) {
        header[offset + i] = static_cast<std::uint8_t>((value >> (8U * i)) & 0xFFU);
    }
}

constexpr BaseHeader buildBaseHeader() {
    BaseHeader header{};
    putText(header, shortDescriptionOffset, shortDescriptionSize, shortDescription);
    putText(header, longDescriptionOffset, longDescriptionSize, longDescription);
    putLe16(header, iconCountOffset, 1);
    putLe16(header, animationSpeedOffset, 1);
    putLe16(header, crcOffset, crc);
    putLe32(header, dataSizeOffset, dataSize);
    for (std::size_t i = 0; i < palette.size(); ++i) {
        putLe16(header, paletteOffset + 2 * i, palette[i]);
    }
    std::size_t at = bitmapOffset;
    for (const std::string_view row : icon) {
        for (std::size_t x = 0; x < iconSide; x += 2) {
            header[at++] = static_cast<std::uint8_t>(hexDigit(row[x]) << 4U | hexDigit(row[x + 1]));
        }
    }
    for (std::size_t i = 0; i < trailer.size(); ++i) {
        header[trailerOffset + i] = trailer[i];
    }
    return header;
}

static_assert(trailerOffset + trailer.size() == baseHeaderSize);
static_assert(bitmapOffset + iconSide * iconSide / 2 == trailerOffset);

}  // namespace

constexpr BaseHeader headerNonDynamic = buildBaseHeader();

SizeField sizeField(std::int32_t imageLength) {
    const auto length = static_cast<std::uint32_t>(imageLength);
    return {static_cast<std::uint8_t>(length & 0xFFU),
            static_cast<std::uint8_t>((length >> 8U) & 0xFFU),
            static_cast<std::uint8_t>((length >> 16U) & 0xFFU),
            static_cast<std::uint8_t>(length >> 24U)};
}

MimeHeader mimeHeader(std::string_view inputName) {
    MimeHeader block{};
    std::copy(mimeType.begin(), mimeType.end(), block.begin());
    const std::string_view shown = inputName.substr(0, mimeNameLength);
    std::copy(shown.begin(), shown.end(), block.begin() + mimeType.size());
    return block;
}

}  // namespace quib
