// The Windows path rules that decide where the hidden file goes, on every
// system: Wine has no streams and no MAX_PATH of its own to try them on.
#include <gtest/gtest.h>

#include <string>

#include "windows/names.hpp"

namespace {

using quib::windows::hiddenStemPath;
using quib::windows::isDevice;
using quib::windows::namesStream;

// Only a drive letter's colon separates: any other names a stream, which
// is written in place and never gets a hidden sibling.
TEST(WindowsNames, OnlyTheDriveLettersColonSeparates) {
    struct Row {
        const char* target;
        bool stream;
        const char* stem;  // when it is no stream
    };
    for (const Row& row : {
             Row{"o.vms", false, ".o.vms."},
             Row{"dir\\o.vms", false, "dir\\.o.vms."},
             Row{"dir/o.vms", false, "dir/.o.vms."},
             Row{"Z:o.vms", false, "Z:.o.vms."},
             Row{"Z:\\dir\\o.vms", false, "Z:\\dir\\.o.vms."},
             Row{"\\\\?\\Z:\\o.vms", false, "\\\\?\\Z:\\.o.vms."},
             Row{"o.vms:extra", true, ""},
             Row{"Z:o.vms:extra", true, ""},
             Row{"dir\\o.vms:extra:$DATA", true, ""},
         }) {
        EXPECT_EQ(namesStream(row.target), row.stream) << row.target;
        if (!row.stream) {
            EXPECT_EQ(hiddenStemPath(row.target, 0), row.stem) << row.target;
        }
    }
}

// The hidden path, suffix included, stays within 259 UTF-16 units, and
// its name within 255. The name is cut to the bytes left, which are never
// fewer than its units, and never inside a character.
TEST(WindowsNames, TheHiddenPathFitsTheLimit) {
    const std::string folder = "Z:\\" + std::string(200, 'f') + "\\";  // 204 units
    const std::string stem = hiddenStemPath(folder + std::string(60, 'n') + ".vms", 204);
    EXPECT_EQ(stem, folder + "." + std::string(47, 'n') + ".");
    EXPECT_EQ(stem.size() + 6, 259U);
    const std::string cut = hiddenStemPath(folder + std::string(45, 'n') + "写真.vms", 204);
    EXPECT_EQ(cut, folder + "." + std::string(45, 'n') + ".");  // 写 would end at byte 48
    // Where the path is short, the name is cut to 255 characters instead.
    const std::string longest = std::string(251, 'n') + ".vms";
    EXPECT_EQ(hiddenStemPath("Y:\\" + longest, 3), "Y:\\." + longest.substr(0, 247) + ".");
}

// GetFullPathName turns a reserved name into \\.\NAME; a path typed in
// that form already is what it says.
TEST(WindowsNames, ADeviceIsWhatTheFullPathMakesOfAName) {
    EXPECT_TRUE(isDevice("LPT1", "\\\\.\\LPT1"));
    EXPECT_TRUE(isDevice("dir\\nul.txt", "\\\\.\\nul"));
    EXPECT_FALSE(isDevice("\\\\.\\Z:\\o.vms", "\\\\.\\Z:\\o.vms"));
    EXPECT_FALSE(isDevice("o.vms", "Z:\\tmp\\o.vms"));
}

}  // namespace
