// End-to-end: the real program in a child process, in a fresh folder for every case, with real
// links, FIFOs, limits, devices, mounts, attributes and signals. No case aims the program outside
// its own folder: as root, a faulty build would replace /dev/null for everyone.
//
//   cli_test [gtest flags] [--launcher=CMD] [--spawner=EXE] [path/to/quib]
//
// With a .exe path the program is a Windows build run by the launcher (wine), and the POSIX-only
// cases are off; the spawner (tests/spawn_wide.c) gives it names UTF-8 cannot hold.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "container.hpp"

namespace fs = std::filesystem;

namespace {

std::string program = QUIB_EXE;
std::string launcher;  // empty: run the program directly
bool windowsBuild = false;
bool posix = true;        // the POSIX-only cases run
bool asRoot = false;      // and those that need root: devices, mounts, attributes
bool appendOnly = false;  // root, under Wine too: an append-only folder
std::string spawner;      // spawn_wide.exe, which gives a Windows build any UTF-16 name

const std::string banner = "QUIB " QUIB_CONTACT "\n";
const std::string usage =
    "QUIB <image> <vms>\n<image> should be a jpeg\n<vms> is the file name to produce\n" + banner;
const std::string baseHeader(quib::headerNonDynamic.begin(), quib::headerNonDynamic.end());

// Large enough for the buffer on 2 MiB huge pages, and one byte short of
// two of them: a mapping rounded down, or short by a page, is too small.
constexpr std::size_t largeSize = (std::size_t{4} << 20U) - 1;

std::string failed(const std::string& message) {
    return banner + message + "\n";
}
std::string success(const std::string& vms) {
    return failed("QUIB is not aware of any problems with your file transformation.\n[" + vms +
                  "] is now ready.");
}

std::string repeat(const std::string& text, std::size_t times) {
    return times == 0 ? "" : text + repeat(text, times - 1);
}

// A picture's worth of bytes with every value in it, zeros included.
std::string pattern(std::size_t size) {
    static std::map<std::size_t, std::string> made;  // every case writes the same inputs
    std::string& bytes = made[size];
    for (std::size_t i = bytes.size(); i < size; ++i) {
        bytes.push_back(static_cast<char>((i * 7 + i / 256) & 0xFF));
    }
    return bytes;
}

// The whole container, from the layout written out: header, size bytes,
// mime text padded with zeros to 48 bytes, the data.
std::string container(const std::string& sizeBytes, std::string mime, const std::string& data) {
    mime.resize(quib::mimeHeaderSize, '\0');
    return baseHeader + sizeBytes + mime + data;
}

const std::string catVms =
    container(std::string("\xC8\0\0\0", 4), "image/jpeg ; cat.jpg", pattern(200));
const std::string picVms =
    container(std::string("\x01\0\x01\0", 4), "image/jpeg ; pic.jpg", pattern(65537));
const std::string largeVms =
    container(std::string("\xFF\xFF\x3F\0", 4), "image/jpeg ; large.jp", pattern(largeSize));

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return std::move(bytes).str();
}

void put(const fs::path& path, const std::string& bytes, fs::perms mode = fs::perms::none) {
    std::ofstream(path, std::ios::binary) << bytes;
    if (mode != fs::perms::none) {
        fs::permissions(path, mode);
    }
}

std::string platformLines(std::string text) {
    for (std::size_t at = 0; windowsBuild && (at = text.find('\n', at)) != std::string::npos;
         at += 2) {
        text.insert(at, 1, '\r');
    }
    return text;
}

// A POSIX ACL as Linux keeps it in system.posix_acl_access or _default:
// a version, then (tag, permissions, id) entries in the order of the tags.
std::string acl(std::initializer_list<std::array<std::uint32_t, 3>> entries) {
    std::string bytes;
    const auto add = [&bytes](std::uint32_t value, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) {
            bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xFFU));
        }
    };
    add(2, 4);
    for (const auto& [tag, permissions, id] : entries) {
        add(tag, 2);
        add(permissions, 2);
        add(id, 4);
    }
    return bytes;
}
constexpr std::uint32_t anyone = 0xFFFFFFFF;
constexpr std::uint32_t nobodyId = 65534;
// The owner, nobody and the mask may read and write; the group may read.
const std::string nobodyMayWrite = acl({{0x01, 6, anyone},
                                        {0x02, 6, nobodyId},
                                        {0x04, 4, anyone},
                                        {0x10, 6, anyone},
                                        {0x20, 0, anyone}});

// The extended attributes of an entry, ACLs among them, by name and hash.
// Under Wine only its own: a file's DOS attributes (hidden, system).
std::string attributes(const fs::path& path) {
    std::vector<char> names(4096);
    const ssize_t size = llistxattr(path.c_str(), names.data(), names.size());
    std::vector<std::string> list;
    for (ssize_t at = 0; at < size; at += static_cast<ssize_t>(list.back().size()) + 1) {
        list.emplace_back(&names[static_cast<std::size_t>(at)]);
    }
    std::sort(list.begin(), list.end());
    std::string summary;
    for (const std::string& name : list) {
        if (windowsBuild && name != "user.DOSATTRIB") {
            continue;
        }
        std::string value(4096, '\0');
        value.resize(static_cast<std::size_t>(std::max<ssize_t>(
            0, lgetxattr(path.c_str(), name.c_str(), value.data(), value.size()))));
        summary += " " + name + "#" + std::to_string(std::hash<std::string>{}(value));
    }
    return summary;
}

// The flags an owner may set on a file (no dump, no access time...), where
// the file system keeps them.
std::string flags(const fs::path& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    int found = 0;  // where nothing could be opened, the ioctl fails and leaves it
    ioctl(fd, FS_IOC_GETFLAGS, &found);
    close(fd);
    found &= FS_NODUMP_FL | FS_NOATIME_FL | FS_SYNC_FL | FS_NOCOW_FL;
    return found == 0 ? "" : " flags " + std::to_string(found);
}

// What a file keeps beside its bytes: its owner, group, mode and flags (under Wine too, which shows
// owner and mode to a Windows build as its ACL) and its extended attributes.
std::string stamp(const fs::path& path) {
    struct stat status {};
    lstat(path.c_str(), &status);
    const std::string owner = std::to_string(status.st_uid) + ":" + std::to_string(status.st_gid);
    return owner + " " + std::to_string(status.st_mode & 07777) + flags(path) + attributes(path);
}

// A file's bytes in a snapshot: their size and a hash short enough to diff.
std::string contents(const std::string& bytes) {
    return std::to_string(bytes.size()) + " bytes #" +
           std::to_string(std::hash<std::string>{}(bytes) % 1000000);
}

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

std::string stringAt(pid_t pid, std::uint64_t address) {
    std::ifstream memory("/proc/" + std::to_string(pid) + "/mem", std::ios::binary);
    memory.seekg(static_cast<std::streamoff>(address));
    std::string text;
    std::getline(memory, text, '\0');
    return text;
}

// The bytes a write asks for: its length, or its vectors' (musl's stdio
// writes with writev), read from the program's memory.
std::uint64_t lengthOf(const Call& call) {
    if (call.number != SYS_writev) {
        return call.number == SYS_write || call.number == SYS_pwrite64 ? call.args[2] : 0;
    }
    std::ifstream memory("/proc/" + std::to_string(call.pid) + "/mem", std::ios::binary);
    memory.seekg(static_cast<std::streamoff>(call.args[1]));
    std::uint64_t total = 0;
    for (std::uint64_t vector = 0; vector < call.args[2] && vector < 64; ++vector) {
        std::array<std::uint64_t, 2> base{};  // iov_base, iov_len
        memory.read(reinterpret_cast<char*>(base.data()), sizeof base);
        total += memory ? base[1] : 0;
    }
    return total;
}

// The entry of a write of so many bytes or more: the image data's, if that large.
Stop writeOfAtLeast(std::uint64_t bytes, Action then) {
    return {"a write of at least " + std::to_string(bytes) + " bytes",
            [bytes](const Call& call) { return lengthOf(call) >= bytes; }, std::move(then)};
}

Stop opening(const std::string& name, Action then) {
    return {"a call " + std::to_string(SYS_openat) + " naming " + name,
            [name](const Call& call) {
                return call.number == SYS_openat &&
                       fs::path(stringAt(call.pid, call.args[1])).filename() == name;
            },
            std::move(then)};
}

