// End-to-end: the real program in a child process, in a fresh folder for
// every case, with real links, FIFOs, file-size and memory limits, a real
// full device, mounts, file attributes and real signals. Every case checks
// the status, the exact stderr, that stdout stays empty, and the whole
// folder afterwards, extended attributes included: exactly as before, or
// changed only in the file that received the output.
//
// No case aims the program at a path outside its own folder: as root, a
// faulty build would replace /dev/null for the whole machine. Devices and
// descriptor links are nodes and links made in the folder itself.
//
//   cli_test [gtest flags] [--launcher=CMD] [--spawner=EXE] [path/to/quib]
//
// With a .exe path the program is a Windows build run by the launcher
// (wine); its stderr lines end in CR LF, and the POSIX-only cases are off.
// The spawner (tests/spawn_wide.c) gives it names UTF-8 cannot hold.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
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
#include <map>
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
    std::string repeated;
    for (std::size_t i = 0; i < times; ++i) {
        repeated += text;
    }
    return repeated;
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

// The inputs of the cases, wrapped.
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

// What a file keeps beside its bytes: its owner, group and mode (under
// Wine too, which shows them to a Windows build as its ACL) and its
// extended attributes.
std::string stamp(const fs::path& path) {
    struct stat status {};
    lstat(path.c_str(), &status);
    const std::string owner = std::to_string(status.st_uid) + ":" + std::to_string(status.st_gid);
    return owner + " " + std::to_string(status.st_mode & 07777) + attributes(path);
}

// How a regular file looks in a snapshot: its stamp, its size and a hash of
// its bytes, short enough for a readable diff.
std::string contents(const std::string& bytes) {
    return std::to_string(bytes.size()) + " bytes #" +
           std::to_string(std::hash<std::string>{}(bytes) % 1000000);
}

struct Options {
    rlim_t fileSize = RLIM_INFINITY;
    rlim_t addressSpace = RLIM_INFINITY;
    std::vector<std::string> environment{};
    bool asNobody = false;                  // as root, run as nobody: permissions apply
    std::vector<int> closed{};              // descriptors closed at the start
    bool noProc = false;                    // as root, run where /proc is an empty folder
    std::size_t fifoRead = 0;               // a reader on pipe.vms takes this much, or all
    int signal = 0;                         // sent once the hidden file holds signalAt bytes
    std::uintmax_t signalAt = 1U << 20U;    // or 1: the header, during the read;
                                            // or 0: once stopped in the final rename
    std::map<int, std::string> redirect{};  // descriptor: file of the folder (0 reads)
    bool wide = false;                      // through spawn_wide.exe: %XXXX is a UTF-16 unit
    std::string hold{};  // through spawn_wide.exe, which holds a file open: "rw:NAME" or "r:NAME"
    // Done to the work folder while the program is stopped, once the hidden
    // file holds signalAt bytes; the folder is then expected as it leaves it.
    std::function<void(const fs::path&)> whileStopped{};
};

// One setting changed from the defaults, for the case tables.
template <typename Field, typename Value>
Options with(Field Options::*field, Value value) {
    Options options;
    options.*field = static_cast<Field>(value);
    return options;
}

struct Outcome {
    int status = -1;  // the exit status, or less the signal the program died of
    std::string out;
    std::string err;
    std::string fifo{};  // what the reader on pipe.vms got
};

struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
    std::string wrote{};  // what the file <vms> leads to holds afterwards; what a FIFO got
    Options options{};
    bool runs = true;
    std::string into{};  // the file that <vms> leads to, when not <vms> itself
};

// The append-only attribute of a folder or a file, which only root may set
// or clear.
bool setAppendOnly(const fs::path& path, bool on) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    int flags = 0;
    bool done = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | FS_APPEND_FL : flags & ~FS_APPEND_FL;
    done = done && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return done;
}

// As root, a Windows build's prefix of nobody's own; empty otherwise.
std::string nobodyPrefix;

// A Windows build run as nobody needs a Wine prefix of nobody's own (Wine
// refuses another user's) and a Wine server of its own: made once, as
// root, by startNobodyWine, and ended by stopNobodyWine.
void useNobodyWine() {
    static std::string prefix;
    static std::string home;
    prefix = "WINEPREFIX=" + nobodyPrefix;
    home = "HOME=" + nobodyPrefix;
    putenv(prefix.data());
    putenv(home.data());
}

