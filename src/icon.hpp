// The camera icon: the one drawing behind the icon in every file's header
// and, through scripts/make_ico.py, the Windows programs' own icon. That
// script reads this file as text, so the palette stays 16 hex words and the
// icon 32 quoted rows of 32 hex digits.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quib {

// Index 2 is the background; 0 to 10 all show the same opaque red, so the
// picture is drawn in the light shades 11 to 15.
constexpr std::array<std::uint16_t, 16> palette = {
    0xFF00, 0xFF00, 0xFF00, 0xFF00, 0xFF00, 0xFF00, 0xFF00, 0xFF00,
    0xFF00, 0xFF00, 0xFF00, 0xFBBE, 0xFCCE, 0xFDDE, 0xFEEE, 0xFFFF,
};

constexpr std::size_t iconSide = 32;

// The icon, one hex digit a pixel (a palette index), top row first: a
// camera, lit from the top left, with a round lens and a glint in it.
// clang-format off
constexpr std::array<std::string_view, iconSide> icon = {
    "22222222222222222222222222222222",
    "22222222222222222222222222222222",
    "2226DCCBA76654432222222222222222",
    "222EFEEDB2222222222222EFEDB22222",
    "222FFFFFFFFFFFFFFFFFFFFFFFFFF222",
    "22FE2222EEEEEEEEEEEEEEBFFFFFBE22",
    "22FEDDDDDDDDDDDDDDDDDDBEEEEEBB22",
    "22FEDDDDDDDDDDDDDDDDDDDDDDDDCB22",
    "22FECCCCCCCCBBBBBBBBCCCCCCCCCB22",
    "22FEDDDDDDBBFFFFFFFFBBDDDDDDCB22",
    "22FEDDDDDBBFFF2222FFFBBDDDDDCB22",
    "22FEDDDDBBFF222EE222FCBBDDDDCB22",
    "22FEDDDDBFF22EEEEEE22CCBDDDDCB22",
    "22FEDDDBFF22E222222D22CCBDDDCB22",
    "22FEDDDBFF2E2FF22222D2CCBDDDCB22",
    "22FEDDDBF22EFFE22222D22CBDDDCB22",
    "22FEDDDBF2EE22222222DD2CBDDDCB22",
    "22FEDDDBF2EE22222222DD2CBDDDCB22",
    "22FEDDDBF22E22222222D22CBDDDCB22",
    "22FEDDDBFF2E22222222D2CCBDDDCB22",
    "22FEDDDBFF22D222222D22CCBDDDCB22",
    "22FEDDDDBFF22DDDDDD22CCBDDDDCB22",
    "22FEDDDDBBCC222DD222CCBBDDDDCB22",
    "22FEDDDDDBBCCC2222CCCBBDDDDDCB22",
    "22FEDDDDDDBBCCCCCCCCBBDDDDDDCB22",
    "22FEDDDDDDDDBBBBBBBBDDDDDDDDCB22",
    "22FEDDDDDDDDDDDDDDDDDDDDDDDDCB22",
    "22FECCCCCCCCCCCCCCCCCCCCCCCCCB22",
    "222EBBBBBBBBBBBBBBBBBBBBBBBBB222",
    "22222222222222222222222222222222",
    "22222222222222222222222222222222",
    "22222222222222222222222222222222",
};
// clang-format on

}  // namespace quib
