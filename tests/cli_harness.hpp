// What a row of cli_test.cpp's tables says (the run, its options, what it must end with), the
// bytes and messages it may expect, and the fixture that runs it; how, is cli_harness.cpp's part.
#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "container.hpp"

namespace cli {

namespace fs = std::filesystem;

// How the program under test runs, as main finds it from the command line and the user.
inline std::string program = QUIB_EXE;
inline std::string launcher;  // empty: run the program directly
inline bool windowsBuild = false;
inline bool posix = true;        // the POSIX-only cases run
inline bool asRoot = false;      // and those that need root: devices, mounts, attributes
inline bool appendOnly = false;  // root, under Wine too: an append-only folder
inline std::string spawner;      // spawn_wide.exe, which gives a Windows build any UTF-16 name
inline std::string emulator;     // the launcher's, where it runs under emulation
// As root, a Windows build's prefix of nobody's own; empty otherwise.
inline std::string nobodyPrefix;
// Rows with /proc hidden: as root, not sanitized (their runtime reads it).
inline bool withoutProc = false;

inline const std::string banner = "QUIB " QUIB_CONTACT "\n";
inline const std::string usage =
    "QUIB <image> <vms>\n<image> should be a jpeg\n<vms> is the file name to produce\n" + banner;
inline const std::string baseHeader(quib::headerNonDynamic.begin(), quib::headerNonDynamic.end());

// Large enough for the buffer on 2 MiB huge pages, and one byte short of
// two of them: a mapping rounded down, or short by a page, is too small.
constexpr std::size_t largeSize = (std::size_t{4} << 20U) - 1;

inline std::string failed(const std::string& message) {
    return banner + message + "\n";
}
inline std::string success(const std::string& vms) {
    return failed("QUIB is not aware of any problems with your file transformation.\n[" + vms +
                  "] is now ready.");
}

inline std::string repeat(const std::string& text, std::size_t times) {
    return times == 0 ? "" : text + repeat(text, times - 1);
}

// A picture's worth of bytes with every value in it, zeros included.
inline std::string pattern(std::size_t size) {
    static std::map<std::size_t, std::string> made;  // every case writes the same inputs
    std::string& bytes = made[size];
    for (std::size_t i = bytes.size(); i < size; ++i) {
        bytes.push_back(static_cast<char>((i * 7 + i / 256) & 0xFF));
    }
    return bytes;
}

// The whole container, from the layout written out: header, size bytes,
// mime text padded with zeros to 48 bytes, the data.
inline std::string container(const std::string& sizeBytes, std::string mime,
                             const std::string& data) {
    mime.resize(quib::mimeHeaderSize, '\0');
    return baseHeader + sizeBytes + mime + data;
}

inline const std::string catVms =
    container(std::string("\xC8\0\0\0", 4), "image/jpeg ; cat.jpg", pattern(200));
inline const std::string picVms =
    container(std::string("\x01\0\x01\0", 4), "image/jpeg ; pic.jpg", pattern(65537));
inline const std::string largeVms =
    container(std::string("\xFF\xFF\x3F\0", 4), "image/jpeg ; large.jp", pattern(largeSize));

std::string slurp(const fs::path& path);
void put(const fs::path& path, const std::string& bytes, fs::perms mode = fs::perms::none);
// What a file keeps beside its bytes: its owner, group, mode and flags (under Wine too, which shows
// owner and mode to a Windows build as its ACL) and its extended attributes.
std::string stamp(const fs::path& path);
// A file's bytes in a snapshot: their size and a hash short enough to diff.
std::string contents(const std::string& bytes);

// A system call at its entry, where a traced program stands still. The numbers are the host's:
// under qemu-user the program traced is qemu, whose own calls carry the guest's writes and opens.
struct Call {
    pid_t pid;
    std::uint64_t number;
    std::array<std::uint64_t, 6> args;
};
using Action = std::function<void(const Call&)>;

// Where a traced run stands still: the entry of the first system call that
// matches. The action runs there; then the program goes on untraced.
struct Stop {
    std::string what;  // for the row that never gets there
    std::function<bool(const Call&)> matches{};
    Action then{};
};

// The text at an address in a stopped program's memory.
std::string stringAt(pid_t pid, std::uint64_t address);
// The entry of a write of so many bytes or more: the image data's, if that large.
Stop writeOfAtLeast(std::uint64_t bytes, Action then);
// The entry of an open of a file of that name.
Stop opening(const std::string& name, Action then);
// The entry of the close of the hidden file written for name, or of an
// unnamed one ("#123 (deleted)" in /proc): the first step of the final
// commit, before the checked close and the rename.
Stop closingHidden(const std::string& name, Action then);
Action sending(int signal);

struct Options {
    rlim_t fileSize = RLIM_INFINITY;
    rlim_t addressSpace = RLIM_INFINITY;
    std::vector<std::string> environment{};
    bool asNobody = false;                  // as root, run as nobody: permissions apply
    std::vector<int> closed{};              // descriptors closed at the start
    bool noProc = false;                    // as root, run where /proc is an empty folder
    std::size_t fifoRead = 0;               // a reader on pipe.vms takes this much, or all
    int signal = 0;                         // under Wine, sent once the hidden file holds
    std::uintmax_t signalAt = 1U << 20U;    // signalAt bytes, or 1: the header, during the read
    std::map<int, std::string> redirect{};  // descriptor: file of the folder (0 reads)
    bool wide = false;                      // through spawn_wide.exe: %XXXX is a UTF-16 unit
    std::vector<int> ignored{};             // signals ignored at the start, as under nohup
    // The program run call by call (ptrace) to a stop, to act while it stands
    // still there. (POSIX rows only: Wine's server may trace its processes.)
    Stop stop{};
    // Traced to the end, every call (the host's: qemu's under qemu-user) counted in
    // Outcome::calls; not under the sanitizers, whose leak check cannot trace then.
    bool countCalls = false;
    std::string hold{};  // through spawn_wide.exe, which holds a file open: "rw:NAME" or "r:NAME"
    // Done to the work folder while the program is stopped, once the hidden
    // file holds signalAt bytes; the folder is then expected as it leaves it.
    std::function<void(const fs::path&)> whileStopped{};