// Runs a Wine command as nobody, its output in the prefix's log, and waits
// for it; the server it starts must not hold the test's output open.
bool asNobodyInWine(const std::vector<std::string>& command) {
    const pid_t child = fork();
    if (child == 0) {
        const std::string log = nobodyPrefix + "/wine.log";
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        const int in = open(log.c_str(), O_RDONLY | O_CLOEXEC);
        std::vector<char*> argv;
        std::vector<std::string> words = command;
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
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
    fs::path loader = fs::path(launcher).parent_path() / "wine64";
    if (!fs::exists(loader)) {
        loader = launcher;
    }
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
        fs::permissions(root,
                        fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
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
        umount2((work / "bound.vms").c_str(), MNT_DETACH);
        setAppendOnly(work / "append", false);
        setAppendOnly(work / "sealed.vms", false);
        fs::permissions(work / "ro", fs::perms::owner_all, ignored);
        fs::remove_all(work);
    }

    // The same folder for every case: inputs, an earlier result, links, a
    // FIFO, a read-only file and a directory that refuses new files; as
    // root also devices, a bound file, an append-only folder, and an ACL
    // and an attribute on the earlier result.
    void populate() {
        const fs::path work = root / "work";
        clearWork();
        fs::create_directories(work / "adir");
        fs::create_directory(work / "ro");
        put(work / "cat.jpg", pattern(200));
        put(work / "one.jpg", pattern(1));
        put(work / "写真.jpg", pattern(200));
        put(work / "café.jpg", pattern(200));
        put(work / "pic.jpg", pattern(65537));
        put(work / "large.jpg", pattern(largeSize));
        put(work / "empty.jpg", "");
        put(work / "old.vms", "an earlier result", fs::perms(0640));
        for (const char* name : {"e.vms", "stdin.vms", "stdout.vms", "three.vms"}) {
            put(work / name, "an earlier result", fs::perms(0644));
        }
        fs::create_directory(work / "open");  // anyone may add files here
        fs::permissions(work / "open", fs::perms::all);
        put(work / "open" / "readonly.vms", "not to be replaced", fs::perms(0444));
        fs::create_directory(work / "sticky");  // and remove only their own
        fs::permissions(work / "sticky", fs::perms::all | fs::perms::sticky_bit);
        put(work / "sticky" / "theirs.vms", "anyone may write it", fs::perms(0666));
        put(work / "ro" / "out.vms", "written in place", fs::perms(0666));
        // Windows spellings of one file: short (8.3) names, which Wine makes
        // up from a hash of the long one, and a linked folder.
        fs::create_directory(work / "long folder name");
        put(work / "long folder name" / "a long existing name.vms", "not to be replaced",
            fs::perms(0444));
        fs::create_directory_symlink("long folder name", work / "lnk");
        put(work / "\uFFFD.jpg", pattern(200));  // what UTF-8 makes of a lone surrogate
        put(work / (repeat("n", 244) + ".vms"), "an earlier result");
        fs::permissions(work / "ro", fs::perms(0555));
        fs::create_directory(work / "sub");
        fs::create_symlink("../old.vms", work / "adir" / "up.vms");  // relative to its own folder
        for (const auto& [name, size] :
             {std::pair{"big.jpg", (1ULL << 32U) + 200}, std::pair{"huge.jpg", 1ULL << 30U},
              std::pair{"long.jpg", 256ULL << 20U}}) {
            put(work / name, "");
            fs::resize_file(work / name, size);  // sparse: nothing is stored
        }
        fs::create_hard_link(work / "cat.jpg", work / "hard.jpg");
        fs::create_hard_link(work / "写真.jpg", work / "写真2.jpg");
        fs::create_symlink("cat.jpg", work / "soft.jpg");
        fs::create_symlink("old.vms", work / "link.vms");
        fs::create_symlink("nowhere.vms", work / "dangling.vms");
        fs::create_symlink("loop.vms", work / "loop.vms");
        fs::create_symlink("/proc/self/fd/0", work / "fd0.vms");
        fs::create_symlink("/proc/self/fd/1", work / "fd1.vms");
        fs::create_symlink("/proc/self/fd", work / "fds");
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
            ASSERT_TRUE(setAppendOnly(work / "append", true));
        }
    }

    // Names that Windows tells apart only by their case or their short
    // names, which Wine makes up from a hash of the long one; and, where
    // the rows run as nobody, files and a folder of nobody's and root's.
    void populateForWindows(const fs::path& work) const {
        put(work / "a.vms", "KEEP-lower");
        put(work / "A.vms", "KEEP-upper");
        put(work / "b.vms", "an earlier result");
        fs::create_directory(work / "B.VMS");
        put(work / "t.vms", "an earlier result");
        fs::create_symlink("t.vms", work / "T.vms");
        put(work / "long output name.vms", "an earlier result");
        put(work / "Report.vms", "an earlier result");
        fs::create_directory(work / "alias");
        put(work / "alias" / "long output name.vms", "an earlier result");
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
        ASSERT_EQ(mount((root / "host.vms").c_str(), (work / "bound.vms").c_str(), nullptr, MS_BIND,
                        nullptr),
                  0);
        const auto set = [](const fs::path& path, const char* name, const std::string& value) {
            return setxattr(path.c_str(), name, value.data(), value.size(), 0) == 0;
        };
        ASSERT_TRUE(set(work / "old.vms", "system.posix_acl_access", nobodyMayWrite));
        ASSERT_TRUE(set(work / "old.vms", "user.note", "kept"));
        fs::create_directory(work / "acl");
        ASSERT_TRUE(set(work / "acl", "system.posix_acl_default", nobodyMayWrite));
        put(work / "acl" / "plain.vms", "an earlier result", fs::perms(0644));
        ASSERT_EQ(removexattr((work / "acl" / "plain.vms").c_str(), "system.posix_acl_access"), 0);
        put(work / "sealed.vms", "an earlier result", fs::perms(0644));
        ASSERT_TRUE(setAppendOnly(work / "sealed.vms", true));
        // Root's, and nobody may write it only through its ACL.
        put(work / "open" / "shared.vms", "an earlier result", fs::perms(0660));
        ASSERT_TRUE(set(work / "open" / "shared.vms", "system.posix_acl_access", nobodyMayWrite));
        ASSERT_TRUE(set(work / "open" / "shared.vms", "user.note", "kept"));
    }

    // Every entry below the work folder, to prove what a run changed.
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
        const int fd = open((probe / "file").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
        close(fd);
        std::string made = stamp(probe / "file");
        fs::remove_all(probe);
        return made;
    }

    // The command line that runs the program on args, through the launcher
    // where there is one.
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
        std::string fromFifo;
        std::thread reader;
        if (options.fifoRead > 0) {
            reader = std::thread([&] { fromFifo = readFifo(options.fifoRead); });
        }
        Outcome outcome = finish(start(args, options), options);
        if (reader.joinable()) {
            reader.join();
        }
        outcome.fifo = fromFifo;
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
        int wstatus = 0;
        if (options.signal != 0 && options.signalAt == 0) {
            // The shim stops the program in its rename; the signal waits
            // there until it is let go.
            EXPECT_EQ(waitpid(child, &wstatus, WUNTRACED), child);
            EXPECT_TRUE(WIFSTOPPED(wstatus)) << "ended too soon";
            kill(child, options.signal);
            kill(child, SIGCONT);
        } else if (options.signal != 0) {
            EXPECT_FALSE(hiddenFile(options.signalAt, child).empty()) << "ended too soon";
            kill(child, options.signal);
        } else if (options.whileStopped) {
            EXPECT_FALSE(hiddenFile(options.signalAt, child).empty()) << "ended too soon";
            kill(child, SIGSTOP);
            EXPECT_EQ(waitpid(child, &wstatus, WUNTRACED), child);
            options.whileStopped(root / "work");
            kill(child, SIGCONT);
        }
        waitpid(child, &wstatus, 0);
        if (windowsBuild && options.signal != 0) {
            awaitWineCleanup();
        }
        const std::string capture = (root / std::to_string(child)).string();
        Outcome outcome{WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -WTERMSIG(wstatus),
                        slurp(capture + ".out"), slurp(capture + ".err")};
        fs::remove(capture + ".out");
        fs::remove(capture + ".err");
        return outcome;
    }

    // A run that fails leaves the folder exactly as it was: no new file, no
    // hidden leftover, an earlier <vms> intact. One that succeeds changes only
    // the file <vms> leads to, which keeps the mode and the extended
    // attributes of a file it replaces, and otherwise gets what a plain
    // create would give it.
    void check(const Case& c) {
        std::string label;
        for (const std::string& arg : c.args) {
            label += arg + " ";
        }
        populate();
        if (c.options.whileStopped) {
            c.options.whileStopped(root / "work");
        }
        auto expected = snapshot();
        if (c.options.whileStopped) {
            populate();
        }
        const std::string into = c.into.empty() && c.args.size() > 1 ? c.args[1] : c.into;
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

    // The same, once there is one; empty if the child ends first, or a
    // minute passes.
    fs::path hiddenFile(std::uintmax_t size, pid_t child) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        siginfo_t ended{};
        while (std::chrono::steady_clock::now() < deadline &&
               waitid(P_PID, static_cast<id_t>(child), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               ended.si_pid == 0) {
            if (fs::path found = hiddenNow(size); !found.empty()) {
                return found;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return {};
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
    // A file deleted while open goes when its last handle is closed; under
    // Wine that is done by the Wine server, a moment after the program it
    // ended is gone. A hidden file left after five seconds is left for good.
    void awaitWineCleanup() const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!hiddenNow(0).empty() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

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

    // Descriptors as a shell's redirections would leave them: < for 0, > for
    // the others, each on a file of the work folder.
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
        std::vector<char*> argv;
        argv.reserve(command.size() + 1);
        for (std::string& word : command) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
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
        // Signals as a shell would leave them: SIGXFSZ and SIGPIPE at their
        // default, which kills, unless the program itself sees to them.
        if (chdir((root / "work").c_str()) == 0 && out >= 0 && err >= 0 && dup2(out, 1) == 1 &&
            dup2(err, 2) == 2 && setrlimit(RLIMIT_FSIZE, &fileSize) == 0 &&
            setrlimit(RLIMIT_AS, &addressSpace) == 0 && setrlimit(RLIMIT_CORE, &noCore) == 0 &&
            dropped && redirect(options.redirect)) {
            for (const int fd : options.closed) {
                close(fd);
            }
            execvp(argv[0], argv.data());
        }
        _exit(127);
    }
};

const auto noSource = [](const std::string& path) {
    return failed("Failed to open source file [" + path + "] for input.");
};
const auto noDestination = [](const std::string& path) {
    return failed("Failed to open destinaton file [" + path + "] for output.");
};
const auto noHeader = [](const std::string& path) {
    return failed("Failed to write base header to destination file [" + path + "].");
};
const auto noClose = [](const std::string& path) {
    return failed("Failed to close destination file [" + path + "].");
};
const auto same = [](const std::string& path) {
    return failed("Source and destination are the same file [" + path + "].");
};
const std::string tooLarge = failed(
    "The image file data is to large for current memeory configuration, re-configure memory "
    "or ue a smaller image or better compression");
const std::string noRead = failed("Failed to read image file data.");

// The emulator that runs the launcher where the kernel runs no 32-bit x86
// program and install-deps registered qemu for Wine's 32-bit loader, as
// binfmt_misc lists it; empty where the launcher runs natively.
std::string emulatorOf(const std::string& loader) {
    if (fs::path(loader).filename().string().rfind("qemu-", 0) == 0) {
        return loader;  // a launcher that is qemu-user itself
    }
    std::array<char, 20> elf{};
    std::ifstream(loader, std::ios::binary).read(elf.data(), elf.size());
    const bool x86 = elf[4] == 1 && elf[18] == 3;  // ELFCLASS32, EM_386
    std::ifstream entry("/proc/sys/fs/binfmt_misc/qemu-i386");
    std::string state;
    std::string interpreter;
    std::getline(entry, state);
    entry >> interpreter >> interpreter;  // "interpreter /usr/bin/qemu-i386-static"
    return x86 && state == "enabled" ? interpreter : "";
}
std::string emulator;  // the launcher's, found once

// Whether a row that an emulator cannot honour is left out; it says so.
bool skippedUnderEmulation(const std::string& row) {
    if (!emulator.empty()) {
        std::cout << "skipped under emulation (" << emulator << "): " << row << "\n";
    }
    return !emulator.empty();
}

// A program built without its system's extras (QUIB_SYSTEM_EXTRAS off, as
// for a system the build does not know) cannot copy attributes, so it
// writes an existing file in place, and it does not see an append-only
// folder: the rows that only the extras can pass are left out, and said so.
const bool systemExtras = QUIB_SYSTEM_EXTRAS;
const std::string inPlace = "an existing file is written in place";
const std::string unseenAppend = "an append-only folder is not seen";
bool withExtras(const std::string& why, const std::string& row) {
    if (!systemExtras) {
        std::cout << "skipped without the system's extras (" << why << "): " << row << "\n";
    }
    return systemExtras;
}

// Whether the program is a 32-bit ELF file: its class byte, after the magic.
bool thirtyTwoBit() {
    std::ifstream file(program, std::ios::binary);
    std::string head(5, '\0');
    file.read(head.data(), static_cast<std::streamsize>(head.size()));
    return file && head == "\177ELF\001";
}

// Options for the rows that need them.
const std::vector<std::string> preload = {"LD_PRELOAD=" QUIB_SHIM,
                                          "ASAN_OPTIONS=verify_asan_link_order=0"};
Options redirected(int fd, const std::string& file) {
    return with(&Options::redirect, std::map<int, std::string>{{fd, file}});
}
const Options nobody = with(&Options::asNobody, true);
// Rows where /proc is hidden: as root, and not under the sanitizers, whose
// runtime reads it.
bool withoutProc = false;

TEST_F(Cli, RefusalsChangeNothing) {
    const std::string name35 = std::string(31, 'n') + ".jpg";
    const std::string wide35 = "写真" + std::string(25, 'n') + ".jpg";  // 35 bytes of UTF-8
    const std::string toLong = "Input file name to long, rename file and try again.\n";
    // clang-format off
    std::vector<Case> cases = {
        {{"cat.jpg"}, 1, usage},
        {{"cat.jpg", "new.vms", "more"}, 1, usage},
        {{"n" + name35, "new.vms"}, 1, toLong},
        {{name35, "new.vms"}, 1, noSource(name35)},
        {{"n" + wide35, "new.vms"}, 1, toLong},
        {{wide35, "new.vms"}, 1, noSource(wide35)},
        {{"adir", "new.vms"}, 1, noSource("adir")},
        {{"cat.jpg", "nodir/new.vms"}, 1, noDestination("nodir/new.vms")},
        {{"cat.jpg", "adir"}, 1, noDestination("adir")},
        {{"cat.jpg", ""}, 1, noDestination("")},
        {{"cat.jpg", "new.vms/"}, 1, noDestination("new.vms/")},
        {{"cat.jpg", "fds/60"}, 1, noDestination("fds/60"), "", {}, posix},
        {{"cat.jpg", "open/readonly.vms"}, 1, noDestination("open/readonly.vms"), "", nobody},
        {{"cat.jpg", "hard.jpg"}, 1, same("hard.jpg")},
        {{"cat.jpg", "soft.jpg"}, 1, same("soft.jpg")},
        {{"soft.jpg", "cat.jpg"}, 1, same("cat.jpg")},
        {{"cat.jpg", "adir/../cat.jpg"}, 1, same("adir/../cat.jpg")},
        {{"写真.jpg", "写真2.jpg"}, 1, same("写真2.jpg")},
        {{"cat.jpg", "fd0.vms"}, 1, same("fd0.vms"), "", redirected(0, "cat.jpg"), posix},
        // Refused as a plain open refuses them, before anything is written:
        // a loop of links, an append-only file, a descriptor that was closed
        // at the start, a descriptor link where /proc is not mounted.
        {{"cat.jpg", "loop.vms"}, 1, noDestination("loop.vms"), "", {}, posix},
        {{"cat.jpg", "sealed.vms"}, 1, noDestination("sealed.vms"), "", {}, asRoot},
        {{"cat.jpg", "fd1.vms"}, 1, noDestination("fd1.vms"), "", with(&Options::closed, std::vector{1}), posix},
        {{"cat.jpg", "fd1.vms"}, 1, noDestination("fd1.vms"), "", with(&Options::noProc, true), withoutProc},
    };
    // clang-format on
    if (windowsBuild) {
        std::string drivePath = "Z:" + (root / "work" / "cat.jpg").string();
        std::replace(drivePath.begin(), drivePath.end(), '/', '\\');
        for (const std::string& spelling :
             {std::string("CAT.JPG"), std::string(".\\cat.jpg"), drivePath}) {
            cases.push_back({{"cat.jpg", spelling}, 1, same(spelling)});
        }
        // Too long for Windows to look up: that it is not the input cannot
        // be known, so it is not written at all.
        const std::string tooLong = repeat(".\\", 130) + "cat.jpg";
        cases.push_back({{"cat.jpg", tooLong}, 1, noDestination(tooLong)});
        // A read-only file by its short name and through a linked folder.
        for (const std::string& spelling : {std::string("long folder name\\A_LO~SLL.VMS"),
                                            std::string("lnk\\a long existing name.vms")}) {
            cases.push_back({{"cat.jpg", spelling}, 1, noDestination(spelling)});
        }
        // Names that UTF-8 cannot hold (an unpaired surrogate) arrive as
        // another file's name: that file is neither read nor replaced.
        const Options wide = with(&Options::wide, true);
        const bool spawns = !spawner.empty();
        cases.push_back({{"%D800.jpg", "new.vms"}, 1, noSource("\uFFFD.jpg"), "", wide, spawns});
        cases.push_back(
            {{"cat.jpg", "%DC00.jpg"}, 1, noDestination("\uFFFD.jpg"), "", wide, spawns});
        // Each argument is told by its place, though both arrive as one text.
        cases.push_back(
            {{"\uFFFD.jpg", "%D800.jpg"}, 1, noDestination("\uFFFD.jpg"), "", wide, spawns});
        // Held open by another program that shares only reading: a plain open
        // for writing fails, and so does the run, leaving nothing beside it.
        cases.push_back({{"cat.jpg", "e.vms"},
                         1,
                         noDestination("e.vms"),
                         "",
                         with(&Options::hold, std::string("r:e.vms")),
                         spawns});
        // Root's file, in nobody's own folder: nobody may not write it.
        cases.push_back({{"cat.jpg", "mine/root.vms"},
                         1,
                         noDestination("mine/root.vms"),
                         "",
                         nobody,
                         !nobodyPrefix.empty()});
    }
    checkAll(cases);
}

// Every run that gets as far as the output, cut short at each step in turn
// by real faults: an earlier file must survive each one, whether it was to
// be replaced or written in place.
TEST_F(Cli, FailuresLeaveTheFolderAsItWas) {
    const std::string noData = failed("Failed to write image data to destination file.");
    auto failing = [](const std::string& step) {
        Options options = with(&Options::environment, preload);
        options.environment.push_back(step + "=old.vms");
        return options;
    };
    // The shim works on the dynamically linked build that ctest names; a
    // static one (the release build, named on the command line) ignores it.
    const bool shim = posix && program == QUIB_EXE;
    Options pausing = failing("QUIB_PAUSE_RENAME");
    pausing.signal = SIGTERM;
    pausing.signalAt = 0;
    const bool memoryLimit = posix && !QUIB_SANITIZED;  // sanitizers reserve terabytes
    const std::string noSize = failed("Failed to write size field to destination file.");
    const std::string noMime = failed("Failed to write mime header to destination file.");
    // clang-format off
    std::vector<Case> cases = {
        {{"empty.jpg", "old.vms"}, 1, noRead},
        {{"big.jpg", "old.vms"}, 1, tooLarge},
        // (qemu-user reserves a 32-bit guest's whole address space at start.)
        {{"huge.jpg", "old.vms"}, 1, tooLarge, "", with(&Options::addressSpace, 256U << 20U),
         memoryLimit &&
             !(thirtyTwoBit() && skippedUnderEmulation("huge.jpg old.vms, an address-space limit"))},
        // Where both would fail, a new file still reports its header first.
        {{"empty.jpg", "old.vms"}, 1, noHeader("old.vms"), "", with(&Options::fileSize, 600),
         posix && withExtras(inPlace, "empty.jpg old.vms, a file-size limit of 600")},
        {{"cat.jpg", "old.vms"}, 1, noSize, "", with(&Options::fileSize, 654),
         posix && withExtras(inPlace, "cat.jpg old.vms, a file-size limit of 654")},
        {{"cat.jpg", "old.vms"}, 1, noMime, "", with(&Options::fileSize, 680),
         posix && withExtras(inPlace, "cat.jpg old.vms, a file-size limit of 680")},
        {{"cat.jpg", "old.vms"}, 1, noData, "", with(&Options::fileSize, 804),
         posix && withExtras(inPlace, "cat.jpg old.vms, a file-size limit of 804")},
        {{"cat.jpg", "full"}, 1, noHeader("full"), "", {}, asRoot},
        {{"cat.jpg", "old.vms"}, 1, noClose("old.vms"), "", failing("QUIB_FAIL_CLOSE"),
         shim && withExtras(inPlace, "cat.jpg old.vms, a failed close")},
        {{"cat.jpg", "old.vms"}, 1, noClose("old.vms"), "", failing("QUIB_FAIL_RENAME"),
         shim && withExtras(inPlace, "cat.jpg old.vms, a failed rename")},
        // A signal during the final rename waits for it: the new file is in
        // place, and nothing is left beside it.
        {{"cat.jpg", "old.vms"}, -SIGTERM, banner, catVms, pausing,
         shim && withExtras(inPlace, "cat.jpg old.vms, a signal in the final rename")},
        // A file written in place is cut short by a failed write, as with
        // any program that writes in place; the failure is still reported.
        {{"cat.jpg", "append/old.vms"}, 1, noHeader("append/old.vms"), baseHeader.substr(0, 600),
         with(&Options::fileSize, 600), asRoot},
        // A file written in place is not touched until the input is whole.
        {{"empty.jpg", "ro/out.vms"}, 1, noRead, "", nobody},
        {{"big.jpg", "ro/out.vms"}, 1, tooLarge, "", nobody},
        {{"empty.jpg", "append/old.vms"}, 1, noRead, "", {}, appendOnly},
        {{"empty.jpg", "append/new.vms"}, 1, noRead, "", {},
         appendOnly && withExtras(unseenAppend, "empty.jpg append/new.vms")},
        {{"empty.jpg", "bound.vms"}, 1, noRead, "", {}, asRoot},
    };
    // clang-format on
    // Every signal that ends the program removes the hidden file first.
    // (qemu-user adds a line of its own to stderr when its program dies of
    // SIGQUIT, as of any signal that dumps core.)
    const bool signals = posix && withExtras(inPlace, "long.jpg old.vms, ten signals mid-write");
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM,
                             SIGPROF, SIGXCPU}) {
        cases.push_back({{"long.jpg", "old.vms"},
                         -signal,
                         banner,
                         "",
                         with(&Options::signal, signal),
                         signals && (signal != SIGQUIT ||
                                     !skippedUnderEmulation("long.jpg old.vms, SIGQUIT"))});
    }
    // Ctrl+C, during the read and during the write, under Wine a SIGINT:
    // the end Windows gives it (STATUS_CONTROL_C_EXIT, of which the status
    // keeps the low byte), and the folder as it was; as nobody too, in a
    // folder of root's that anyone may write, where a file of nobody's is
    // replaced and a new one made beside its name. (A file of the usual mode:
    // under Wine a narrower one is written in place.) Not under an emulator:
    // qemu gives a 32-bit program too little address space for the 1 GiB
    // buffer, and Wine's loader crashes there on SIGINT, as with any program.
    Options duringRead = with(&Options::signal, SIGINT);
    duringRead.signalAt = 1;
    Options asNobody = with(&Options::signal, SIGINT);
    asNobody.asNobody = true;
    for (const auto& [vms, options] : {std::pair{"e.vms", with(&Options::signal, SIGINT)},
                                       {"e.vms", duringRead},
                                       {"open/yours.vms", asNobody},
                                       {"open/new.vms", asNobody}}) {
        cases.push_back({{"huge.jpg", vms},
                         0x3A,
                         banner,
                         "",
                         options,
                         windowsBuild && (!options.asNobody || !nobodyPrefix.empty()) &&
                             !skippedUnderEmulation("huge.jpg " + std::string(vms) + ", Ctrl+C")});
    }
    // What the name leads to is looked at again just before the file is put
    // in place: a twin in another case that the name would now lead to, or
    // another file moved to the name, fails the run, and neither is lost.
    Options twinMade = with(&Options::whileStopped, [](const fs::path& work) {
        put(work / "E.vms", "a twin made meanwhile");
    });
    Options replacedMeanwhile = with(&Options::whileStopped, [](const fs::path& work) {
        put(work / "other", "moved there meanwhile");
        fs::rename(work / "other", work / "e.vms");
    });
    for (const Options& options : {twinMade, replacedMeanwhile}) {
        cases.push_back({{"long.jpg", "e.vms"}, 1, noClose("e.vms"), "", options, windowsBuild});
    }
    // Killed outright, the program cleans nothing up: the hidden file is
    // marked for deletion from its start, and goes with the program.
    cases.push_back({{"huge.jpg", "e.vms"},
                     -SIGKILL,
                     banner,
                     "",
                     with(&Options::signal, SIGKILL),
                     windowsBuild && !skippedUnderEmulation("huge.jpg e.vms, killed")});
    const std::string oldTooLong = repeat(".\\", 130) + "old.vms";
    for (const Case& c : std::initializer_list<Case>{
             {{"empty.jpg", oldTooLong}, 1, noDestination(oldTooLong)},
             {{"cat.jpg", "LPT1"}, 1, noDestination("LPT1")},
             {{"cat.jpg", "lpt1.vms"}, 1, noDestination("lpt1.vms")},
             {{"cat.jpg", "PRN"}, 1, noDestination("PRN")},
             {{"cat.jpg", "COM9"}, 1, noDestination("COM9")},
         }) {
        cases.push_back(c);
        cases.back().runs = windowsBuild;
    }
    checkAll(cases);
    // A FIFO is written in place. Its reader quitting early must fail the
    // write, not kill the program; with stdin and stderr closed at the
    // start, no message may land in the output that took a descriptor.
    Options quitting = with(&Options::fifoRead, 704);
    Options closed = with(&Options::fifoRead, SIZE_MAX);
    closed.closed = {0, 2};
    checkAll({
        {{"large.jpg", "pipe.vms"}, 1, noData, largeVms.substr(0, 704), quitting, posix},
        {{"empty.jpg", "pipe.vms"}, 1, "", baseHeader, closed, posix},
    });
}