// The entry of the close of the hidden file written for name, or of an
// unnamed one ("#123 (deleted)" in /proc): the first step of the final
// commit, before the checked close and the rename.
Stop closingHidden(const std::string& name, Action then) {
    return {"the close of the hidden file for " + name,
            [name](const Call& call) {
                std::error_code gone;
                const fs::path link =
                    "/proc/" + std::to_string(call.pid) + "/fd/" + std::to_string(call.args[0]);
                const std::string file = fs::read_symlink(link, gone).filename().string();
                const bool unnamed =
                    file.rfind('#', 0) == 0 && file.find(" (deleted)") != std::string::npos;
                return call.number == SYS_close &&
                       (unnamed || file.rfind("." + name + ".", 0) == 0);
            },
            std::move(then)};
}

Action sending(int signal) {
    return [signal](const Call& call) { kill(call.pid, signal); };
}

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
Options preloaded(const std::string& setting) {
    return with(&Options::environment,
                std::vector<std::string>{"LD_PRELOAD=" QUIB_SHIM,
                                         "ASAN_OPTIONS=verify_asan_link_order=0", setting});
}
Options atDataWrite(Action then, const Options& options = {}) {
    return options.with(&Options::stop, writeOfAtLeast(1U << 20U, std::move(then)));
}
const Options nobody = with(&Options::asNobody, true);
Options redirected(int fd, const std::string& file) {
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
std::string noSource(const std::string& path) { return failed("Failed to open source file [" + path + "] for input."); }
std::string noDestination(const std::string& path) { return failed("Failed to open destinaton file [" + path + "] for output."); }
std::string noHeader(const std::string& path) { return failed("Failed to write base header to destination file [" + path + "]."); }
std::string noClose(const std::string& path) { return failed("Failed to close destination file [" + path + "]."); }
std::string same(const std::string& path) { return failed("Source and destination are the same file [" + path + "]."); }
const std::string tooLarge = failed("The image file data is to large for current memeory configuration, re-configure memory or ue a smaller image or better compression");
const std::string noRead = failed("Failed to read image file data.");
// clang-format on

// The emulator that runs the launcher where the kernel runs no 32-bit x86
// program and install-deps registered qemu for Wine's 32-bit loader, as
// binfmt_misc lists it; empty where the launcher runs natively.
std::string emulatorOf(const std::string& loader) {
    if (fs::path(loader).filename().string().rfind("qemu-", 0) == 0) {
        return loader;  // a launcher that is qemu-user itself
    }
    const std::string elf = slurp(loader);
    const bool x86 = elf.size() > 18 && elf[4] == 1 && elf[18] == 3;  // ELFCLASS32, EM_386
    std::ifstream entry("/proc/sys/fs/binfmt_misc/qemu-i386");
    std::string state;
    std::string interpreter;
    std::getline(entry, state);
    entry >> interpreter >> interpreter;  // "interpreter /usr/bin/qemu-i386-static"
    return x86 && state == "enabled" ? interpreter : "";
}
std::string emulator;  // the launcher's, found once

bool skipped(bool skip, const std::string& why, const std::string& row) {
    if (skip) {
        std::cout << "skipped " << why << ": " << row << "\n";
    }
    return skip;
}
bool skippedUnderEmulation(const std::string& row) {
    return skipped(!emulator.empty(), "under emulation (" + emulator + ")", row);
}

// A build without its system's extras (QUIB_SYSTEM_EXTRAS off, for a system
// the build does not know) cannot copy attributes, so writes an existing file
// in place, and sees no append-only folder: rows only the extras pass are off.
const bool systemExtras = QUIB_SYSTEM_EXTRAS;
const std::string inPlace = "an existing file is written in place";
const std::string unseenAppend = "an append-only folder is not seen";
bool withExtras(const std::string& why, const std::string& row) {
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
    std::string target{};  // the file that <vms> leads to, when not <vms> itself

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

Case run(std::vector<std::string> args) {
    return Case().set(&Case::args, std::move(args));
}
Case run(const std::string& image, const std::string& vms) {
    return run({image, vms});
}

struct Traced {
    long calls = 0;
    bool reached = false;
    std::optional<int> ended{};
};

// Runs a child, stopped before its exec, call by call to its stop; acts there
// and detaches (LeakSanitizer's own ptrace at exit needs that), or, counting,
// stays to the end. Signals for the program are passed on to it.
Traced follow(pid_t child, const Options& options) {
    Traced traced;
    int wstatus = 0;
    if (waitpid(child, &wstatus, 0) != child || !WIFSTOPPED(wstatus)) {
        traced.ended = wstatus;
        return traced;
    }
    ptrace(PTRACE_SETOPTIONS, child, nullptr,
           PTRACE_O_EXITKILL | PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACEEXEC);
    const Stop& stop = options.stop;
    int pass = 0;  // not the SIGSTOP that the child stopped itself with
    while (ptrace(PTRACE_SYSCALL, child, nullptr, pass) == 0 &&
           waitpid(child, &wstatus, 0) == child && WIFSTOPPED(wstatus)) {
        const bool atCall = WSTOPSIG(wstatus) == (SIGTRAP | 0x80);
        // An event's stop (the exec) holds no signal for the program.
        pass = (atCall || (wstatus >> 16) != 0) ? 0 : WSTOPSIG(wstatus);
        __ptrace_syscall_info info{};
        if (!atCall || ptrace(PTRACE_GET_SYSCALL_INFO, child, sizeof info, &info) <= 0 ||
            info.op != PTRACE_SYSCALL_INFO_ENTRY) {
            continue;
        }
        ++traced.calls;
        Call call{child, info.entry.nr, {}};
        std::copy(std::begin(info.entry.args), std::end(info.entry.args), call.args.begin());
        if (!traced.reached && stop.matches && stop.matches(call)) {
            traced.reached = true;
            stop.then(call);
            if (!options.countCalls) {
                ptrace(PTRACE_DETACH, child, nullptr, nullptr);
                return traced;
            }
        }
    }
    if (!WIFSTOPPED(wstatus)) {
        traced.ended = wstatus;
    }
    return traced;
}

bool setFlags(const fs::path& path, int which, bool on) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    int flags = 0;
    bool done = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | which : flags & ~which;
    done = done && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    close(fd);
    return done;
}

bool bind(const fs::path& from, const fs::path& to) {
    return mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

// As root, a Windows build's prefix of nobody's own; empty otherwise.
std::string nobodyPrefix;

// A Windows build run as nobody needs a Wine prefix of nobody's own (Wine
// refuses another user's) and a Wine server of its own: made once, as
// root, by startNobodyWine, and ended by stopNobodyWine.
void useNobodyWine() {
    setenv("WINEPREFIX", nobodyPrefix.c_str(), 1);
    setenv("HOME", nobodyPrefix.c_str(), 1);
}

// The argv of execvp for words, which must outlive it.
std::vector<char*> argvOf(std::vector<std::string>& words) {
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    return argv;
}

// Runs a Wine command as nobody, its output in the prefix's log, and waits
// for it; the server it starts must not hold the test's output open.
bool asNobodyInWine(const std::vector<std::string>& command) {
    const pid_t child = fork();
    if (child == 0) {
        const std::string log = nobodyPrefix + "/wine.log";
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        const int in = open(log.c_str(), O_RDONLY | O_CLOEXEC);
        std::vector<std::string> words = command;
        const std::vector<char*> argv = argvOf(words);
        useNobodyWine();
        if (out >= 0 && in >= 0 && dup2(in, 0) == 0 && dup2(out, 1) == 1 && dup2(out, 2) == 2 &&
            setgid(nobodyId) == 0 && setuid(nobodyId) == 0) {
            execvp(argv[0], argv.data());
        }
        _exit(127);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

void startNobodyWine() {
    const fs::path prefix =
        fs::temp_directory_path() / ("quib-wine-nobody-" + std::to_string(getpid()));
    const fs::path wine64 = fs::path(launcher).parent_path() / "wine64";
    const fs::path loader = fs::exists(wine64) ? wine64 : fs::path(launcher);
    nobodyPrefix = prefix.string();
    if (!fs::create_directory(prefix) || chown(prefix.c_str(), nobodyId, nobodyId) != 0 ||
        !asNobodyInWine({"wineserver", "-p"}) || !asNobodyInWine({loader, "wineboot", "-i"})) {
        std::cout << "No Wine prefix for nobody: the rows as nobody run as root.\n";
        nobodyPrefix.clear();
    }
}

void stopNobodyWine() {
    if (!nobodyPrefix.empty()) {
        asNobodyInWine({"wineserver", "-k"});
        fs::remove_all(nobodyPrefix);
    }
}

class Cli : public ::testing::Test {
protected:
    void SetUp() override {
        std::string name = (fs::temp_directory_path() / "quib-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(name.data()), nullptr);
        root = name;
        fs::permissions(root, fs::perms(0711));  // nobody may pass through
    }
    void TearDown() override {
        if (!drive.empty()) {
            fs::remove(drive);
        }
        clearWork();
        fs::remove_all(root);
    }

    void clearWork() const {
        const fs::path work = root / "work";
        std::error_code ignored;  // no folder yet
        for (const char* mounted : {"bound.vms", "small/old.vms", "small"}) {
            umount2((work / mounted).c_str(), MNT_DETACH);
        }
        for (const char* sealed : {"append", "sub", "sealed.vms"}) {
            setFlags(work / sealed, FS_APPEND_FL, false);
        }
        fs::permissions(work / "ro", fs::perms::owner_all, ignored);
        fs::remove_all(work);
    }

    // The same folder for every case: inputs, earlier results, links, a FIFO,
    // read-only files and folders; as root also devices, mounts, ACLs, flags.
    void populate() {
        const fs::path work = root / "work";
        clearWork();
        fs::create_directory(work);
        for (const char* folder : {"adir", "ro", "open", "sticky", "long folder name", "sub"}) {
            fs::create_directory(work / folder);
        }
        // (\uFFFD.jpg is what UTF-8 makes of a lone surrogate.)
        const std::map<std::string, std::size_t> inputs{
            {"cat.jpg", 200},         {"one.jpg", 1},      {"写真.jpg", 200},
            {"café.jpg", 200},        {"\uFFFD.jpg", 200}, {"pic.jpg", 65537},
            {"large.jpg", largeSize}, {"empty.jpg", 0},    {"mid.jpg", 400000}};
        for (const auto& [name, size] : inputs) {
            put(work / name, pattern(size));
        }
        put(work / "old.vms", "an earlier result", fs::perms(0640));
        for (const char* name : {"e.vms", "stdin.vms", "stdout.vms", "three.vms"}) {
            put(work / name, "an earlier result", fs::perms(0644));
        }
        put(work / (repeat("n", 244) + ".vms"), "an earlier result");
        fs::permissions(work / "open", fs::perms::all);  // anyone may add files here
        put(work / "open" / "readonly.vms", "not to be replaced", fs::perms(0444));
        fs::permissions(work / "sticky", fs::perms::all | fs::perms::sticky_bit);  // own only
        put(work / "sticky" / "theirs.vms", "anyone may write it", fs::perms(0666));
        put(work / "ro" / "out.vms", "written in place", fs::perms(0666));
        fs::permissions(work / "ro", fs::perms(0555));
        // Windows spellings of one file: short (8.3) names, which Wine makes
        // up from a hash of the long one, and a linked folder.
        put(work / "long folder name" / "a long existing name.vms", "not to be replaced",
            fs::perms(0444));
        fs::create_directory_symlink("long folder name", work / "lnk");
        for (const auto& [name, size] :
             {std::pair{"big.jpg", (1ULL << 32U) + 200}, std::pair{"huge.jpg", 1ULL << 30U},
              std::pair{"long.jpg", 256ULL << 20U}}) {
            put(work / name, "");
            fs::resize_file(work / name, size);  // sparse: nothing is stored
        }
        fs::create_hard_link(work / "cat.jpg", work / "hard.jpg");
        fs::create_hard_link(work / "写真.jpg", work / "写真2.jpg");
        // Links relative to their own folder, dangling, in a loop, to
        // descriptors; and as many in a row as the kernel follows, and one more.
        fs::create_directory(work / "chain");
        const std::map<std::string, std::string> links{
            {"adir/up.vms", "../old.vms"},  {"soft.jpg", "cat.jpg"},
            {"link.vms", "old.vms"},        {"dangling.vms", "nowhere.vms"},
            {"loop.vms", "loop.vms"},       {"fd0.vms", "/proc/self/fd/0"},
            {"fd1.vms", "/proc/self/fd/1"}, {"fds", "/proc/self/fd"},
            {"chain/l1", "../old.vms"}};
        for (const auto& [link, target] : links) {
            fs::create_symlink(target, work / link);
        }
        for (int link = 2; link <= 41; ++link) {
            fs::create_symlink("l" + std::to_string(link - 1),
                               work / "chain" / ("l" + std::to_string(link)));
        }
        ASSERT_EQ(mkfifo((work / "pipe.vms").c_str(), 0644), 0);
        // Wine keeps a file's hidden (2) and system (4) attributes here.
        for (const auto& [name, bits] :
             {std::pair{"hidden.vms", "0x2"}, {"long folder name/system.vms", "0x6"}}) {
            put(work / name, "an earlier result");
            ASSERT_EQ(setxattr((work / name).c_str(), "user.DOSATTRIB", bits, 3, 0), 0);
        }
        if (asRoot) {
            populateAsRoot(work);
        }
        if (windowsBuild) {
            populateForWindows(work);
        }
        if (appendOnly) {
            fs::create_directory(work / "append");
            put(work / "append" / "old.vms", "an earlier result", fs::perms(0644));
            ASSERT_TRUE(setFlags(work / "append", FS_APPEND_FL, true));
        }
    }

    // Names that Windows tells apart only by their case or their short
    // names, which Wine makes up from a hash of the long one; and, where
    // the rows run as nobody, files and a folder of nobody's and root's.
    void populateForWindows(const fs::path& work) const {
        put(work / "a.vms", "KEEP-lower");
        put(work / "A.vms", "KEEP-upper");
        fs::create_directory(work / "B.VMS");
        fs::create_directory(work / "alias");
        for (const char* name : {"b.vms", "t.vms", "long output name.vms", "Report.vms",
                                 "alias/long output name.vms"}) {
            put(work / name, "an earlier result");
        }
        fs::create_symlink("t.vms", work / "T.vms");
        put(work / "alias" / "LONG~0FK.VMS", "named as the other's short name");
        if (!nobodyPrefix.empty()) {
            put(work / "open" / "yours.vms", "an earlier result", fs::perms(0644));
            ASSERT_EQ(chown((work / "open" / "yours.vms").c_str(), nobodyId, nobodyId), 0);
            fs::create_directory(work / "mine");
            ASSERT_EQ(chown((work / "mine").c_str(), nobodyId, nobodyId), 0);
            put(work / "mine" / "root.vms", "an earlier result", fs::perms(0644));
        }
    }

    void populateAsRoot(const fs::path& work) const {
        ASSERT_EQ(mknod((work / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
        ASSERT_EQ(mknod((work / "full").c_str(), S_IFCHR | 0666, makedev(1, 7)), 0);
        put(work / "bound.vms", "");
        put(root / "host.vms", "bound into the folder", fs::perms(0644));
        ASSERT_TRUE(bind(root / "host.vms", work / "bound.vms"));
        const auto set = [](const fs::path& path, const char* name, const std::string& value) {
            return setxattr(path.c_str(), name, value.data(), value.size(), 0) == 0;
        };
        ASSERT_TRUE(set(work / "old.vms", "system.posix_acl_access", nobodyMayWrite));
        ASSERT_TRUE(set(work / "old.vms", "user.note", "kept"));
        fs::create_directory(work / "acl");
        ASSERT_TRUE(set(work / "acl", "system.posix_acl_default", nobodyMayWrite));
        put(work / "acl" / "plain.vms", "an earlier result", fs::perms(0644));
        ASSERT_EQ(removexattr((work / "acl" / "plain.vms").c_str(), "system.posix_acl_access"), 0);
        // nobody's link in the sticky folder, to a name in a folder only root may write; and a
        // third user's file there, which protected_regular keeps from nobody.
        fs::create_directory(work / "rootonly");
        fs::create_symlink("../rootonly/planted.vms", work / "sticky" / "out.vms");
        ASSERT_EQ(lchown((work / "sticky" / "out.vms").c_str(), nobodyId, nobodyId), 0);
        put(work / "sticky" / "other.vms", "a third user's", fs::perms(0666));
        ASSERT_EQ(chown((work / "sticky" / "other.vms").c_str(), 1234, 1234), 0);
        put(work / "flagged.vms", "an earlier result", fs::perms(0644));  // chattr +dA
        ASSERT_TRUE(setFlags(work / "flagged.vms", FS_NODUMP_FL | FS_NOATIME_FL, true));
        for (const char* mode : {"4755", "2755", "6755"}) {  // nobody's, setuid or setgid
            const fs::path file = work / "open" / (std::string("s") + mode + ".vms");
            put(file, "an earlier result");
            ASSERT_EQ(chown(file.c_str(), nobodyId, nobodyId), 0);
            ASSERT_EQ(chmod(file.c_str(), static_cast<mode_t>(std::stoi(mode, nullptr, 8))), 0);
        }
        // A disk of 600 KiB holding a file of 100,000 bytes that cannot be
        // renamed over (mounted on itself).
        fs::create_directory(work / "small");
        ASSERT_EQ(mount("small", (work / "small").c_str(), "tmpfs", 0, "size=600k"), 0);
        put(work / "small" / "old.vms", pattern(100000), fs::perms(0644));
        ASSERT_TRUE(bind(work / "small" / "old.vms", work / "small" / "old.vms"));
        put(work / "sealed.vms", "an earlier result", fs::perms(0644));
        ASSERT_TRUE(setFlags(work / "sealed.vms", FS_APPEND_FL, true));
        // Root's, and nobody may write it only through its ACL.
        put(work / "open" / "shared.vms", "an earlier result", fs::perms(0660));
        ASSERT_TRUE(set(work / "open" / "shared.vms", "system.posix_acl_access", nobodyMayWrite));
        ASSERT_TRUE(set(work / "open" / "shared.vms", "user.note", "kept"));
    }

    std::map<std::string, std::string> snapshot() const {
        std::map<std::string, std::string> entries;
        for (const auto& item : fs::recursive_directory_iterator(root / "work")) {
            struct stat status {};
            lstat(item.path().c_str(), &status);
            const std::string name = item.path().lexically_relative(root / "work").string();
            const std::string mode = std::to_string(status.st_mode & 07777);
            entries[name] = S_ISLNK(status.st_mode)    ? "-> " + fs::read_symlink(item).string()
                            : S_ISDIR(status.st_mode)  ? "dir " + mode + attributes(item)
                            : S_ISFIFO(status.st_mode) ? "fifo"
                            : S_ISCHR(status.st_mode)  ? "device"
                            : status.st_size > (64 << 20)
                                ? std::to_string(status.st_size) + " sparse bytes"
                                : stamp(item) + " " + contents(slurp(item.path()));
        }
        return entries;
    }

    // What a plain create with mode 0666 gives in the folder: the umask, or
    // the folder's default ACL.
    std::string plainCreate(const fs::path& folder) const {
        const fs::path probe = root / "probe";
        fs::create_directory(probe);
        std::string value(4096, '\0');
        const ssize_t size =
            getxattr(folder.c_str(), "system.posix_acl_default", value.data(), value.size());
        if (size > 0) {
            setxattr(probe.c_str(), "system.posix_acl_default", value.data(),
                     static_cast<std::size_t>(size), 0);
        }
        close(open((probe / "file").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666));
        std::string made = stamp(probe / "file");
        fs::remove_all(probe);
        return made;
    }

    static std::vector<std::string> commandFor(std::vector<std::string> args, bool wide = false,
                                               const std::string& hold = "") {
        args.insert(args.begin(), program);
        if (!hold.empty()) {
            args.insert(args.begin(), "--hold=" + hold);
        }
        if (wide || !hold.empty()) {
            args.insert(args.begin(), spawner);
        }
        if (!launcher.empty()) {
            args.insert(args.begin(), launcher);
        }
        return args;
    }

    Outcome quib(std::vector<std::string> given, const Options& options = {}) {
        std::vector<std::string> args = commandFor(std::move(given), options.wide, options.hold);
        std::future<std::string> fifo;
        if (options.fifoRead > 0) {
            fifo = std::async(std::launch::async, [&] { return readFifo(options.fifoRead); });
        }
        Outcome outcome = finish(start(args, options), options);
        outcome.fifo = fifo.valid() ? fifo.get() : "";
        return outcome;
    }

    pid_t start(std::vector<std::string>& command, const Options& options) const {
        const pid_t child = fork();
        if (child == 0) {
            runChild(command, options);
        }
        return child;
    }

    Outcome finish(pid_t child, const Options& options) const {
        const Traced traced = options.traced() ? follow(child, options) : Traced{};
        EXPECT_TRUE(traced.reached || !options.stop.matches)
            << "the program never reached " << options.stop.what;
        int wstatus = traced.ended.value_or(0);
        if (options.signal != 0 || options.whileStopped) {
            EXPECT_TRUE(awaitHidden(true, options.signalAt, 60, child)) << "ended too soon";
        }
        if (options.signal != 0) {
            kill(child, options.signal);
        } else if (options.whileStopped) {
            kill(child, SIGSTOP);
            EXPECT_EQ(waitpid(child, &wstatus, WUNTRACED), child);
            options.whileStopped(root / "work");
            kill(child, SIGCONT);
        }
        if (!traced.ended) {
            waitpid(child, &wstatus, 0);
        }
        // Under Wine a file deleted while open goes a moment after the program,
        // when the Wine server closes it; one left after five seconds stays.
        if (windowsBuild && options.signal != 0) {
            awaitHidden(false, 0, 5);
        }
        const std::string capture = (root / std::to_string(child)).string();
        Outcome outcome{WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -WTERMSIG(wstatus),
                        slurp(capture + ".out"), slurp(capture + ".err"), "", traced.calls};
        fs::remove(capture + ".out");
        fs::remove(capture + ".err");
        return outcome;
    }

    // A run that fails leaves the folder exactly as it was. One that succeeds
    // changes only the file <vms> leads to, which keeps the mode and attributes
    // of a file it replaces, and otherwise gets what a plain create gives.
    void check(const Case& c) {
        const std::string label = ::testing::PrintToString(c.args);
        populate();
        if (c.options.whileStopped) {
            c.options.whileStopped(root / "work");
        }
        auto expected = snapshot();
        if (c.options.whileStopped) {
            populate();
        }
        const std::string into = c.target.empty() ? c.vms() : c.target;
        const fs::path written = root / "work" / into;
        struct stat before {};
        const bool replaces = lstat(written.c_str(), &before) == 0 && S_ISREG(before.st_mode);
        const std::string made = replaces ? stamp(written) : plainCreate(written.parent_path());
        const Outcome run = quib(c.args, c.options);
        EXPECT_EQ(run.status, c.status) << label;
        EXPECT_EQ(run.err, platformLines(c.err)) << label;
        EXPECT_EQ(run.out, "") << label;
        if (c.options.fifoRead > 0) {
            EXPECT_TRUE(run.fifo == c.wrote) << label << ": wrong bytes through the FIFO";
        } else if (!c.wrote.empty()) {  // a device keeps nothing
            expected[into] = made + " " + contents(c.wrote);
        }
        EXPECT_EQ(snapshot(), expected) << label;
    }

    void checkAll(const std::vector<Case>& cases) {
        for (const Case& c : cases) {
            if (c.runs) {
                check(c);
            }
        }
    }

    // A hidden file in the work folder or below that holds at least size
    // bytes; empty when there is none.
    fs::path hiddenNow(std::uintmax_t size) const {
        std::error_code error;  // a file may go while it is looked at
        for (const auto& item : fs::recursive_directory_iterator(root / "work", error)) {
            if (item.path().filename().string().rfind('.', 0) == 0 &&
                fs::file_size(item.path(), error) >= size && !error) {
                return item.path();
            }
        }
        return {};
    }

    // Whether there comes to be such a file (or, not present, none), before
    // the limit passes or the child, where there is one, ends.
    bool awaitHidden(bool present, std::uintmax_t size, int seconds, pid_t child = 0) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        siginfo_t ended{};
        while (std::chrono::steady_clock::now() < deadline &&
               (child == 0 || (waitid(P_PID, static_cast<id_t>(child), &ended,
                                      WEXITED | WNOHANG | WNOWAIT) == 0 &&
                               ended.si_pid == 0))) {
            if (hiddenNow(size).empty() != present) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    // A drive letter of Wine's for the work folder, so that a long name
    // makes a path short enough for Windows: the first free from Y: down.
    std::string driveForWork() {
        const char* const prefix = std::getenv("WINEPREFIX");
        for (char letter = 'y'; prefix != nullptr && letter > 'm'; --letter) {
            const fs::path link = fs::path(prefix) / "dosdevices" / (std::string(1, letter) + ":");
            if (symlink((root / "work").c_str(), link.c_str()) == 0) {
                drive = link;
                return std::string(1, static_cast<char>(letter - 'a' + 'A')) + ":\\";
            }
        }
        return "";
    }

    fs::path root;
    fs::path drive;  // the link that makes the drive

private:
    std::string readFifo(std::size_t limit) const {
        const int fd = open((root / "work" / "pipe.vms").c_str(), O_RDONLY);
        std::string got;
        char chunk[4096];
        ssize_t n = 0;
        while (got.size() < limit &&
               (n = read(fd, chunk, std::min(sizeof chunk, limit - got.size()))) > 0) {
            got.append(chunk, static_cast<std::size_t>(n));
        }
        close(fd);
        return got;
    }

    // Descriptors as a shell's redirections leave them: < for 0, > for others.
    static bool redirect(const std::map<int, std::string>& files) {
        for (const auto& [fd, name] : files) {
            const int flags = fd == 0 ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC;
            const int opened = open(name.c_str(), flags, 0644);
            if (opened < 0 || dup2(opened, fd) != fd) {
                return false;
            }
            close(opened);
        }
        return true;
    }

    // Signals as a shell started in a terminal leaves them, whatever the test was started under
    // (nohup, trap '' INT, a background job): each at its default, none blocked; only the row's own
    // ignored. (SIGKILL, SIGSTOP and the C library's own numbers refuse, and stay as they are.)
    static bool defaultSignals(const std::vector<int>& ignored) {
        for (int signal = 1; signal < NSIG; ++signal) {
            const bool ignore = std::find(ignored.begin(), ignored.end(), signal) != ignored.end();
            static_cast<void>(std::signal(signal, ignore ? SIG_IGN : SIG_DFL));
        }
        sigset_t none{};
        sigemptyset(&none);
        return sigprocmask(SIG_SETMASK, &none, nullptr) == 0;
    }

    [[noreturn]] void runChild(std::vector<std::string>& command, const Options& options) const {
        const std::string capture = (root / std::to_string(getpid())).string();
        constexpr int create = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
        const int out = open((capture + ".out").c_str(), create, 0600);
        const int err = open((capture + ".err").c_str(), create, 0600);
        const rlimit fileSize{options.fileSize, options.fileSize};
        const rlimit addressSpace{options.addressSpace, options.addressSpace};
        const rlimit noCore{0, 0};  // a core dump would land in the folder
        const bool drop =
            options.asNobody && getuid() == 0 && (!windowsBuild || !nobodyPrefix.empty());
        std::error_code copied;
        if (drop) {
            // The program's own folder may be closed to nobody (a checkout
            // under /root, say); the test's root is open to all.
            const fs::path copy = root / (windowsBuild ? "quib-for-nobody.exe" : "quib-for-nobody");
            std::string& exe = *std::find(command.begin(), command.end(), program);
            fs::copy_file(exe, copy, fs::copy_options::overwrite_existing, copied);
            exe = copy.string();
            useNobodyWine();
        }
        const std::vector<char*> argv = argvOf(command);
        for (const std::string& variable : options.environment) {
            putenv(const_cast<char*>(variable.c_str()));
        }
        // An empty folder over /proc, in a mount namespace of the child's own.
        const bool hidden =
            !options.noProc || (unshare(CLONE_NEWNS) == 0 &&
                                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                                mount("none", "/proc", "tmpfs", 0, nullptr) == 0);
        const bool dropped =
            hidden && (!drop || (!copied && setgid(65534) == 0 && setuid(65534) == 0));
        // SIGXFSZ and SIGPIPE kill, unless the program itself sees to them.
        if (chdir((root / "work").c_str()) == 0 && out >= 0 && err >= 0 && dup2(out, 1) == 1 &&
            dup2(err, 2) == 2 && setrlimit(RLIMIT_FSIZE, &fileSize) == 0 &&
            setrlimit(RLIMIT_AS, &addressSpace) == 0 && setrlimit(RLIMIT_CORE, &noCore) == 0 &&
            dropped && redirect(options.redirect) && defaultSignals(options.ignored)) {
            for (const int fd : options.closed) {
                close(fd);
            }
            // Stands still for the tracer, which goes on from the exec.
            if (options.traced() &&
                (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0 || raise(SIGSTOP) != 0)) {
                _exit(127);
            }
            execvp(argv[0], argv.data());
        }
        _exit(127);
    }
};

// Whether the program writes its new file unnamed (Linux's O_TMPFILE, on a
// file system that has it): a run killed at any moment then leaves nothing.
// Elsewhere it falls back to a named hidden file, which only SIGKILL leaves.
bool unnamedFiles() {
    const int fd = open(fs::temp_directory_path().c_str(), O_TMPFILE | O_RDWR, 0600);
    close(fd);
    if (posix && (!systemExtras || fd < 0)) {
        std::cout << "falls back to a named hidden file: SIGKILL leaves it\n";
    }
    return posix && systemExtras && fd >= 0;
}

// A sysctl that makes the kernel refuse an open: its rows run only where on.
bool sysctlOn(const std::string& name) {
    int value = 0;
    std::ifstream("/proc/sys/fs/" + name) >> value;
    return !skipped(value == 0, "where fs." + name + " is 0", "its row");
}

// Whether the program is a 64-bit ELF file without an interpreter: linked
// statically, it makes only its own system calls.
bool staticProgram() {
    const std::string elf = slurp(program);
    const auto field = [&elf](std::uint64_t at, std::size_t size) {
        std::uint64_t value = 0;  // as the host orders it; 0 past the end
        if (at + size <= elf.size()) {
            std::memcpy(&value, elf.data() + at, size);
        }
        return value;
    };
    if (elf.compare(0, 5, "\177ELF\002") != 0) {
        return false;
    }
    for (std::uint64_t entry = 0; entry < field(56, 2); ++entry) {
        if (field(field(32, 8) + entry * field(54, 2), 4) == 3) {  // PT_INTERP
            return false;
        }
    }
    return true;
}
bool thirtyTwoBit() {
    return slurp(program).compare(0, 5, "\177ELF\001") == 0;
}

// Rows with /proc hidden: as root, not sanitized (their runtime reads it).
bool withoutProc = false;

TEST_F(Cli, RefusalsChangeNothing) {
    const std::string name35 = std::string(31, 'n') + ".jpg";
    const std::string wide35 = "写真" + std::string(25, 'n') + ".jpg";  // 35 bytes of UTF-8
    const std::string toLong = "Input file name to long, rename file and try again.\n";
    // clang-format off
    std::vector<Case> cases = {
        run({"cat.jpg"}).fails(usage),
        run({"cat.jpg", "new.vms", "more"}).fails(usage),
        run("n" + name35, "new.vms").fails(toLong),
        run(name35, "new.vms").fails(noSource(name35)),
        run("n" + wide35, "new.vms").fails(toLong),
        run(wide35, "new.vms").fails(noSource(wide35)),
        run("adir", "new.vms").fails(noSource("adir")),
        run("cat.jpg", "nodir/new.vms").refused(),
        run("cat.jpg", "adir").refused(),
        run("cat.jpg", "").refused(),
        run("cat.jpg", "new.vms/").refused(),
        run("cat.jpg", "fds/60").refused().when(posix),
        run("cat.jpg", "open/readonly.vms").refused().with(nobody),
        run("cat.jpg", "hard.jpg").sameFile(),
        run("cat.jpg", "soft.jpg").sameFile(),
        run("soft.jpg", "cat.jpg").sameFile(),
        run("cat.jpg", "adir/../cat.jpg").sameFile(),
        run("写真.jpg", "写真2.jpg").sameFile(),
        run("cat.jpg", "fd0.vms").sameFile().with(redirected(0, "cat.jpg")).when(posix),
        // Refused as a plain open refuses them, before anything is written:
        // a loop of links, an append-only file, a descriptor that was closed
        // at the start, a descriptor link where /proc is not mounted.
        run("cat.jpg", "loop.vms").refused().when(posix),
        run("cat.jpg", "chain/l41").refused().when(posix),
        run("cat.jpg", "sealed.vms").refused().when(asRoot),
        run("cat.jpg", "sticky/other.vms").refused().with(nobody).when(asRoot && sysctlOn("protected_regular")),
        run("cat.jpg", "fd1.vms").refused().with(&Options::closed, std::vector{1}).when(posix),
        run("cat.jpg", "fd1.vms").refused().with(&Options::noProc, true).when(withoutProc),
    };
    if (windowsBuild) {
        std::string drivePath = "Z:" + (root / "work" / "cat.jpg").string();
        std::replace(drivePath.begin(), drivePath.end(), '/', '\\');
        const Options wide = with(&Options::wide, true);
        const bool spawns = !spawner.empty();
        cases.insert(cases.end(), {
            run("cat.jpg", "CAT.JPG").sameFile(),
            run("cat.jpg", ".\\cat.jpg").sameFile(),
            run("cat.jpg", drivePath).sameFile(),
            // Too long for Windows to look up: that it is not the input cannot
            // be known, so it is not written at all.
            run("cat.jpg", repeat(".\\", 130) + "cat.jpg").refused(),
            // A read-only file by its short name and through a linked folder.
            run("cat.jpg", "long folder name\\A_LO~SLL.VMS").refused(),
            run("cat.jpg", "lnk\\a long existing name.vms").refused(),
            // Names that UTF-8 cannot hold (an unpaired surrogate) arrive as
            // another file's name: that file is neither read nor replaced; each
            // argument is told by its place, though both arrive as one text.
            run("%D800.jpg", "new.vms").fails(noSource("\uFFFD.jpg")).with(wide).when(spawns),
            run("cat.jpg", "%DC00.jpg").fails(noDestination("\uFFFD.jpg")).with(wide).when(spawns),
            run("\uFFFD.jpg", "%D800.jpg").fails(noDestination("\uFFFD.jpg")).with(wide).when(spawns),
            // Held open by another program that shares only reading: a plain open
            // for writing fails, and so does the run, leaving nothing beside it.
            run("cat.jpg", "e.vms").refused().with(&Options::hold, "r:e.vms").when(spawns),
            // Root's file, in nobody's own folder: nobody may not write it.
            run("cat.jpg", "mine/root.vms").refused().with(nobody).when(!nobodyPrefix.empty()),
        });
    }
    // clang-format on
    checkAll(cases);
}

// Every run that gets as far as the output, cut short at each step in turn by real faults: an
// earlier file must survive each one, whether it was to be replaced or written in place.
TEST_F(Cli, FailuresLeaveTheFolderAsItWas) {
    const std::string noData = failed("Failed to write image data to destination file.");
    const std::string noSize = failed("Failed to write size field to destination file.");
    const std::string noMime = failed("Failed to write mime header to destination file.");
    // The shim works on the dynamically linked build that ctest names; a
    // static one (the release build, named on the command line) ignores it.
    const bool shim = posix && program == QUIB_EXE;
    const bool memoryLimit = posix && !QUIB_SANITIZED;  // sanitizers reserve terabytes
    const auto limited = [](rlim_t size) { return with(&Options::fileSize, size); };
    // clang-format off
    std::vector<Case> cases = {
        run("empty.jpg", "old.vms").fails(noRead),
        run("big.jpg", "old.vms").fails(tooLarge),
        // (qemu-user reserves a 32-bit guest's whole address space at start.)
        run("huge.jpg", "old.vms").fails(tooLarge).with(&Options::addressSpace, 256U << 20U)
            .when(memoryLimit && !(thirtyTwoBit() && skippedUnderEmulation("huge.jpg old.vms, an address-space limit"))),
        // Where both would fail, a new file still reports its header first.
        run("empty.jpg", "old.vms").fails(noHeader("old.vms")).with(limited(600)).when(posix).extras(inPlace, "a file-size limit of 600"),
        run("cat.jpg", "old.vms").fails(noSize).with(limited(654)).when(posix).extras(inPlace, "a file-size limit of 654"),
        run("cat.jpg", "old.vms").fails(noMime).with(limited(680)).when(posix).extras(inPlace, "a file-size limit of 680"),
        run("cat.jpg", "old.vms").fails(noData).with(limited(804)).when(posix).extras(inPlace, "a file-size limit of 804"),
        run("cat.jpg", "full").fails(noHeader("full")).when(asRoot),
        run("cat.jpg", "old.vms").fails(noClose("old.vms")).with(preloaded("QUIB_FAIL_CLOSE=old.vms")).when(shim).extras(inPlace, "a failed close"),
        run("cat.jpg", "old.vms").fails(noClose("old.vms")).with(preloaded("QUIB_FAIL_RENAME=old.vms")).when(shim).extras(inPlace, "a failed rename"),
        // A signal as the final close and rename begin waits for them: the
        // new file is in place, and nothing is left beside it.
        run("cat.jpg", "old.vms").dies(SIGTERM).writes(catVms).with(&Options::stop, closingHidden("old.vms", sending(SIGTERM)))
            .when(posix).extras(inPlace, "a signal in the final rename"),
        // A file written in place is cut short by a failed write, as with
        // any program that writes in place; the failure is still reported.
        run("cat.jpg", "append/old.vms").fails(noHeader("append/old.vms")).writes(baseHeader.substr(0, 600)).with(limited(600)).when(asRoot),
        // A file written in place is not touched until the input is whole.
        run("empty.jpg", "ro/out.vms").fails(noRead).with(nobody),
        run("big.jpg", "ro/out.vms").fails(tooLarge).with(nobody),
        run("empty.jpg", "append/old.vms").fails(noRead).when(appendOnly),
        run("empty.jpg", "append/new.vms").fails(noRead).when(appendOnly).extras(unseenAppend),
        run("empty.jpg", "bound.vms").fails(noRead).when(asRoot),
        // A file that cannot be renamed over is overwritten only once the
        // room for the new bytes is held: too little keeps it whole.
        run("mid.jpg", "small/old.vms").fails(noClose("small/old.vms")).when(asRoot).extras(inPlace, "a disk too full to copy"),
    };
    // clang-format on
    // Every signal that ends the program removes the hidden file first; each arrives as the program
    // stands at its write of the image data. (qemu-user adds a line of its own to stderr when its
    // program dies of SIGQUIT, as of any signal that dumps core.)
    const bool signals = posix && withExtras(inPlace, "long.jpg old.vms, ten signals mid-write");
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM,
                             SIGPROF, SIGXCPU}) {
        Case row = run("long.jpg", "old.vms").dies(signal).with(atDataWrite(sending(signal)));
        cases.push_back(signal == SIGQUIT ? row.when(signals).unlessEmulated("SIGQUIT")
                                          : row.when(signals));
    }
    // An unnamed new file goes with the process, even killed outright; a named one is removed by
    // the handlers (the shim takes unnamed files away, as a file system without them does).
    const bool unnamed = signals && unnamedFiles();
    const Options killing = atDataWrite(sending(SIGKILL));
    // Ctrl+C (under Wine a SIGINT) during the read and the write ends the run as Windows ends it
    // (the low byte of STATUS_CONTROL_C_EXIT), the folder as it was; as nobody too, in root's open
    // folder, over nobody's file (of the usual mode: a narrower one is written in place) and beside
    // it. Not under qemu: too little address space for the 1 GiB buffer, and Wine's loader crashes
    // there on SIGINT.
    const Options ctrlC = with(&Options::signal, SIGINT);
    const bool asNobody = windowsBuild && !nobodyPrefix.empty();
    // What the name leads to is looked at again just before the file is put
    // in place: a twin in another case that the name would now lead to, or
    // another file moved to the name, fails the run, and neither is lost.
    const auto twinMade = [](const fs::path& work) {
        put(work / "E.vms", "a twin made meanwhile");
    };
    const auto movedThere = [](const fs::path& work) {
        put(work / "other", "moved there meanwhile");
        fs::rename(work / "other", work / "e.vms");
    };
    // clang-format off
    cases.insert(cases.end(), {
        run("long.jpg", "old.vms").dies(SIGKILL).with(killing).when(unnamed),
        run("long.jpg", "new.vms").dies(SIGKILL).with(killing).when(unnamed),
        run("long.jpg", "old.vms").dies(SIGTERM).with(atDataWrite(sending(SIGTERM), preloaded("QUIB_NO_TMPFILE=1"))).when(shim && signals),
        run("huge.jpg", "e.vms").says(banner, 0x3A).with(ctrlC).when(windowsBuild).unlessEmulated("Ctrl+C"),
        run("huge.jpg", "e.vms").says(banner, 0x3A).with(ctrlC.with(&Options::signalAt, 1)).when(windowsBuild).unlessEmulated("Ctrl+C"),
        run("huge.jpg", "open/yours.vms").says(banner, 0x3A).with(ctrlC.with(&Options::asNobody, true)).when(asNobody).unlessEmulated("Ctrl+C"),
        run("huge.jpg", "open/new.vms").says(banner, 0x3A).with(ctrlC.with(&Options::asNobody, true)).when(asNobody).unlessEmulated("Ctrl+C"),
        run("long.jpg", "e.vms").fails(noClose("e.vms")).with(&Options::whileStopped, twinMade).when(windowsBuild),
        run("long.jpg", "e.vms").fails(noClose("e.vms")).with(&Options::whileStopped, movedThere).when(windowsBuild),
        // Killed outright, the program cleans nothing up: the hidden file is
        // marked for deletion from its start, and goes with the program.
        run("huge.jpg", "e.vms").dies(SIGKILL).with(&Options::signal, SIGKILL).when(windowsBuild).unlessEmulated("killed"),
        run("empty.jpg", repeat(".\\", 130) + "old.vms").refused().when(windowsBuild),
        run("cat.jpg", "LPT1").refused().when(windowsBuild),
        run("cat.jpg", "lpt1.vms").refused().when(windowsBuild),
        run("cat.jpg", "PRN").refused().when(windowsBuild),
        run("cat.jpg", "COM9").refused().when(windowsBuild),
    });
    checkAll(cases);
    // A FIFO is written in place. Its reader quitting early must fail the
    // write, not kill the program; with stdin and stderr closed at the
    // start, no message may land in the output that took a descriptor.
    checkAll({
        run("large.jpg", "pipe.vms").fails(noData).writes(largeVms.substr(0, 704)).with(&Options::fifoRead, 704).when(posix),
        run("empty.jpg", "pipe.vms").fails("").writes(baseHeader)
            .with(with(&Options::fifoRead, SIZE_MAX).with(&Options::closed, std::vector{0, 2})).when(posix),
    });
    // clang-format on
}

TEST_F(Cli, SuccessesChangeOnlyTheOutput) {
    const auto cat = [](const std::string& mime) {
        return container(std::string("\xC8\0\0\0", 4), "image/jpeg ; " + mime, pattern(200));
    };
    const std::string longest = std::string(251, 'n') + ".vms";  // as long as a name may be
    const std::string oneVms =
        container(std::string("\x01\0\0\0", 4), "image/jpeg ; one.jpg", pattern(1));
    const bool shim = posix && program == QUIB_EXE;
    // (A write in place clears them, as any write by their owner does.)
    const bool suid = asRoot && withExtras(inPlace, "setuid and setgid files of nobody's");
    const Options ignoring = with(&Options::ignored, std::vector{SIGINT});
    const Options vanishing = with(&Options::stop, opening("out.vms", [this](const Call&) {
        fs::remove(root / "work" / "sticky" / "out.vms");
    }));
    int openFlags = -1;
    const Options recordingOpen =
        with(&Options::stop, opening("old.vms", [&openFlags](const Call& call) {
            openFlags = static_cast<int>(call.args[2]);
        }));
    // clang-format off
    std::vector<Case> cases = {
        run("cat.jpg", "new.vms").gives(catVms),
        run("one.jpg", "new.vms").gives(oneVms),
        run("pic.jpg", "old.vms").gives(picVms),
        run("large.jpg", "new.vms").gives(largeVms),
        // A link is written through: what it leads to is replaced or created.
        run("cat.jpg", "link.vms").into("old.vms").gives(catVms),
        run("cat.jpg", "adir/up.vms").into("old.vms").gives(catVms),
        run("cat.jpg", "dangling.vms").into("nowhere.vms").gives(catVms).when(posix),
        // nobody's link in a sticky folder, removed as the program opens it:
        // the open creates the typed name then, never the link's target.
        run("cat.jpg", "sticky/out.vms").gives(catVms).with(vanishing).when(asRoot),
        // Opened as fopen(vms, "wb") opens it, emptying nothing.
        run("cat.jpg", "old.vms").gives(catVms).with(recordingOpen).when(posix),
        run("cat.jpg", "chain/l40").into("old.vms").gives(catVms).when(posix),
        // Flags an owner may set, and setuid and setgid bits that a write by
        // their owner clears, are kept.
        run("cat.jpg", "flagged.vms").gives(catVms).when(asRoot),
        run("cat.jpg", "open/s4755.vms").gives(catVms).with(nobody).when(suid),
        run("cat.jpg", "open/s2755.vms").gives(catVms).with(nobody).when(suid),
        run("cat.jpg", "open/s6755.vms").gives(catVms).with(nobody).when(suid),
        run("cat.jpg", "small/old.vms").gives(catVms).when(asRoot),
        // Its ACL and attributes read where /proc is not mounted; a file the user cannot give back
        // to its owner, or whose rename is refused, written in place.
        run("cat.jpg", "old.vms").gives(catVms).with(&Options::noProc, true).when(withoutProc),
        run("cat.jpg", "open/shared.vms").gives(catVms).with(nobody).when(asRoot),
        run("cat.jpg", "old.vms").gives(catVms).with(preloaded("QUIB_REFUSE_RENAME=old.vms")).when(shim),
        // A value that grows while it is read is read again, never copied
        // from a buffer it did not fill.
        run("cat.jpg", "old.vms").gives(catVms).with(preloaded("QUIB_GROW_XATTR=user.note")).when(shim && asRoot),
        // A signal ignored by whoever started the program (nohup) stays
        // ignored: SIGINT mid-write is no interruption, named file or not.
        run("large.jpg", "old.vms").gives(largeVms).with(atDataWrite(sending(SIGINT), ignoring)).when(posix),
        run("large.jpg", "old.vms").gives(largeVms).when(shim)
            .with(atDataWrite(sending(SIGINT), preloaded("QUIB_NO_TMPFILE=1").with(&Options::ignored, std::vector{SIGINT}))),
        run("cat.jpg", longest).gives(catVms).when(posix),
        run("cat.jpg", longest.substr(7)).gives(catVms).when(posix),
        run("写真.jpg", "写真.vms").gives(cat("写真.j")),
        run("café.jpg", "café.vms").gives(cat("café.jp")),
        // stderr's own file is replaced like any other, and comes out clean.
        run("cat.jpg", "e.vms").gives(catVms).says("").with(redirected(2, "e.vms")).when(posix).extras(inPlace, "with stderr on e.vms"),
        // Written in place: devices, descriptors, files that cannot be renamed over.
        run("cat.jpg", "null").gives("").when(asRoot),
        run("cat.jpg", "NUL").gives("").when(windowsBuild),
        run("cat.jpg", "fd1.vms").into("stdout.vms").gives(catVms).with(redirected(1, "stdout.vms")).when(posix),
        run("cat.jpg", "fd0.vms").into("stdin.vms").gives(catVms).with(redirected(0, "stdin.vms")).when(posix),
        run("cat.jpg", "fds/3").into("three.vms").gives(catVms).with(redirected(3, "three.vms")).when(posix),
        run("cat.jpg", "ro/out.vms").gives(catVms).with(nobody),
        run("cat.jpg", "sticky/theirs.vms").gives(catVms).with(nobody).when(posix),
        run("cat.jpg", "bound.vms").gives(catVms).when(asRoot),
        run("cat.jpg", "append/old.vms").gives(catVms).when(appendOnly),
        run("cat.jpg", "append/new.vms").gives(catVms).when(appendOnly).extras(unseenAppend),
        run("cat.jpg", "acl/new.vms").gives(catVms).when(asRoot),
        // Nor does a file that had none get the folder's default ACL.
        run("cat.jpg", "acl/plain.vms").gives(catVms).when(asRoot),
        // A replaced file keeps its attributes, by any spelling (a short
        // folder part); a new one is not left hidden.
        run("cat.jpg", "hidden.vms").gives(catVms).when(windowsBuild),
        run("cat.jpg", "LONG~ZAT\\system.vms").into("long folder name/system.vms").gives(catVms).when(windowsBuild),
    };
    if (windowsBuild) {
        std::string folder = "Z:" + (root / "work").string() + "\\";
        std::replace(folder.begin(), folder.end(), '/', '\\');
        const std::string name255 = repeat("n", 255 - folder.size() - 4) + ".vms";
        const std::string name259 = repeat("n", 259 - folder.size() - 4) + ".vms";
        const std::string y = driveForWork();
        const std::string replaced244 = repeat("n", 244) + ".vms";
        cases.insert(cases.end(), {
            // The hidden sibling's name is cut to fit beside the longest paths.
            run("cat.jpg", folder + name255).into(name255).gives(catVms),
            run("cat.jpg", folder + name259).into(name259).gives(catVms),
            // A name that leads to the file itself keeps the file's own name. A file that another
            // entry answers to as well (a twin in another case, a folder, a file named as another's
            // short name, a link) is written in place, the other left alone. So is a file held open
            // by another program that shares writing but not deletion.
            run("cat.jpg", "LONG~0FK.VMS").into("long output name.vms").gives(catVms),
            run("cat.jpg", "REPORT.VMS").into("Report.vms").gives(catVms),
            run("cat.jpg", "A.vms").into("A.vms").gives(catVms),
            run("cat.jpg", "a.vms").into("a.vms").gives(catVms),
            run("cat.jpg", "b.vms").into("b.vms").gives(catVms),
            run("cat.jpg", "T.vms").into("t.vms").gives(catVms),
            run("cat.jpg", "alias\\LONG~0FK.VMS").into("alias/LONG~0FK.VMS").gives(catVms),
            run("cat.jpg", "e.vms").gives(catVms).with(&Options::hold, "rw:e.vms").when(!spawner.empty()),
            // A name of 248 to 255 characters, new or replaced, in a path short
            // enough (a drive for the folder): the hidden name is cut to 255 too.
            run("cat.jpg", y + longest).into(longest).gives(catVms).when(!y.empty()),
            run("cat.jpg", y + replaced244).into(replaced244).gives(catVms).when(!y.empty()),
        });
    }
    // clang-format on
    checkAll(cases);
    EXPECT_TRUE(!posix || (openFlags & (O_ACCMODE | O_CREAT | O_TRUNC)) == (O_WRONLY | O_CREAT))
        << "<vms> opened with flags " << openFlags;
}

// A run stopped mid-way while its hidden name is taken over by another run, or its folder is moved
// away: it works on the folder it opened, and renames or removes only the file it wrote. An unnamed
// file has its name only at the commit: the name is taken just before it is linked there, and
// another is chosen.
TEST_F(Cli, StoppedRunsKeepToTheirOwnFile) {
    if (!posix) {
        GTEST_SKIP() << "stopping a program needs POSIX signals";
    }
    const bool unnamed = unnamedFiles();
    for (const bool moveFolder : {false, true}) {
        if (!moveFolder && !withExtras(inPlace, "a run whose hidden file another run takes")) {
            continue;
        }
        populate();
        const auto before = snapshot();
        std::string hiddenName;
        const auto meanwhile = [&](const Call& call) {
            if (moveFolder) {
                fs::rename(root / "work" / "sub", root / "work" / "moved");
                return;
            }
            const fs::path hidden =
                unnamed ? fs::path(stringAt(call.pid, call.args[3])) : hiddenNow(0);
            ASSERT_FALSE(hidden.empty());
            hiddenName = "sub/" + hidden.filename().string();
            EXPECT_EQ(quib({"cat.jpg", hiddenName}).status, 0);
        };
        const Stop linking{"the link of the unnamed file",
                           [](const Call& call) { return call.number == SYS_linkat; }, meanwhile};
        const Outcome run =
            quib({"long.jpg", "sub/out.vms"},
                 with(&Options::stop,
                      unnamed && !moveFolder ? linking : writeOfAtLeast(1U << 20U, meanwhile)));
        auto after = snapshot();
        const std::string out = moveFolder ? "moved/out.vms" : "sub/out.vms";
        if (moveFolder || unnamed) {
            EXPECT_EQ(run.err, success("sub/out.vms"));
            EXPECT_EQ(after[out], std::to_string((256U << 20U) + 704) + " sparse bytes");
            after.erase(out);
        }
        if (moveFolder) {
            EXPECT_EQ(after.erase("moved"), 1U);
            after["sub"] = before.at("sub");
        } else {
            EXPECT_TRUE(unnamed || run.err == noClose("sub/out.vms"));
            EXPECT_EQ(after[hiddenName],
                      plainCreate(root / "work" / "sub") + " " + contents(catVms));
            after.erase(hiddenName);
        }
        EXPECT_EQ(after, before) << (moveFolder ? "folder moved" : "name taken");
    }
}

// What happens to <vms> and its folder while the program writes is seen at the commit: a chmod and
// an ACL removed meanwhile are kept; a folder made append-only keeps the hidden file, and the run
// says so; a named hidden file is what SIGKILL alone leaves. Each row's folder afterwards is the
// one before, with the target's new entry and any hidden file it expects.
TEST_F(Cli, ChangesMidRunAreSeenAtTheCommit) {
    if (!posix) {
        GTEST_SKIP() << "stopping a program needs ptrace";
    }
    const fs::path work = root / "work";
    const bool replaces = asRoot && withExtras(inPlace, "a chmod, an ACL, append-only, mid-run");
    std::map<std::string, std::string> expected;
    const auto stamped = [&](const std::string& name) {
        expected[name] = stamp(work / name) + " " + contents(largeVms);
    };
    const auto chmodded = [&](const Call&) {
        fs::permissions(work / "old.vms", fs::perms(0600));
        removexattr((work / "old.vms").c_str(), "system.posix_acl_access");
        removexattr((work / "old.vms").c_str(), "user.note");
        stamped("old.vms");
    };
    const auto sealed = [&](const Call&) {
        ASSERT_TRUE(setFlags(work / "sub", FS_APPEND_FL, true));
        stamped("sub/old.vms");
    };
    const Options killedNamed = atDataWrite(sending(SIGKILL), preloaded("QUIB_NO_TMPFILE=1"));
    struct Row {
        Case c;
        bool hiddenLeft;  // a hidden file beside the target
    };
    // clang-format off
    const std::vector<Row> rows = {
        {run("large.jpg", "old.vms").gives("").with(atDataWrite(chmodded)).when(replaces), false},
        {run("large.jpg", "sub/old.vms").fails(noClose("sub/old.vms")).with(atDataWrite(sealed)).when(replaces), true},
        // Where the file is named from the start (a build without unnamed
        // files, or the shim's), SIGKILL leaves it; so it was before.
        {run("large.jpg", "new.vms").dies(SIGKILL).with(killedNamed).when(program == QUIB_EXE || !unnamedFiles()), true},
    };
    // clang-format on
    for (const auto& [c, hiddenLeft] : rows) {
        if (!c.runs) {
            continue;
        }
        populate();
        put(work / "sub" / "old.vms", "an earlier result", fs::perms(0644));
        expected = snapshot();
        const Outcome run = quib(c.args, c.options);
        EXPECT_EQ(run.status, c.status) << c.vms();
        EXPECT_EQ(run.err, c.err) << c.vms();
        auto after = snapshot();
        const fs::path target(c.vms());
        const std::string hidden = "." + target.filename().string() + ".";
        std::size_t left = 0;
        for (auto entry = after.begin(); entry != after.end();) {
            const fs::path name(entry->first);
            const bool isHidden = name.parent_path() == target.parent_path() &&
                                  name.filename().string().rfind(hidden, 0) == 0;
            left += isHidden ? 1 : 0;
            entry = isHidden ? after.erase(entry) : std::next(entry);
        }
        EXPECT_EQ(left, hiddenLeft ? 1U : 0U) << c.vms() << ": hidden files left";
        setFlags(work / "sub", FS_APPEND_FL, false);
        EXPECT_EQ(after, expected) << c.vms();
    }
}

// One replacement of an existing 100 KiB file makes few system calls: counted on a static native
// build (a dynamic one adds its loader's, an emulator its own), where the new file is unnamed.
TEST_F(Cli, AReplacementMakesFewSystemCalls) {
    if (!posix || !launcher.empty() || QUIB_SANITIZED || !staticProgram() || !unnamedFiles()) {
        GTEST_SKIP() << "counted on a static native build, with unnamed files";
    }
    populate();
    put(root / "work" / "hundred.jpg", pattern(100U << 10U));
    put(root / "work" / "hundred.vms", pattern(100U << 10U), fs::perms(0644));
    const Outcome run = quib({"hundred.jpg", "hundred.vms"}, with(&Options::countCalls, true));
    EXPECT_EQ(run.status, 0);
    EXPECT_LE(run.calls, 80);
    std::cout << "system calls of one replacement: " << run.calls << "\n";
}

// Two runs on one <vms> at once: each renames a whole file of its own, so
// the last one wins whole, and neither leaves anything else behind.
TEST_F(Cli, ConcurrentRunsLeaveOneWholeFile) {
    if (!posix) {
        GTEST_SKIP() << "50 rounds of two Wine starts take minutes";
    }
    if (!withExtras(inPlace, "two runs on one <vms>")) {
        GTEST_SKIP() << "two runs that write one file in place mix their bytes";
    }
    populate();
    const auto before = snapshot();
    for (int round = 0; round < 50; ++round) {
        std::vector<std::string> first = commandFor({"cat.jpg", "out.vms"});
        std::vector<std::string> second = commandFor({"pic.jpg", "out.vms"});
        const pid_t one = start(first, {});
        const pid_t other = start(second, {});
        ASSERT_EQ(finish(one, {}).status, 0);
        ASSERT_EQ(finish(other, {}).status, 0);
        const std::string written = slurp(root / "work" / "out.vms");
        ASSERT_TRUE(written == catVms || written == picVms)
            << "round " << round << ": a mixed file";
        auto after = snapshot();
        after.erase("out.vms");
        ASSERT_EQ(after, before) << "round " << round;
    }
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--launcher=", 0) == 0) {
            launcher = arg.substr(11);
        } else if (arg.rfind("--spawner=", 0) == 0) {
            spawner = fs::absolute(arg.substr(10)).string();
        } else {
            program = fs::absolute(arg).string();
        }
    }
    windowsBuild = program.size() > 4 && program.compare(program.size() - 4, 4, ".exe") == 0;
    posix = !windowsBuild;
    appendOnly = geteuid() == 0;
    asRoot = posix && appendOnly;
    withoutProc = asRoot && !QUIB_SANITIZED;
    if (!launcher.empty()) {
        emulator = emulatorOf(launcher);
        std::cout << launcher << (emulator.empty() ? " runs natively" : " runs under " + emulator)
                  << ".\n";
    }
    if (posix && !asRoot) {
        std::cout << "Not root: the rows with devices, a bound file, ACLs and an append-only "
                     "folder are skipped.\n";
    }
    if (windowsBuild && appendOnly && !launcher.empty()) {
        startNobodyWine();
    }
    const int failures = RUN_ALL_TESTS();
    stopNobodyWine();
    return failures;
}