    bool traced() const { return static_cast<bool>(stop.matches) || countCalls; }
    template <typename Field, typename Value>
    Options with(Field Options::*field, Value value) const {
        Options options = *this;
        options.*field = static_cast<Field>(value);
        return options;
    }
};

template <typename Field, typename Value>
Options with(Field Options::*field, Value value) {
    return Options().with(field, value);
}
inline Options preloaded(const std::string& setting) {
    return with(&Options::environment,
                std::vector<std::string>{"LD_PRELOAD=" QUIB_SHIM,
                                         "ASAN_OPTIONS=verify_asan_link_order=0", setting});
}
inline Options atDataWrite(Action then, const Options& options = {}) {
    return options.with(&Options::stop, writeOfAtLeast(1U << 20U, std::move(then)));
}
inline const Options nobody = with(&Options::asNobody, true);
inline Options redirected(int fd, const std::string& file) {
    return with(&Options::redirect, std::map<int, std::string>{{fd, file}});
}

struct Outcome {
    int status = -1;  // the exit status, or less the signal the program died of
    std::string out;
    std::string err;
    std::string fifo{};  // what the reader on pipe.vms got
    long calls = 0;      // the system calls of the whole run, where counted
};

// clang-format off
inline std::string noSource(const std::string& path) { return failed("Failed to open source file [" + path + "] for input."); }
inline std::string noDestination(const std::string& path) { return failed("Failed to open destinaton file [" + path + "] for output."); }
inline std::string noHeader(const std::string& path) { return failed("Failed to write base header to destination file [" + path + "]."); }
inline std::string noClose(const std::string& path) { return failed("Failed to close destination file [" + path + "]."); }
inline std::string same(const std::string& path) { return failed("Source and destination are the same file [" + path + "]."); }
inline const std::string tooLarge = failed("The image file data is to large for current memeory configuration, re-configure memory or ue a smaller image or better compression");
inline const std::string noRead = failed("Failed to read image file data.");
// clang-format on

// Whether a row runs: each that does not says why, naming the row.
inline bool skipped(bool skip, const std::string& why, const std::string& row) {
    if (skip) {
        std::cout << "skipped " << why << ": " << row << "\n";
    }
    return skip;
}
inline bool skippedUnderEmulation(const std::string& row) {
    return skipped(!emulator.empty(), "under emulation (" + emulator + ")", row);
}
// A build without its system's extras (QUIB_SYSTEM_EXTRAS off, for a system
// the build does not know) cannot copy attributes, so writes an existing file
// in place, and sees no append-only folder: rows only the extras pass are off.
inline const bool systemExtras = QUIB_SYSTEM_EXTRAS;
inline const std::string inPlace = "an existing file is written in place";
inline const std::string unseenAppend = "an append-only folder is not seen";
inline bool withExtras(const std::string& why, const std::string& row) {
    return !skipped(!systemExtras, "without the system's extras (" + why + ")", row);
}

// A row of a case table, e.g. run("cat.jpg", "link.vms").into("old.vms").gives(catVms):
// the run, what it must end with, and where it runs.
struct Case {
    std::vector<std::string> args;
    int status = 0;
    std::string err{};
    std::string wrote{};  // what the file <vms> leads to holds afterwards; what a FIFO got
    Options options{};
    bool runs = true;
    std::string target{};     // the file that <vms> leads to, when not <vms> itself
    bool hiddenLeft = false;  // a hidden file is left beside the target