TEST_F(Cli, SuccessesChangeOnlyTheOutput) {
    const auto cat = [](const std::string& mime) {
        return container(std::string("\xC8\0\0\0", 4), "image/jpeg ; " + mime, pattern(200));
    };
    const std::string longest = std::string(251, 'n') + ".vms";  // as long as a name may be
    const std::string oneVms =
        container(std::string("\x01\0\0\0", 4), "image/jpeg ; one.jpg", pattern(1));
    Options fd3 = redirected(3, "three.vms");
    // The shim works on the dynamically linked build that ctest names.
    const bool shim = posix && program == QUIB_EXE;
    Options refusing = with(&Options::environment, preload);
    refusing.environment.emplace_back("QUIB_REFUSE_RENAME=old.vms");
    Options growing = with(&Options::environment, preload);
    growing.environment.emplace_back("QUIB_GROW_XATTR=user.note");
    // clang-format off
    std::vector<Case> cases = {
        {{"cat.jpg", "new.vms"}, 0, success("new.vms"), catVms},
        {{"one.jpg", "new.vms"}, 0, success("new.vms"), oneVms},
        {{"pic.jpg", "old.vms"}, 0, success("old.vms"), picVms},
        {{"large.jpg", "new.vms"}, 0, success("new.vms"), largeVms},
        // A link is written through: the file it leads to is replaced, or
        // created, and the link stays.
        {{"cat.jpg", "link.vms"}, 0, success("link.vms"), catVms, {}, true, "old.vms"},
        {{"cat.jpg", "adir/up.vms"}, 0, success("adir/up.vms"), catVms, {}, true, "old.vms"},
        {{"cat.jpg", "dangling.vms"}, 0, success("dangling.vms"), catVms, {}, posix, "nowhere.vms"},
        // Its ACL and attributes read where /proc is not mounted; a file the
        // user cannot give back to its owner, or whose rename is refused,
        // written in place.
        {{"cat.jpg", "old.vms"}, 0, success("old.vms"), catVms, with(&Options::noProc, true), withoutProc},
        {{"cat.jpg", "open/shared.vms"}, 0, success("open/shared.vms"), catVms, nobody, asRoot},
        {{"cat.jpg", "old.vms"}, 0, success("old.vms"), catVms, refusing, shim},
        // A value that grows while it is read is read again, never copied
        // from a buffer it did not fill.
        {{"cat.jpg", "old.vms"}, 0, success("old.vms"), catVms, growing, shim && asRoot},
        {{"cat.jpg", longest}, 0, success(longest), catVms, {}, posix},
        {{"cat.jpg", longest.substr(7)}, 0, success(longest.substr(7)), catVms, {}, posix},
        {{"写真.jpg", "写真.vms"}, 0, success("写真.vms"), cat("写真.j")},
        {{"café.jpg", "café.vms"}, 0, success("café.vms"), cat("café.jp")},
        // stderr's own file is replaced like any other, and comes out clean.
        {{"cat.jpg", "e.vms"}, 0, "", catVms, redirected(2, "e.vms"),
         posix && withExtras(inPlace, "cat.jpg e.vms, with stderr on e.vms")},
        // Written in place: devices, descriptors, and files that cannot be
        // renamed over.
        {{"cat.jpg", "null"}, 0, success("null"), "", {}, asRoot},
        {{"cat.jpg", "NUL"}, 0, success("NUL"), "", {}, windowsBuild},
        {{"cat.jpg", "fd1.vms"}, 0, success("fd1.vms"), catVms, redirected(1, "stdout.vms"),
         posix, "stdout.vms"},
        {{"cat.jpg", "fd0.vms"}, 0, success("fd0.vms"), catVms, redirected(0, "stdin.vms"), posix,
         "stdin.vms"},
        {{"cat.jpg", "fds/3"}, 0, success("fds/3"), catVms, fd3, posix, "three.vms"},
        {{"cat.jpg", "ro/out.vms"}, 0, success("ro/out.vms"), catVms, nobody},
        {{"cat.jpg", "sticky/theirs.vms"}, 0, success("sticky/theirs.vms"), catVms, nobody, posix},
        {{"cat.jpg", "bound.vms"}, 0, success("bound.vms"), catVms, {}, asRoot},
        {{"cat.jpg", "append/old.vms"}, 0, success("append/old.vms"), catVms, {}, appendOnly},
        {{"cat.jpg", "append/new.vms"}, 0, success("append/new.vms"), catVms, {},
         appendOnly && withExtras(unseenAppend, "cat.jpg append/new.vms")},
        {{"cat.jpg", "acl/new.vms"}, 0, success("acl/new.vms"), catVms, {}, asRoot},
        // Nor does a file that had none get the folder's default ACL.
        {{"cat.jpg", "acl/plain.vms"}, 0, success("acl/plain.vms"), catVms, {}, asRoot},
        // A replaced file keeps its attributes, by any spelling (a short
        // folder part); a new one is not left hidden.
        {{"cat.jpg", "hidden.vms"}, 0, success("hidden.vms"), catVms, {}, windowsBuild},
        {{"cat.jpg", "LONG~ZAT\\system.vms"}, 0, success("LONG~ZAT\\system.vms"), catVms, {},
         windowsBuild, "long folder name/system.vms"},
    };
    // clang-format on
    if (windowsBuild) {
        // Paths of 255 and 259 characters, the most Windows allows: the
        // hidden sibling's name is cut to fit beside them.
        std::string folder = "Z:" + (root / "work").string() + "\\";
        std::replace(folder.begin(), folder.end(), '/', '\\');
        for (const std::size_t length : {std::size_t{255}, std::size_t{259}}) {
            const std::string name = repeat("n", length - folder.size() - 4) + ".vms";
            cases.push_back(
                {{"cat.jpg", folder + name}, 0, success(folder + name), catVms, {}, true, name});
        }
        // A name that leads to the file itself keeps the file's own name. A
        // file that another entry answers to as well (a twin in another
        // case, a folder, a file named as another's short name, a link) is
        // written in place, the other left alone. So is a file held open by
        // another program that shares writing but not deletion.
        for (const auto& [vms, into] : {std::pair{"LONG~0FK.VMS", "long output name.vms"},
                                        {"REPORT.VMS", "Report.vms"},
                                        {"A.vms", "A.vms"},
                                        {"a.vms", "a.vms"},
                                        {"b.vms", "b.vms"},
                                        {"T.vms", "t.vms"},
                                        {"alias\\LONG~0FK.VMS", "alias/LONG~0FK.VMS"}}) {
            cases.push_back({{"cat.jpg", vms}, 0, success(vms), catVms, {}, true, into});
        }
        cases.push_back({{"cat.jpg", "e.vms"},
                         0,
                         success("e.vms"),
                         catVms,
                         with(&Options::hold, std::string("rw:e.vms")),
                         !spawner.empty()});
        // A name of 248 to 255 characters, new or replaced, in a path short
        // enough: the hidden name is cut to 255 characters too.
        const std::string y = driveForWork();
        for (const std::string& name : {longest, repeat("n", 244) + ".vms"}) {
            cases.push_back(
                {{"cat.jpg", y + name}, 0, success(y + name), catVms, {}, !y.empty(), name});
        }
    }
    checkAll(cases);
}

