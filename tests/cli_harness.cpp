// How the end-to-end tests run the real program: in a child process, in a fresh folder for every
// case, with real links, FIFOs, limits, devices, mounts, attributes and signals, stopped where a
// row must act (ptrace), and the folder compared before and after.
//
//   cli_test [gtest flags] [--launcher=CMD] [--spawner=EXE] [path/to/quib]
//
// With a .exe path the program is a Windows build run by the launcher (wine), and the POSIX-only
// cases are off; the spawner (tests/spawn_wide.c) gives it names UTF-8 cannot hold.
#include "cli_harness.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <optional>
#include <sstream>
#include <thread>

namespace cli {

namespace {

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

bool bind(const fs::path& from, const fs::path& to) {
    return mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

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

void clearWork(const fs::path& work) {
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

// Names that Windows tells apart only by their case or their short
// names, which Wine makes up from a hash of the long one; and, where
// the rows run as nobody, files and a folder of nobody's and root's.
void populateForWindows(const fs::path& work) {
    put(work / "a.vms", "KEEP-lower");
    put(work / "A.vms", "KEEP-upper");
    fs::create_directory(work / "B.VMS");
    fs::create_directory(work / "alias");
    for (const char* name :
         {"b.vms", "t.vms", "long output name.vms", "Report.vms", "alias/long output name.vms"}) {
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

void populateAsRoot(const fs::path& work) {
    ASSERT_EQ(mknod((work / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    ASSERT_EQ(mknod((work / "full").c_str(), S_IFCHR | 0666, makedev(1, 7)), 0);
    put(work / "bound.vms", "");
    put(work.parent_path() / "host.vms", "bound into the folder", fs::perms(0644));
    ASSERT_TRUE(bind(work.parent_path() / "host.vms", work / "bound.vms"));
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

std::string readFifo(const fs::path& work, std::size_t limit) {
    const int fd = open((work / "pipe.vms").c_str(), O_RDONLY);
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
bool redirect(const std::map<int, std::string>& files) {
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
bool defaultSignals(const std::vector<int>& ignored) {
    for (int signal = 1; signal < NSIG; ++signal) {
        const bool ignore = std::find(ignored.begin(), ignored.end(), signal) != ignored.end();
        static_cast<void>(std::signal(signal, ignore ? SIG_IGN : SIG_DFL));
    }
    sigset_t none{};
    sigemptyset(&none);
    return sigprocmask(SIG_SETMASK, &none, nullptr) == 0;
}

[[noreturn]] void runChild(const fs::path& root, std::vector<std::string>& command,
                           const Options& options) {
    const std::string capture = (root / std::to_string(getpid())).string();
    constexpr int create = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
    const int out = open((capture + ".out").c_str(), create, 0600);
    const int err = open((capture + ".err").c_str(), create, 0600);
    const rlimit fileSize{options.fileSize, options.fileSize};
    const rlimit addressSpace{options.addressSpace, options.addressSpace};
    const rlimit noCore{0, 0};  // a core dump would land in the folder
    const bool drop = options.asNobody && getuid() == 0 && (!windowsBuild || !nobodyPrefix.empty());
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
        hidden && (!drop || (!copied && setgid(nobodyId) == 0 && setuid(nobodyId) == 0));
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

// Whether there comes to be such a file (or, not present, none), before
// the limit passes or the child, where there is one, ends.
bool awaitHidden(const fs::path& work, bool present, std::uintmax_t size, int seconds,
                 pid_t child = 0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    siginfo_t ended{};
    while (std::chrono::steady_clock::now() < deadline &&
           (child == 0 ||
            (waitid(P_PID, static_cast<id_t>(child), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
             ended.si_pid == 0))) {
        if (hiddenIn(work, size).empty() != present) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

}  // namespace

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return std::move(bytes).str();
}

void put(const fs::path& path, const std::string& bytes, fs::perms mode) {
    std::ofstream(path, std::ios::binary) << bytes;
    if (mode != fs::perms::none) {
        fs::permissions(path, mode);
    }
}

std::string stamp(const fs::path& path) {
    struct stat status {};
    lstat(path.c_str(), &status);
    const std::string owner = std::to_string(status.st_uid) + ":" + std::to_string(status.st_gid);
    return owner + " " + std::to_string(status.st_mode & 07777) + flags(path) + attributes(path);
}

std::string contents(const std::string& bytes) {
    return std::to_string(bytes.size()) + " bytes #" +
           std::to_string(std::hash<std::string>{}(bytes) % 1000000);
}

std::string stringAt(pid_t pid, std::uint64_t address) {
    std::ifstream memory("/proc/" + std::to_string(pid) + "/mem", std::ios::binary);
    memory.seekg(static_cast<std::streamoff>(address));
    std::string text;
    std::getline(memory, text, '\0');
    return text;
}

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

bool setFlags(const fs::path& path, int which, bool on) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    int flags = 0;
    bool done = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | which : flags & ~which;
    done = done && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    close(fd);
    return done;
}

void Cli::SetUp() {
    std::string name = (fs::temp_directory_path() / "quib-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(name.data()), nullptr);
    root = name;
    fs::permissions(root, fs::perms(0711));  // nobody may pass through
}
void Cli::TearDown() {
    if (!drive.empty()) {
        fs::remove(drive);
    }
    clearWork(root / "work");
    fs::remove_all(root);
}

void Cli::populate() {
    const fs::path work = root / "work";
    clearWork(work);
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
        {"adir/up.vms", "../old.vms"},   {"soft.jpg", "cat.jpg"},  {"link.vms", "old.vms"},
        {"dangling.vms", "nowhere.vms"}, {"loop.vms", "loop.vms"}, {"fd0.vms", "/proc/self/fd/0"},
        {"fd1.vms", "/proc/self/fd/1"},  {"fds", "/proc/self/fd"}, {"chain/l1", "../old.vms"}};
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

std::map<std::string, std::string> Cli::snapshot() const {
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

std::string Cli::plainCreate(const fs::path& folder) const {
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

std::vector<std::string> Cli::commandFor(std::vector<std::string> args, bool wide,
                                         const std::string& hold) {
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

Outcome Cli::quib(std::vector<std::string> given, const Options& options) {
    std::vector<std::string> args = commandFor(std::move(given), options.wide, options.hold);
    std::future<std::string> fifo;
    if (options.fifoRead > 0) {
        fifo = std::async(std::launch::async,
                          [&] { return readFifo(root / "work", options.fifoRead); });
    }
    Outcome outcome = finish(start(args, options), options);
    outcome.fifo = fifo.valid() ? fifo.get() : "";
    return outcome;
}

pid_t Cli::start(std::vector<std::string>& command, const Options& options) const {
    const pid_t child = fork();
    if (child == 0) {
        runChild(root, command, options);
    }
    return child;
}

Outcome Cli::finish(pid_t child, const Options& options) const {
    const Traced traced = options.traced() ? follow(child, options) : Traced{};
    EXPECT_TRUE(traced.reached || !options.stop.matches)
        << "the program never reached " << options.stop.what;
    int wstatus = traced.ended.value_or(0);
    if (options.signal != 0 || options.whileStopped) {
        EXPECT_TRUE(awaitHidden(root / "work", true, options.signalAt, 60, child))
            << "ended too soon";
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
        awaitHidden(root / "work", false, 0, 5);
    }
    const std::string capture = (root / std::to_string(child)).string();
    Outcome outcome{WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -WTERMSIG(wstatus),
                    slurp(capture + ".out"), slurp(capture + ".err"), "", traced.calls};
    fs::remove(capture + ".out");
    fs::remove(capture + ".err");
    return outcome;
}

void Cli::checkAll(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        if (!c.runs) {
            continue;
        }
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
}

fs::path hiddenIn(const fs::path& work, std::uintmax_t size) {
    std::error_code error;  // a file may go while it is looked at
    for (const auto& item : fs::recursive_directory_iterator(work, error)) {
        if (item.path().filename().string().rfind('.', 0) == 0 &&
            fs::file_size(item.path(), error) >= size && !error) {
            return item.path();
        }
    }
    return {};
}

std::string Cli::driveForWork() {
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

bool unnamedFiles() {
    const int fd = open(fs::temp_directory_path().c_str(), O_TMPFILE | O_RDWR, 0600);
    close(fd);
    if (posix && (!systemExtras || fd < 0)) {
        std::cout << "falls back to a named hidden file: SIGKILL leaves it\n";
    }
    return posix && systemExtras && fd >= 0;
}

bool sysctlOn(const std::string& name) {
    int value = 0;
    std::ifstream("/proc/sys/fs/" + name) >> value;
    return !skipped(value == 0, "where fs." + name + " is 0", "its row");
}

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

}  // namespace cli

int main(int argc, char** argv) {
    using namespace cli;  // the settings it makes
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
