// The picture container: a VMS file (the save-file layout of the Dreamcast
// visual memory unit) that carries one picture, byte for byte.
//
// Four sections, back to back, no gaps; multi-byte numbers are little-endian.
//
//   offset  size  section      content
//   ------  ----  -----------  ------------------------------------------------
//        0   652  base header  the constant template headerNonDynamic
//      652     4  size field   L, the image length in bytes
//      656    48  mime header  "image/jpeg ; ", the first 8 characters of the
//                              input name as typed, zero padding
//      704     L  image data   the input file's bytes, unchanged
//
// The whole file is 704 + L bytes. The picture is never decoded or checked:
// whatever the input holds is labelled image/jpeg.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quib {

constexpr std::size_t baseHeaderSize = 652;
constexpr std::size_t sizeFieldSize = 4;
constexpr std::size_t mimeHeaderSize = 48;

// L is a signed 32-bit count: a longer input cannot be described.
constexpr std::int64_t maxImageLength = INT32_MAX;

// Input names are refused above this many bytes; only the first
// mimeNameLength of them reach the mime header.
constexpr std::size_t maxInputNameLength = 35;
constexpr std::size_t mimeNameLength = 8;
constexpr std::string_view mimeType = "image/jpeg ; ";

using BaseHeader = std::array<std::uint8_t, baseHeaderSize>;
using SizeField = std::array<std::uint8_t, sizeFieldSize>;
using MimeHeader = std::array<std::uint8_t, mimeHeaderSize>;

// The base header, identical in every file this program writes.
extern const BaseHeader headerNonDynamic;

// The exact length, all four bytes: files of 64 KiB and more are common
// enough on a 100 KiB memory unit that the upper half matters.
SizeField sizeField(std::int32_t imageLength);

// "image/jpeg ; " at byte 0, then at most 8 bytes of the input name (its
// directory part counts), zero everywhere else, so the text always ends in
// a zero byte by byte 21.
MimeHeader mimeHeader(std::string_view inputName);

}  // namespace quib