    std::string vms() const { return args.size() > 1 ? args[1] : ""; }
    Case& says(const std::string& message, int exitStatus = 0) {
        return set(&Case::err, message).set(&Case::status, exitStatus);
    }
    Case& fails(const std::string& message) { return says(message, 1); }
    Case& refused() { return fails(noDestination(vms())); }
    Case& sameFile() { return fails(same(vms())); }
    Case& dies(int signal) { return says(banner, -signal); }
    Case& gives(const std::string& bytes) { return says(success(vms())).writes(bytes); }
    template <typename Field>
    Case& set(Field Case::*field, Field value) {
        this->*field = std::move(value);
        return *this;
    }
    Case& writes(const std::string& bytes) { return set(&Case::wrote, bytes); }
    Case& into(const std::string& file) { return set(&Case::target, file); }
    Case& leavesHidden() { return set(&Case::hiddenLeft, true); }
    Case& with(const Options& given) { return set(&Case::options, given); }
    template <typename Field, typename Value>
    Case& with(Field Options::*field, Value value) {
        return with(options.with(field, value));
    }
    Case& when(bool condition) { return set(&Case::runs, runs && condition); }
    Case& extras(const std::string& why, const std::string& detail = "") {
        return when(runs && withExtras(why, label(detail)));
    }
    Case& unlessEmulated(const std::string& detail) {
        return when(runs && !skippedUnderEmulation(label(detail)));
    }
    std::string label(const std::string& detail) const {
        return args[0] + " " + vms() + (detail.empty() ? "" : ", " + detail);
    }
};

inline Case run(std::vector<std::string> args) {
    return Case().set(&Case::args, std::move(args));
}
inline Case run(const std::string& image, const std::string& vms) {
    return run({image, vms});
}

// Turns flags an owner may set (FS_*_FL) on or off.
bool setFlags(const fs::path& path, int which, bool on);

// Every case in a fresh folder of its own, under a root that nobody may pass through.
class Cli : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // The same folder for every case: inputs, earlier results, links, a FIFO,
    // read-only files and folders; as root also devices, mounts, ACLs, flags.
    void populate();
    // The work folder, entry by entry: what each is and holds.
    std::map<std::string, std::string> snapshot() const;
    // What a plain create with mode 0666 gives in the folder: the umask, or
    // the folder's default ACL.
    std::string plainCreate(const fs::path& folder) const;
    // The program with its arguments, as the launcher and the spawner run it.
    static std::vector<std::string> commandFor(std::vector<std::string> args, bool wide = false,
                                               const std::string& hold = "");
    Outcome quib(std::vector<std::string> given, const Options& options = {});
    pid_t start(std::vector<std::string>& command, const Options& options) const;
    Outcome finish(pid_t child, const Options& options) const;
    // Runs each row that runs. A run that fails leaves the folder exactly as it was. One that
    // succeeds changes only the file <vms> leads to, which keeps the mode and attributes of a file
    // it replaces, and otherwise gets what a plain create gives.
    void checkAll(const std::vector<Case>& cases);
    // A drive letter of Wine's for the work folder, so that a long name
    // makes a path short enough for Windows: the first free from Y: down.
    std::string driveForWork();

    fs::path root;
    fs::path drive;  // the link that makes the drive
};

// Whether the program writes its new file unnamed (Linux's O_TMPFILE, on a
// file system that has it): a run killed at any moment then leaves nothing.
// Elsewhere it falls back to a named hidden file, which only SIGKILL leaves.
bool unnamedFiles();
// A hidden file in the folder or below that holds at least size bytes; empty when there is none.
fs::path hiddenIn(const fs::path& work, std::uintmax_t size);
// A sysctl that makes the kernel refuse an open: its rows run only where on.
bool sysctlOn(const std::string& name);
// Whether the program is a 64-bit ELF file without an interpreter: linked
// statically, it makes only its own system calls.
bool staticProgram();
bool thirtyTwoBit();

}  // namespace cli