// A run stopped mid-way while its hidden name is taken over by another
// run, or its folder is moved away: it works on the folder it opened, and
// renames or removes only the file it wrote.
TEST_F(Cli, StoppedRunsKeepToTheirOwnFile) {
    if (!posix) {
        GTEST_SKIP() << "stopping a program needs POSIX signals";
    }
    for (const bool moveFolder : {false, true}) {
        if (!moveFolder && !withExtras(inPlace, "a run whose hidden file another run takes")) {
            continue;
        }
        populate();
        const auto before = snapshot();
        std::vector<std::string> first = commandFor({"long.jpg", "sub/out.vms"});
        const pid_t stopped = start(first, {});
        const fs::path hidden = hiddenFile(1U << 20U, stopped);
        ASSERT_FALSE(hidden.empty());
        kill(stopped, SIGSTOP);
        const std::string hiddenName = "sub/" + hidden.filename().string();
        if (moveFolder) {
            fs::rename(root / "work" / "sub", root / "work" / "moved");
        } else {
            EXPECT_EQ(quib({"cat.jpg", hiddenName}).status, 0);
        }
        kill(stopped, SIGCONT);
        const Outcome run = finish(stopped, {});
        auto after = snapshot();
        if (moveFolder) {
            EXPECT_EQ(run.err, success("sub/out.vms"));
            EXPECT_EQ(after["moved/out.vms"],
                      std::to_string((256U << 20U) + 704) + " sparse bytes");
            EXPECT_EQ(after.erase("moved/out.vms") + after.erase("moved"), 2U);
            after["sub"] = before.at("sub");
        } else {
            EXPECT_EQ(run.err, failed("Failed to close destination file [sub/out.vms]."));
            EXPECT_EQ(after[hiddenName],
                      plainCreate(root / "work" / "sub") + " " + contents(catVms));
            after.erase(hiddenName);
        }
        EXPECT_EQ(after, before) << (moveFolder ? "folder moved" : "name taken");
    }
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
